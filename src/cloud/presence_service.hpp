#pragma once

#include "cloud/firestore.hpp"
#include "core/host_loop.hpp"
#include "core/lifetime.hpp"

#include <functional>
#include <optional>
#include <string>

namespace pelorn {

class FirebaseAuth;
class Settings;

// This computer's presence record, "devices"/{deviceId}: whose it is, what it is called and
// whether it is online, which is how the owner's phone finds it over the internet. Written only
// while the cloud is configured (a database exists) and an account is signed in.
class PresenceService {
public:
    struct Dependencies {
        HostLoop& loop;
        Settings& settings;
        Firestore* database; // null: the cloud is not configured and nothing is written
        FirebaseAuth* auth;
        std::function<std::string()> deviceId;
        std::function<std::optional<std::string>()> hardwareId;
        std::function<std::string()> computerName;
        std::function<bool()> isOnline;
    };
    static constexpr const char* collectionName = "devices";
    static constexpr auto heartbeatInterval = std::chrono::seconds(30);
    // An older record without a hardware id is this computer's when it has its name and has not
    // been written for longer than this.
    static constexpr auto staleAge = std::chrono::seconds(600);

    // Installs the auth listener that publishes again when the cloud user becomes available.
    explicit PresenceService(Dependencies deps);
    ~PresenceService();
    static PresenceService& shared();

    void publish(bool online);
    void startHeartbeat();
    void stopHeartbeat();
    // Deletes this computer's older presence records: same hardware id, or (for records without
    // one) same name and stale.
    void cleanupStaleRecords();

    PresenceService(const PresenceService&) = delete;
    PresenceService& operator=(const PresenceService&) = delete;

private:
    std::string accountEmail() const;
    std::string hostName() const;
    std::string currentUid() const;
    void removeStale(const std::vector<firestore::Document>& documents);

    Dependencies mDeps;
    Timer mHeartbeat;
    std::optional<int> mAuthHandle;
    Lifetime<PresenceService> mLifetime{this};
};

} // namespace pelorn
