#include "core/secret_store.hpp"

#include "core/file_secret_store.hpp"
#include "core/glib_thread.hpp"
#include "core/host_loop.hpp"
#include "core/libsecret_secret_store.hpp"
#include "core/log.hpp"
#include "core/paths.hpp"
#include "core/settings.hpp"

#include <atomic>
#include <cstdlib>
#include <thread>

namespace pelorn {

namespace {

constexpr const char* settingKey = "secretStore";
constexpr const char* fileName = "file";
constexpr const char* secretServiceName = "secret-service";
// A line while waiting for a remembered Secret Service, then one about every minute.
constexpr int attemptsBetweenWaitingLines = 12;

// Writes down which store holds this host's secrets the first time it is seen holding one.
class RememberedSecretStore final : public SecretStore {
public:
    RememberedSecretStore(std::unique_ptr<SecretStore> store, Settings& settings)
        : mStore(std::move(store)), mSettings(settings) {}

    ReadResult read(const std::string& service, const std::string& account) override {
        auto result = mStore->read(service, account);
        if (result.status == Status::Ok) {
            remember();
        }
        return result;
    }
    WriteResult write(const std::string& service, const std::string& account,
                      std::span<const std::uint8_t> data) override {
        auto result = mStore->write(service, account, data);
        if (result.ok) {
            remember();
        }
        return result;
    }
    bool remove(const std::string& service, const std::string& account) override {
        return mStore->remove(service, account);
    }
    const char* backendName() const override { return mStore->backendName(); }

private:
    void remember() {
        if (!mRemembered.exchange(true)) {
            mSettings.set(settingKey, backendName());
        }
    }

    std::unique_ptr<SecretStore> mStore;
    Settings& mSettings;
    std::atomic<bool> mRemembered{false};
};

// The unlock prompt is offered only where a desktop can show it.
LibsecretSecretStore::ProbeLimits probeLimits(const SecretStoreChoice& choice) {
    bool desktop = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
    return {choice.answerTimeout, desktop ? choice.promptTimeout : std::chrono::milliseconds::zero()};
}

bool folderHoldsItems(const std::filesystem::path& folder) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.is_regular_file(ec)) {
            return true;
        }
    }
    return false;
}

// Sleeps for `interval` unless the process starts quitting; true when it does.
bool pauseOrStop(std::chrono::milliseconds interval, const SecretStoreChoice& choice) {
    auto until = std::chrono::steady_clock::now() + interval;
    while (std::chrono::steady_clock::now() < until) {
        if (choice.stopWaiting && choice.stopWaiting()) {
            return true;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(100), until - std::chrono::steady_clock::now()));
    }
    return choice.stopWaiting && choice.stopWaiting();
}

// The secrets are in the Secret Service, so starting without them would make the host look as if
// it had no master password and no approved devices. Waits until it can be used, offering the
// desktop's unlock prompt once.
void waitForSecretService(GlibThread& glib, const SecretStoreChoice& choice) {
    auto started = std::chrono::steady_clock::now();
    auto waited = [&] {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
                .count());
    };
    auto limits = probeLimits(choice);
    for (int attempt = 0;; ++attempt) {
        std::string why;
        if (LibsecretSecretStore::isUsable(glib, limits, why)) {
            if (attempt > 0) {
                Log::shared().system("🔐 PELORN SECRETS: the Secret Service is ready after " + waited() +
                                     " s");
            }
            return;
        }
        limits.prompt = std::chrono::milliseconds::zero();
        if (attempt == 0) {
            Log::shared().system(
                "⚠️ PELORN SECRETS: this host's secrets are in the Secret Service, which "
                "cannot be used now (" +
                why + ") - waiting for it before starting");
        } else if (attempt % attemptsBetweenWaitingLines == 0) {
            Log::shared().system("⚠️ PELORN SECRETS: still waiting for the Secret Service after " +
                                 waited() + " s (" + why + ")");
        }
        if (pauseOrStop(choice.retryInterval, choice)) {
            return;
        }
    }
}

} // namespace

SecretStore& SecretStore::shared() {
    static std::unique_ptr<SecretStore> instance = [] {
        SecretStoreChoice choice;
        choice.fileFolder = appDataDir().value_or(std::filesystem::path("/nonexistent")) / "secrets";
        choice.stopWaiting = [] { return HostLoop::shared().quitRequested(); };
        return chooseSecretStore(Settings::shared(), GlibThread::shared(), choice);
    }();
    return *instance;
}

std::unique_ptr<SecretStore> chooseSecretStore(Settings& settings, GlibThread& glib,
                                               const SecretStoreChoice& choice) {
    auto remembered = settings.string(settingKey);
    if (remembered == fileName) {
        return std::make_unique<FileSecretStore>(choice.fileFolder);
    }
    if (remembered == secretServiceName) {
        waitForSecretService(glib, choice);
        return std::make_unique<LibsecretSecretStore>(glib);
    }
    // Items left by a run that fell back to files stay where they are.
    if (folderHoldsItems(choice.fileFolder)) {
        settings.set(settingKey, fileName);
        Log::shared().info("🔐 PELORN SECRETS: keeping secrets in 0600 files under " +
                           choice.fileFolder.string() + ", where earlier ones are");
        return std::make_unique<FileSecretStore>(choice.fileFolder);
    }
    std::string why;
    if (LibsecretSecretStore::isUsable(glib, probeLimits(choice), why)) {
        return std::make_unique<RememberedSecretStore>(std::make_unique<LibsecretSecretStore>(glib),
                                                       settings);
    }
    Log::shared().system("⚠️ PELORN SECRETS: no usable Secret Service (" + why +
                         ") - keeping secrets in 0600 files under " + choice.fileFolder.string());
    return std::make_unique<RememberedSecretStore>(std::make_unique<FileSecretStore>(choice.fileFolder),
                                                   settings);
}

} // namespace pelorn
