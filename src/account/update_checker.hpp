#pragma once

#include "cloud/cloud_config.hpp"
#include "cloud/http_client.hpp"
#include "core/host_loop.hpp"
#include "core/lifetime.hpp"
#include "core/published.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelorn {

class Settings;
class TaskPool;

// The latest release as the website's manifest describes it.
struct Release {
    std::string version;
    std::optional<long long> build;
    std::string url;
    std::optional<std::string> notes;
    std::optional<std::string> minimumVersion;
    bool operator==(const Release&) const = default;
};

// Absent unless the text is a JSON object with string "version" and "url" (and, when present, an
// integer "build" and string "notes" and "minimumVersion").
std::optional<Release> decodeRelease(std::string_view json);

// Dotted versions compared piece by piece as decimal numbers (a piece that is not one counts as
// 0, a missing one as 0): negative, zero or positive as `a` is older, the same or newer.
int compareVersions(std::string_view a, std::string_view b);

// The product's website: PELORN_WEBSITE_URL, else the one the build names (`built`); absent when
// neither does. Only https, or http to this machine (a test's server); anything else is refused
// with a line in `problems`, since whoever could change the manifest could offer any download.
std::optional<std::string> websiteUrl(const Environment& env, std::string_view built,
                                      std::vector<std::string>& problems);

// Looks once a day, and when the owner asks, at the website's manifest of the latest release, and
// says whether a newer one exists, whether this version is still supported, and a status line.
// Downloads nothing. Host loop only; the request runs on the task pool.
class UpdateChecker {
public:
    static constexpr auto interval = std::chrono::hours(24);
    static constexpr auto timeout = std::chrono::seconds(15);
    static constexpr const char* skippedKey = "skippedUpdateVersion";
    // What an installed package's owner is told instead of a download page.
    static constexpr const char* packageManagerHint =
        "Update it with your package manager: sudo apt update && sudo apt install --only-upgrade pelorn-host";
    static constexpr const char* manifestPath = "/mac/latest.json";
    static constexpr const char* failedText = "Couldn't check for updates right now.";

    // `website`: the product's site ("https://…"), where the manifest is.
    UpdateChecker(HostLoop& loop, TaskPool& pool, Settings& settings, HttpTransport transport,
                  std::string website, std::string runningVersion);
    ~UpdateChecker();
    // The host's; absent when no website is configured.
    static UpdateChecker* shared();

    // Checks now (not at the owner's request), then once every 24 h.
    void start();
    // `done`, when given, runs once this check (or the one already under way) is over.
    void check(bool userInitiated, std::function<void()> done = {});
    // Hides the offered version for good, unless the update is required.
    void skip();

    const Published<std::optional<Release>>& available() const { return mAvailable; }
    const Published<bool>& required() const { return mRequired; }
    const Published<std::string>& status() const { return mStatus; }
    const Published<bool>& checking() const { return mChecking; }
    const std::string& runningVersion() const { return mRunning; }

    // The update window's text.
    static std::string windowText(bool required);

    UpdateChecker(const UpdateChecker&) = delete;
    UpdateChecker& operator=(const UpdateChecker&) = delete;

private:
    void evaluate(const Release& release);

    HostLoop& mLoop;
    TaskPool& mPool;
    Settings& mSettings;
    HttpTransport mTransport;
    std::string mManifestUrl;
    std::string mRunning;
    Published<std::optional<Release>> mAvailable;
    Published<bool> mRequired{false};
    Published<std::string> mStatus;
    Published<bool> mChecking{false};
    Timer mTimer;
    std::vector<std::function<void()>> mWaiting;
    Lifetime<UpdateChecker> mLifetime{this};
};

} // namespace pelorn
