#pragma once

#include "core/host_loop.hpp"
#include "core/published.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pelorn {

struct PendingApproval {
    std::string id; // a new random UUID per request
    std::string deviceId;
    std::string deviceName;
    std::string deviceModel;
    std::string via; // "your network" or "the internet"
    bool operator==(const PendingApproval&) const = default;
};

// The one first-connection request the owner is asked about. Every request is answered exactly
// once: by the owner, by the 60-second timeout, by its client going away, or as not approved when a
// newer request replaces it. Host loop only.
class DeviceApprovalCoordinator {
public:
    static constexpr auto timeout = std::chrono::seconds(60);

    explicit DeviceApprovalCoordinator(HostLoop& loop);
    static DeviceApprovalCoordinator& shared();

    void request(PendingApproval pending, std::function<void(bool approved)> completion);
    void resolve(bool approved);
    void cancel(const std::string& deviceId);

    // The window shows the request and brings itself to the front when this becomes present.
    const Published<std::optional<PendingApproval>>& pending() const { return mPending; }

    DeviceApprovalCoordinator(const DeviceApprovalCoordinator&) = delete;
    DeviceApprovalCoordinator& operator=(const DeviceApprovalCoordinator&) = delete;

private:
    HostLoop& mLoop;
    Published<std::optional<PendingApproval>> mPending;
    std::function<void(bool)> mCompletion;
    Timer mTimer; // cancelled with the coordinator, so it never fires into a dead one
};

} // namespace pelorn
