#include "core/notification_center.hpp"
#include "core/published.hpp"

#include <gtest/gtest.h>
#include <thread>

using namespace pelorn;

TEST(NotificationCenter, DeliversOnTheLoopToObserversOfThatNameOnly) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    NotificationCenter center(loop);
    std::vector<std::string> revoked;
    int other = 0;
    auto a = center.observe("pelornDeviceRevoked",
                            [&](const nlohmann::json& info) { revoked.push_back(info["id"]); });
    auto b = center.observe("somethingElse", [&](const nlohmann::json&) { ++other; });
    std::thread([&] { center.post("pelornDeviceRevoked", {{"id", "DEV-1"}}); }).join();
    EXPECT_TRUE(revoked.empty()); // not before the loop runs
    loop.runPending();
    EXPECT_EQ(revoked, std::vector<std::string>{"DEV-1"});
    EXPECT_EQ(other, 0);
}

TEST(NotificationCenter, EndedObservationIsNotCalledEvenForAnEarlierPost) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    NotificationCenter center(loop);
    int calls = 0;
    auto observation = center.observe("n", [&](const nlohmann::json&) { ++calls; });
    center.post("n");
    observation.reset();
    loop.runPending();
    EXPECT_EQ(calls, 0);
}

TEST(NotificationCenter, PostAfterTheCentreIsGoneIsHarmless) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    int calls = 0;
    Subscription observation;
    {
        NotificationCenter center(loop);
        observation = center.observe("n", [&](const nlohmann::json&) { ++calls; });
        center.post("n");
    }
    loop.runPending();
    observation.reset();
    EXPECT_EQ(calls, 0);
}

TEST(PublishedValue, SubscribersSeeEveryChangeUntilTheyUnsubscribe) {
    Published<bool> online(false);
    std::vector<bool> seen;
    auto sub = online.subscribe([&](const bool& v) { seen.push_back(v); });
    online.set(true);
    online.set(true);
    sub.reset();
    online.set(false);
    EXPECT_EQ(seen, (std::vector<bool>{true, true}));
    EXPECT_FALSE(online.get());
}

TEST(PublishedValue, SubscriberMayUnsubscribeAnotherDuringNotification) {
    Published<int> value(0);
    Subscription second;
    int secondCalls = 0;
    auto first = value.subscribe([&](const int&) { second.reset(); });
    second = value.subscribe([&](const int&) { ++secondCalls; });
    value.set(1);
    EXPECT_EQ(secondCalls, 0);
}
