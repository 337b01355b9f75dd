#include "access/auth_throttle.hpp"

namespace pelorn {

AuthThrottle::AuthThrottle(HostLoop& loop) : mLoop(loop) {
}

std::optional<std::int64_t> AuthThrottle::remainingLockout() {
    std::lock_guard lock(mMutex);
    if (!mLockedUntil) {
        return std::nullopt;
    }
    auto left = *mLockedUntil - mLoop.now();
    if (left > HostLoop::Duration::zero()) {
        return std::chrono::ceil<std::chrono::seconds>(left).count();
    }
    mLockedUntil.reset();
    mFailures = 0;
    return std::nullopt;
}

AuthThrottle::Failure AuthThrottle::recordFailure() {
    std::lock_guard lock(mMutex);
    mFailures += 1;
    if (mFailures >= allowedFailures) {
        mLockedUntil = mLoop.now() + lockoutLength;
        return {true, lockoutLength.count()};
    }
    return {false, 0};
}

std::int64_t AuthThrottle::attemptsLeft() {
    std::lock_guard lock(mMutex);
    return std::max<std::int64_t>(0, allowedFailures - mFailures);
}

void AuthThrottle::clear() {
    std::lock_guard lock(mMutex);
    mFailures = 0;
    mLockedUntil.reset();
}

} // namespace pelorn
