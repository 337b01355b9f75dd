#include "core/secret_store.hpp"

#include "core/file_secret_store.hpp"
#include "core/glib_thread.hpp"
#include "core/libsecret_secret_store.hpp"
#include "core/log.hpp"
#include "core/paths.hpp"
#include "core/settings.hpp"

namespace pelorn {

namespace {

constexpr std::chrono::milliseconds probeTimeout{2000};

std::unique_ptr<SecretStore> fileStore() {
    auto dir = appDataDir().value_or(std::filesystem::path("/nonexistent")) / "secrets";
    return std::make_unique<FileSecretStore>(dir);
}

} // namespace

SecretStore& SecretStore::shared() {
    static std::unique_ptr<SecretStore> instance = chooseSecretStore(Settings::shared());
    return *instance;
}

std::unique_ptr<SecretStore> chooseSecretStore(Settings& settings) {
    auto forced = settings.string("secretStore");
    if (forced == "file") {
        return fileStore();
    }
    if (forced == "secret-service") {
        return std::make_unique<LibsecretSecretStore>(GlibThread::shared());
    }
    std::string why;
    if (LibsecretSecretStore::isAvailable(GlibThread::shared(), probeTimeout, why)) {
        return std::make_unique<LibsecretSecretStore>(GlibThread::shared());
    }
    auto store = fileStore();
    Log::shared().system("⚠️ PELORN SECRETS: no Secret Service (" + why +
                         ") - keeping secrets in 0600 files under " +
                         static_cast<FileSecretStore&>(*store).itemPath("", "").parent_path().string());
    return store;
}

} // namespace pelorn
