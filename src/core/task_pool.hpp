#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace pelorn {

// Background work (file writes, tmux commands, key derivation). Tasks post their results back to
// the host loop themselves. The destructor finishes queued tasks, then joins.
class TaskPool {
public:
    explicit TaskPool(unsigned threads = 2);
    ~TaskPool();
    static TaskPool& shared();

    void submit(std::function<void()> task);
    // Blocks until every submitted task has finished.
    void waitIdle();

    TaskPool(const TaskPool&) = delete;
    TaskPool& operator=(const TaskPool&) = delete;

private:
    void work();

    std::mutex mMutex; // guards the queue, mBusy and mStopping
    std::condition_variable mWake;
    std::condition_variable mIdle;
    std::deque<std::function<void()>> mQueue;
    unsigned mBusy = 0;
    bool mStopping = false;
    std::vector<std::thread> mThreads;
};

} // namespace pelorn
