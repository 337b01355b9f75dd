#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pelorn {

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

// The setting "secretStore" forces "file" or "secret-service". Otherwise the Secret Service is used
// when it answers within the probe timeout, and the file store (with one warning line) when not.
std::unique_ptr<SecretStore> chooseSecretStore(Settings& settings);

} // namespace pelorn
