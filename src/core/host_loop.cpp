#include "core/host_loop.hpp"

#include <stdexcept>

namespace pelorn {

namespace {

// Manual time starts well away from zero so that "now minus a timeout" never underflows.
constexpr auto manualEpoch = std::chrono::hours(24 * 365);

} // namespace

HostLoop::HostLoop(TimeMode mode)
    : mMode(mode), mThread(std::this_thread::get_id()),
      mManualNow(std::chrono::duration_cast<Clock::duration>(manualEpoch).count()),
      mManualWallAtStart(std::chrono::system_clock::now().time_since_epoch().count()),
      mManualStart(std::chrono::duration_cast<Clock::duration>(manualEpoch).count()) {
}

HostLoop::~HostLoop() = default;

HostLoop& HostLoop::shared() {
    static HostLoop instance(TimeMode::Real);
    return instance;
}

void HostLoop::post(Task task) {
    {
        std::lock_guard lock(mMutex);
        mTasks.push_back(std::move(task));
    }
    mWake.notify_one();
}

HostLoop::TimerId HostLoop::runAfter(Duration delay, Task task) {
    return addTimer(delay, Duration::zero(), std::move(task));
}

HostLoop::TimerId HostLoop::runEvery(Duration interval, Task task) {
    if (interval <= Duration::zero()) {
        throw std::invalid_argument("a repeating timer needs a positive interval");
    }
    return addTimer(interval, interval, std::move(task));
}

HostLoop::TimerId HostLoop::addTimer(Duration delay, Duration interval, Task task) {
    TimerId id;
    {
        std::lock_guard lock(mMutex);
        id = mNextTimerId++;
        TimePoint deadline = now() + std::max(delay, Duration::zero());
        mTimers.emplace(id, TimerEntry{deadline, interval, std::make_shared<Task>(std::move(task))});
        mDeadlines.emplace(deadline, id);
    }
    mWake.notify_one();
    return id;
}

void HostLoop::cancel(TimerId id) {
    std::lock_guard lock(mMutex);
    auto it = mTimers.find(id);
    if (it == mTimers.end()) {
        return;
    }
    mDeadlines.erase({it->second.deadline, id});
    mTimers.erase(it);
}

bool HostLoop::isScheduled(TimerId id) const {
    std::lock_guard lock(mMutex);
    return mTimers.count(id) != 0;
}

HostLoop::TimePoint HostLoop::now() const {
    if (mMode == TimeMode::Manual) {
        return TimePoint(Duration(mManualNow.load()));
    }
    return Clock::now();
}

HostLoop::WallTime HostLoop::wallNow() const {
    if (mMode == TimeMode::Manual) {
        auto elapsed = Duration(mManualNow.load() - mManualStart);
        WallTime start{std::chrono::system_clock::duration(mManualWallAtStart.load())};
        return start + std::chrono::duration_cast<std::chrono::system_clock::duration>(elapsed);
    }
    return std::chrono::system_clock::now();
}

std::shared_ptr<HostLoop::Task> HostLoop::takeNextLocked(TimePoint current) {
    if (!mDeadlines.empty() && mDeadlines.begin()->first <= current) {
        auto [deadline, id] = *mDeadlines.begin();
        mDeadlines.erase(mDeadlines.begin());
        auto it = mTimers.find(id);
        auto task = it->second.task;
        if (it->second.interval == Duration::zero()) {
            mTimers.erase(it);
        } else {
            // Re-arm before running, so the task may cancel its own timer. Missed periods are
            // skipped rather than fired in a burst.
            TimePoint next = deadline + it->second.interval;
            while (next <= current) {
                next += it->second.interval;
            }
            it->second.deadline = next;
            mDeadlines.emplace(next, id);
        }
        return task;
    }
    if (!mTasks.empty()) {
        auto task = std::make_shared<Task>(std::move(mTasks.front()));
        mTasks.pop_front();
        return task;
    }
    return nullptr;
}

void HostLoop::run() {
    if (mMode != TimeMode::Real) {
        throw std::logic_error("run() needs a loop in real time");
    }
    attachToCurrentThread();
    std::unique_lock lock(mMutex);
    while (!mQuit) {
        if (auto task = takeNextLocked(Clock::now())) {
            lock.unlock();
            (*task)();
            lock.lock();
            continue;
        }
        if (mDeadlines.empty()) {
            mWake.wait(lock);
        } else {
            mWake.wait_until(lock, mDeadlines.begin()->first);
        }
    }
    mQuit = false;
}

void HostLoop::quit() {
    {
        std::lock_guard lock(mMutex);
        mQuit = true;
    }
    mWake.notify_all();
}

bool HostLoop::quitRequested() const {
    std::lock_guard lock(mMutex);
    return mQuit;
}

std::size_t HostLoop::runPending() {
    std::size_t ran = 0;
    for (;;) {
        std::shared_ptr<Task> task;
        {
            std::lock_guard lock(mMutex);
            task = takeNextLocked(now());
        }
        if (!task) {
            return ran;
        }
        (*task)();
        ++ran;
    }
}

void HostLoop::advance(Duration by) {
    if (mMode != TimeMode::Manual) {
        throw std::logic_error("advance() needs a loop in manual time");
    }
    const auto target = now() + by;
    runPending();
    for (;;) {
        {
            std::lock_guard lock(mMutex);
            if (mDeadlines.empty() || mDeadlines.begin()->first > target) {
                break;
            }
            mManualNow = std::max(mManualNow.load(), mDeadlines.begin()->first.time_since_epoch().count());
        }
        runPending();
    }
    mManualNow = target.time_since_epoch().count();
    runPending();
}

void HostLoop::setWallTime(WallTime at) {
    if (mMode != TimeMode::Manual) {
        throw std::logic_error("setWallTime() needs a loop in manual time");
    }
    auto elapsed = Duration(mManualNow.load() - mManualStart);
    mManualWallAtStart = (at - std::chrono::duration_cast<std::chrono::system_clock::duration>(elapsed))
                             .time_since_epoch()
                             .count();
}

bool HostLoop::isLoopThread() const {
    return mThread.load() == std::this_thread::get_id();
}

void HostLoop::attachToCurrentThread() {
    mThread = std::this_thread::get_id();
}

void Timer::startOnce(HostLoop& loop, HostLoop::Duration delay, HostLoop::Task task) {
    cancel();
    mLoop = &loop;
    mId = loop.runAfter(delay, std::move(task));
}

void Timer::startRepeating(HostLoop& loop, HostLoop::Duration interval, HostLoop::Task task) {
    cancel();
    mLoop = &loop;
    mId = loop.runEvery(interval, std::move(task));
}

void Timer::cancel() {
    if (mLoop && mId) {
        mLoop->cancel(mId);
    }
    mId = 0;
}

bool Timer::isActive() const {
    return mLoop && mId && mLoop->isScheduled(mId);
}

} // namespace pelorn
