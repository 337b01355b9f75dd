#pragma once

#include "core/host_loop.hpp"

#include <cstdint>
#include <mutex>
#include <optional>

namespace pelorn {

// One counter of wrong master-password proofs for the whole host, over every transport and
// device: after the fifth, every attempt is refused for five minutes. Memory only.
class AuthThrottle {
public:
    static constexpr std::int64_t allowedFailures = 5;
    static constexpr auto lockoutLength = std::chrono::seconds(300);

    struct Failure {
        bool locked = false;
        std::int64_t seconds = 0;
    };

    explicit AuthThrottle(HostLoop& loop);
    static AuthThrottle& shared();

    // Whole seconds left (rounded up) while locked; a lockout that has ended clears the counter.
    std::optional<std::int64_t> remainingLockout();
    Failure recordFailure();
    std::int64_t attemptsLeft();
    void clear();

    AuthThrottle(const AuthThrottle&) = delete;
    AuthThrottle& operator=(const AuthThrottle&) = delete;

private:
    HostLoop& mLoop;
    std::mutex mMutex; // guards the two fields below
    std::int64_t mFailures = 0;
    std::optional<HostLoop::TimePoint> mLockedUntil;
};

} // namespace pelorn
