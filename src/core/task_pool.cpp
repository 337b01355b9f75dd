#include "core/task_pool.hpp"

#include "core/log.hpp"

#include <exception>

namespace pelorn {

TaskPool::TaskPool(unsigned threads) {
    for (unsigned i = 0; i < threads; ++i) {
        mThreads.emplace_back([this] { work(); });
    }
}

TaskPool::~TaskPool() {
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
    }
    mWake.notify_all();
    for (auto& t : mThreads) {
        t.join();
    }
}

TaskPool& TaskPool::shared() {
    static TaskPool instance;
    return instance;
}

void TaskPool::submit(std::function<void()> task) {
    {
        std::lock_guard lock(mMutex);
        mQueue.push_back(std::move(task));
    }
    mWake.notify_one();
}

void TaskPool::waitIdle() {
    std::unique_lock lock(mMutex);
    mIdle.wait(lock, [this] { return mQueue.empty() && mBusy == 0; });
}

void TaskPool::work() {
    std::unique_lock lock(mMutex);
    for (;;) {
        mWake.wait(lock, [this] { return mStopping || !mQueue.empty(); });
        if (mQueue.empty()) {
            return;
        }
        auto task = std::move(mQueue.front());
        mQueue.pop_front();
        ++mBusy;
        lock.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            Log::shared().debug(__func__, e.what());
        }
        lock.lock();
        --mBusy;
        if (mQueue.empty() && mBusy == 0) {
            mIdle.notify_all();
        }
    }
}

} // namespace pelorn
