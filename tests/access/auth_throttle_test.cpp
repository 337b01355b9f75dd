#include "access/auth_throttle.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace std::chrono_literals;

TEST(AuthThrottle, CountsDownThenLocksForExactlyFiveMinutes) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    AuthThrottle throttle(loop);
    std::vector<std::int64_t> left;
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(throttle.remainingLockout());
        EXPECT_FALSE(throttle.recordFailure().locked);
        left.push_back(throttle.attemptsLeft());
    }
    EXPECT_EQ(left, (std::vector<std::int64_t>{4, 3, 2, 1}));
    auto fifth = throttle.recordFailure();
    EXPECT_TRUE(fifth.locked);
    EXPECT_EQ(fifth.seconds, 300);
    EXPECT_EQ(throttle.remainingLockout(), 300);
}

TEST(AuthThrottle, RemainingTimeRoundsUpAndExpiryStartsAFreshCounter) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    AuthThrottle throttle(loop);
    for (int i = 0; i < 5; ++i) {
        throttle.recordFailure();
    }
    loop.advance(299500ms);
    EXPECT_EQ(throttle.remainingLockout(), 1);
    loop.advance(500ms);
    EXPECT_FALSE(throttle.remainingLockout());
    EXPECT_EQ(throttle.attemptsLeft(), 5);
    EXPECT_FALSE(throttle.recordFailure().locked);
}

TEST(AuthThrottle, ARightProofClearsTheCounter) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    AuthThrottle throttle(loop);
    for (int i = 0; i < 4; ++i) {
        throttle.recordFailure();
    }
    throttle.clear();
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(throttle.recordFailure().locked);
    }
    EXPECT_EQ(throttle.attemptsLeft(), 1);
}
