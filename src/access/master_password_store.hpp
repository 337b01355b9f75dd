#pragma once

#include "access/security.hpp"
#include "core/published.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace pelorn {

class HostLoop;
class SecretStore;
class TaskPool;

// Keeps the master password as a salted PBKDF2 verifier in the secret store. The password itself
// is never stored. State the UI observes changes on the host loop; the record is guarded by a lock
// because the derivation finishes on a background task.
class MasterPasswordStore : public std::enable_shared_from_this<MasterPasswordStore> {
public:
    static constexpr const char* service = "com.tamberlind.pelorn.host.master-password";
    static constexpr const char* account = "verifier";
    static constexpr std::uint32_t rounds = 600000;
    static constexpr std::size_t minimumCharacters = 4;

    enum class Failure { TooShort, Keychain };
    static std::string_view text(Failure failure);

    using Time = std::chrono::system_clock::time_point;

    struct Record {
        Bytes salt;
        Bytes key;
        std::uint32_t rounds = 0;
        Time updatedAt;
        bool operator==(const Record&) const = default;

        // Byte fields as Base64, updatedAt as seconds since 2001-01-01 00:00:00 UTC.
        nlohmann::json toJson() const;
        // Absent when a key is missing or has the wrong type.
        static std::optional<Record> fromJson(const nlohmann::json& json);
    };

    // Loads the record from the secret store. Create on the host loop's thread.
    static std::shared_ptr<MasterPasswordStore> create(HostLoop& loop, TaskPool& pool, SecretStore& secrets);
    static MasterPasswordStore& shared();

    // Replaces the verifier. `done` runs on the host loop with the failure, or nothing on success.
    void setPassword(std::string password, std::function<void(std::optional<Failure>)> done);

    // A copy, so a check running while a new password is set sees the old or the new, never a mix.
    std::optional<Record> currentRecord() const;

    const Published<bool>& isSet() const { return mIsSet; }
    const Published<std::optional<Time>>& updatedAt() const { return mUpdatedAt; }

    MasterPasswordStore(const MasterPasswordStore&) = delete;
    MasterPasswordStore& operator=(const MasterPasswordStore&) = delete;

private:
    MasterPasswordStore(HostLoop& loop, TaskPool& pool, SecretStore& secrets);
    void load();
    // Background task: derive, encode, write. True when the new record is in force.
    bool storeNewRecord(const std::string& password, Record& record);

    HostLoop& mLoop;
    TaskPool& mPool;
    SecretStore& mSecrets;
    Published<bool> mIsSet{false};
    Published<std::optional<Time>> mUpdatedAt;
    mutable std::mutex mMutex; // guards mRecord
    std::optional<Record> mRecord;
};

// Seconds since 2001-01-01 00:00:00 UTC, the form of every stored timestamp except the activity log's.
double referenceSeconds(std::chrono::system_clock::time_point at);
std::chrono::system_clock::time_point fromReferenceSeconds(double seconds);

} // namespace pelorn
