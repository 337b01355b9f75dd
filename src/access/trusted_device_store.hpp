#pragma once

#include "access/security.hpp"
#include "core/published.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pelorn {

class EventLog;
class HostLoop;
class NotificationCenter;
class SecretStore;

struct TrustedDevice {
    std::string id;
    std::string name;
    std::string model;
    std::chrono::system_clock::time_point approvedAt;
    std::chrono::system_clock::time_point lastSeenAt;
    Bytes token;
    bool operator==(const TrustedDevice&) const = default;
};

// The devices the owner approved, in order of approval, kept as one secret-store item. Removing one
// posts "pelornDeviceRevoked" so the transports close its live connections. The list itself is
// guarded by a lock; what the UI observes changes on the host loop.
class TrustedDeviceStore : public std::enable_shared_from_this<TrustedDeviceStore> {
public:
    static constexpr const char* service = "com.tamberlind.pelorn.host.trusted-devices";
    static constexpr const char* account = "list";
    static constexpr const char* revokedNotification = "pelornDeviceRevoked";
    static constexpr std::size_t tokenLength = 32;

    static std::shared_ptr<TrustedDeviceStore> create(HostLoop& loop, SecretStore& secrets, EventLog& log,
                                                      NotificationCenter& notifications);
    static TrustedDeviceStore& shared();

    std::optional<TrustedDevice> device(const std::string& id) const;
    // Returns the new token; an earlier entry with the same id is replaced and moves to the end.
    Bytes approve(const std::string& id, const std::string& name, const std::string& model);
    void markSeen(const std::string& id, const std::string& name, const std::string& model);
    void setConnected(const std::string& id, bool connected);
    void remove(const std::string& id);

    const Published<std::vector<TrustedDevice>>& devices() const { return mDevices; }
    const Published<std::set<std::string>>& connected() const { return mConnected; }

    TrustedDeviceStore(const TrustedDeviceStore&) = delete;
    TrustedDeviceStore& operator=(const TrustedDeviceStore&) = delete;

private:
    TrustedDeviceStore(HostLoop& loop, SecretStore& secrets, EventLog& log,
                       NotificationCenter& notifications);
    void load();
    void save();

    HostLoop& mLoop;
    SecretStore& mSecrets;
    EventLog& mLog;
    NotificationCenter& mNotifications;
    Published<std::vector<TrustedDevice>> mDevices;
    Published<std::set<std::string>> mConnected;
    mutable std::mutex mMutex; // guards mStore
    std::vector<TrustedDevice> mStore;
};

nlohmann::json encodeTrustedDevices(const std::vector<TrustedDevice>& devices);
// Absent when the array as a whole does not decode.
std::optional<std::vector<TrustedDevice>> decodeTrustedDevices(const nlohmann::json& json);

} // namespace pelorn
