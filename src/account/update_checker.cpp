#include "account/update_checker.hpp"

#include "core/json.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"

#include <charconv>
#include <limits>
#include <vector>

namespace pelorn {

namespace {

// The pieces of a dotted version as numbers; empty pieces dropped, anything else not a number
// counted as 0.
std::vector<unsigned long long> pieces(std::string_view version) {
    std::vector<unsigned long long> out;
    while (!version.empty()) {
        auto dot = version.find('.');
        auto piece = version.substr(0, dot);
        version = dot == std::string_view::npos ? std::string_view() : version.substr(dot + 1);
        if (piece.empty()) {
            continue;
        }
        unsigned long long number = 0;
        auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), number);
        bool whole = error == std::errc() && end == piece.data() + piece.size();
        // A number too long to hold still compares as larger than any that fits.
        out.push_back(whole ? number
                      : error == std::errc::result_out_of_range
                          ? std::numeric_limits<unsigned long long>::max()
                          : 0);
    }
    return out;
}

} // namespace

std::optional<std::string> websiteUrl(const Environment& env, std::string_view built,
                                      std::vector<std::string>& problems) {
    if (auto chosen = env("PELORN_WEBSITE_URL")) {
        return baseUrl("PELORN_WEBSITE_URL", *chosen, problems);
    }
    return built.empty() ? std::nullopt : baseUrl("PELORN_WEBSITE", std::string(built), problems);
}

std::optional<Release> decodeRelease(std::string_view text) {
    auto value = json::parse(text);
    if (!value || !value->is_object()) {
        return std::nullopt;
    }
    auto version = json::stringMember(*value, "version");
    auto url = json::stringMember(*value, "url");
    auto build = json::integerMember(*value, "build", std::numeric_limits<std::int64_t>::min(),
                                     std::numeric_limits<std::int64_t>::max());
    auto notes = json::stringMember(*value, "notes");
    auto minimum = json::stringMember(*value, "minimumVersion");
    if (!version.value || !url.value || build.failed() || notes.failed() || minimum.failed()) {
        return std::nullopt;
    }
    Release release{*version.value, std::nullopt, *url.value, notes.value, minimum.value};
    if (build.value) {
        release.build = *build.value;
    }
    return release;
}

int compareVersions(std::string_view a, std::string_view b) {
    auto left = pieces(a), right = pieces(b);
    for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        auto x = i < left.size() ? left[i] : 0, y = i < right.size() ? right[i] : 0;
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

UpdateChecker::UpdateChecker(HostLoop& loop, TaskPool& pool, Settings& settings, HttpTransport transport,
                             std::string website, std::string runningVersion)
    : mLoop(loop), mPool(pool), mSettings(settings), mTransport(std::move(transport)),
      mManifestUrl((website.ends_with('/') ? website.substr(0, website.size() - 1) : website) + manifestPath),
      mRunning(std::move(runningVersion)) {
}

UpdateChecker::~UpdateChecker() {
    mLifetime.end();
}

std::string UpdateChecker::windowText(bool required) {
    return required ? "This version is no longer supported. Update to keep using Pelorn."
                    : "A newer version is ready to download.";
}

void UpdateChecker::start() {
    check(false);
    mTimer.startRepeating(mLoop, interval, [this] { check(false); });
}

void UpdateChecker::check(bool userInitiated, std::function<void()> done) {
    if (done) {
        mWaiting.push_back(std::move(done));
    }
    if (mChecking.get()) {
        return;
    }
    mChecking.set(true);
    if (userInitiated) {
        mStatus.set("…");
    }
    // No cache sits between the host and the site; the header asks any proxy on the way the same.
    HttpRequest request{
        "GET", mManifestUrl, {"Accept: application/json", "Cache-Control: no-cache"}, {}, timeout};
    mPool.submit([transport = mTransport, request, loop = &mLoop, self = mLifetime.weak(), userInitiated] {
        auto response = transport(request);
        loop->post([self, response = std::move(response), userInitiated] {
            auto* checker = self.lock();
            if (!checker) {
                return;
            }
            checker->mChecking.set(false);
            auto release = response.status == 200 ? decodeRelease(response.body) : std::nullopt;
            if (!release) {
                checker->mStatus.set(userInitiated ? failedText : "");
            } else {
                checker->evaluate(*release);
            }
            for (auto& waiting : std::exchange(checker->mWaiting, {})) {
                waiting();
            }
        });
    });
}

void UpdateChecker::evaluate(const Release& release) {
    bool newer = compareVersions(release.version, mRunning) > 0;
    bool required = release.minimumVersion && compareVersions(mRunning, *release.minimumVersion) < 0;
    mRequired.set(required);
    if (!newer) {
        mAvailable.set(std::nullopt);
        mStatus.set("Pelorn " + mRunning + " is up to date.");
        return;
    }
    mStatus.set("Pelorn " + release.version + " is available.");
    bool skipped = !required && mSettings.string(skippedKey) == release.version;
    mAvailable.set(skipped ? std::nullopt : std::optional(release));
}

void UpdateChecker::skip() {
    if (!mAvailable.get() || mRequired.get()) {
        return;
    }
    mSettings.set(skippedKey, mAvailable.get()->version);
    mAvailable.set(std::nullopt);
}

} // namespace pelorn
