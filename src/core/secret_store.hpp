#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pelorn {

class GlibThread;
class Settings;

// Generic-password items addressed by service and account: overwrite-or-add, readable only by
// this user. Calls block the caller for at most a short timeout. Any thread.
class SecretStore {
public:
    enum class Status { Ok, NotFound, Failed };

    struct ReadResult {
        Status status = Status::Failed;
        std::vector<std::uint8_t> data;
        int code = 0;        // backend error code when Failed
        std::string message; // backend error text when Failed
    };

    struct WriteResult {
        bool ok = false;
        int code = 0;
        std::string message;
    };

    virtual ~SecretStore() = default;
    virtual ReadResult read(const std::string& service, const std::string& account) = 0;
    virtual WriteResult write(const std::string& service, const std::string& account,
                              std::span<const std::uint8_t> data) = 0;
    // True when the item is gone afterwards (including when there was none).
    virtual bool remove(const std::string& service, const std::string& account) = 0;
    virtual const char* backendName() const = 0;

    // The store chosen for this process (see chooseSecretStore), created on first use.
    static SecretStore& shared();
};

struct SecretStoreChoice {
    std::filesystem::path fileFolder; // where the file store keeps its items
    std::chrono::milliseconds answerTimeout{2000};
    // How long the desktop's prompt to unlock a locked keyring waits for the person; only offered
    // when there is a desktop (DISPLAY or WAYLAND_DISPLAY) to show it.
    std::chrono::milliseconds promptTimeout{20000};
    // Between looks at a remembered Secret Service that is locked or not answering.
    std::chrono::milliseconds retryInterval{5000};
    std::function<bool()> stopWaiting; // true once the process is quitting
};

// The setting "secretStore" names the store that holds this host's secrets, "file" or
// "secret-service"; it is written once a secret is stored in (or found in) the chosen store, so
// secrets are never looked for in the wrong one. A remembered Secret Service is waited for while it
// is locked or not answering. Otherwise: the file store when its folder already holds items, the
// Secret Service when it proves usable, and the file store (with one warning line) when not.
std::unique_ptr<SecretStore> chooseSecretStore(Settings& settings, GlibThread& glib,
                                               const SecretStoreChoice& choice);

} // namespace pelorn
