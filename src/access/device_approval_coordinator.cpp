#include "access/device_approval_coordinator.hpp"

namespace pelorn {

DeviceApprovalCoordinator::DeviceApprovalCoordinator(HostLoop& loop) : mLoop(loop) {
}

void DeviceApprovalCoordinator::request(PendingApproval pending, std::function<void(bool)> completion) {
    resolve(false);
    mCompletion = std::move(completion);
    mTimer.startOnce(mLoop, timeout, [this] { resolve(false); });
    mPending.set(std::move(pending));
}

void DeviceApprovalCoordinator::resolve(bool approved) {
    mTimer.cancel();
    auto completion = std::exchange(mCompletion, {});
    if (mPending.get()) {
        mPending.set(std::nullopt);
    }
    if (completion) {
        completion(approved);
    }
}

void DeviceApprovalCoordinator::cancel(const std::string& deviceId) {
    if (mPending.get() && mPending.get()->deviceId == deviceId) {
        resolve(false);
    }
}

} // namespace pelorn
