#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <thread>

namespace pelorn {

// The thread that runs socket I/O. Completion handlers run here and post results to the host loop.
class IoThread {
public:
    IoThread();
    ~IoThread();
    static IoThread& shared();

    asio::io_context& context() { return mContext; }

    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

private:
    asio::io_context mContext;
    asio::executor_work_guard<asio::io_context::executor_type> mWork;
    std::thread mThread;
};

} // namespace pelorn
