#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace pelorn {

// The one thread that owns service state. Other threads post work to it. Timers run on the loop's
// clock, which in manual mode only moves when a test advances it, so no test sleeps for a timeout.
class HostLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Duration = Clock::duration;
    using TimePoint = Clock::time_point;
    using WallTime = std::chrono::system_clock::time_point;
    using Task = std::function<void()>;
    using TimerId = std::uint64_t;

    enum class TimeMode { Real, Manual };

    explicit HostLoop(TimeMode mode = TimeMode::Real);
    ~HostLoop();

    // The process's loop, in real time; the thread that calls run() on it becomes the loop thread.
    static HostLoop& shared();

    // Any thread. Tasks run in the order posted.
    void post(Task task);

    // Any thread; the task runs on the loop. An id is never 0, so 0 can mean "no timer".
    TimerId runAfter(Duration delay, Task task);
    TimerId runEvery(Duration interval, Task task);
    void cancel(TimerId id);
    bool isScheduled(TimerId id) const;

    TimePoint now() const;
    WallTime wallNow() const;

    // Runs posted tasks and due timers until quit(). Real mode only.
    void run();
    void quit();
    // Whether quit() was called and run() has not yet returned for it; any thread.
    bool quitRequested() const;

    // Runs every posted task and due timer, including those they post, until none is left;
    // returns how many ran. For tests and for draining work at shutdown.
    std::size_t runPending();

    // Manual mode: moves the clock forward, stopping at each timer deadline on the way to run it.
    void advance(Duration by);
    // Manual mode: the wall-clock time that corresponds to the loop's current time.
    void setWallTime(WallTime at);

    bool isLoopThread() const;
    // Makes the calling thread the loop thread (the constructing thread is, to begin with).
    void attachToCurrentThread();

    HostLoop(const HostLoop&) = delete;
    HostLoop& operator=(const HostLoop&) = delete;

private:
    struct TimerEntry {
        TimePoint deadline;
        Duration interval; // zero for a one-shot timer
        std::shared_ptr<Task> task;
    };

    TimerId addTimer(Duration delay, Duration interval, Task task);
    // Takes the next task or due timer under the lock; empty when there is none.
    std::shared_ptr<Task> takeNextLocked(TimePoint now);

    const TimeMode mMode;
    std::atomic<std::thread::id> mThread;
    std::atomic<Clock::rep> mManualNow;
    std::atomic<std::chrono::system_clock::rep> mManualWallAtStart;
    const Clock::rep mManualStart;

    mutable std::mutex mMutex; // guards everything below
    std::condition_variable mWake;
    std::deque<Task> mTasks;
    std::map<TimerId, TimerEntry> mTimers;
    std::set<std::pair<TimePoint, TimerId>> mDeadlines;
    TimerId mNextTimerId = 1;
    bool mQuit = false;
};

// A timer owned by an object: cancelled when the owner cancels it, restarts it or goes away.
class Timer {
public:
    Timer() = default;
    ~Timer() { cancel(); }

    void startOnce(HostLoop& loop, HostLoop::Duration delay, HostLoop::Task task);
    void startRepeating(HostLoop& loop, HostLoop::Duration interval, HostLoop::Task task);
    void cancel();
    bool isActive() const;

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

private:
    HostLoop* mLoop = nullptr;
    HostLoop::TimerId mId = 0;
};

} // namespace pelorn
