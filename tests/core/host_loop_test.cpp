#include "core/host_loop.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace pelorn;
using namespace std::chrono_literals;

TEST(HostLoopTimers, ManualTimeRunsTimersInDeadlineOrderAtTheirDeadlines) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    std::vector<std::pair<int, HostLoop::Duration>> fired;
    auto start = loop.now();
    loop.runAfter(3s, [&] { fired.push_back({3, loop.now() - start}); });
    loop.runAfter(1s, [&] { fired.push_back({1, loop.now() - start}); });
    loop.runAfter(2s, [&] { fired.push_back({2, loop.now() - start}); });
    loop.advance(2500ms);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0], std::make_pair(1, HostLoop::Duration(1s)));
    EXPECT_EQ(fired[1], std::make_pair(2, HostLoop::Duration(2s)));
    EXPECT_EQ(loop.now() - start, 2500ms);
    loop.advance(1s);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[2].second, 3s);
}

TEST(HostLoopTimers, RepeatingTimerFiresOncePerIntervalUntilCancelled) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    int count = 0;
    auto id = loop.runEvery(60s, [&] { ++count; });
    loop.advance(10min);
    EXPECT_EQ(count, 10);
    loop.cancel(id);
    loop.advance(10min);
    EXPECT_EQ(count, 10);
}

TEST(HostLoopTimers, TimerCanCancelItselfAndOthersFromItsCallback) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    int a = 0, b = 0;
    HostLoop::TimerId idA = 0, idB = 0;
    idA = loop.runEvery(1s, [&] {
        ++a;
        loop.cancel(idA);
        loop.cancel(idB);
    });
    idB = loop.runAfter(1s, [&] { ++b; });
    loop.advance(5s);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0);
    EXPECT_FALSE(loop.isScheduled(idA));
}

TEST(HostLoopTimers, OwnedTimerIsCancelledWhenItsOwnerGoesAway) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    int count = 0;
    {
        Timer timer;
        timer.startRepeating(loop, 1s, [&] { ++count; });
        loop.advance(2s);
        EXPECT_TRUE(timer.isActive());
        // Restarting replaces the earlier schedule instead of adding a second one.
        timer.startRepeating(loop, 1s, [&] { ++count; });
        loop.advance(1s);
    }
    loop.advance(5s);
    EXPECT_EQ(count, 3);
}

TEST(HostLoopPosting, TasksFromOtherThreadsRunOnTheLoopInOrder) {
    HostLoop loop(HostLoop::TimeMode::Real);
    std::vector<int> ran;
    std::atomic<bool> allOnLoop = true;
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) {
            loop.post([&, i] {
                allOnLoop = allOnLoop && loop.isLoopThread();
                ran.push_back(i);
            });
        }
        loop.post([&] { loop.quit(); });
    });
    loop.run();
    producer.join();
    ASSERT_EQ(ran.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(ran[i], i);
    }
    EXPECT_TRUE(allOnLoop);
}
