#include "access/device_approval_coordinator.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace std::chrono_literals;

namespace {

PendingApproval pendingFor(const std::string& deviceId) {
    return {"req-" + deviceId, deviceId, "iPad of " + deviceId, "iPad13,1", "your network"};
}

struct Answers {
    std::vector<std::pair<std::string, bool>> got;
    std::function<void(bool)> for_(const std::string& who) {
        return [this, who](bool approved) { got.emplace_back(who, approved); };
    }
};

} // namespace

TEST(DeviceApproval, ANewerRequestDeniesTheEarlierOneAndGetsItsOwnFullTimeout) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    DeviceApprovalCoordinator coordinator(loop);
    Answers answers;
    coordinator.request(pendingFor("A"), answers.for_("A"));
    loop.advance(50s);
    coordinator.request(pendingFor("B"), answers.for_("B"));
    EXPECT_EQ(answers.got, (std::vector<std::pair<std::string, bool>>{{"A", false}}));
    EXPECT_EQ(coordinator.pending().get()->deviceId, "B");
    loop.advance(59s);
    EXPECT_EQ(answers.got.size(), 1u);
    loop.advance(1s);
    EXPECT_EQ(answers.got.back(), std::make_pair(std::string("B"), false));
}

TEST(DeviceApproval, TimerDiesWithTheCoordinator) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    Answers answers;
    {
        DeviceApprovalCoordinator coordinator(loop);
        coordinator.request(pendingFor("A"), answers.for_("A"));
    }
    loop.advance(2min); // would crash or answer if the timer outlived its coordinator
    EXPECT_TRUE(answers.got.empty());
}
