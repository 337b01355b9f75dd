#include "net/io_thread.hpp"

#include "core/log.hpp"

#include <exception>

namespace pelorn {

IoThread::IoThread() : mWork(asio::make_work_guard(mContext)) {
    mThread = std::thread([this] {
        for (;;) {
            try {
                mContext.run();
                return;
            } catch (const std::exception& e) {
                // A handler's exception must not end every connection's I/O.
                Log::shared().debug("IoThread", e.what());
            }
        }
    });
}

IoThread::~IoThread() {
    mWork.reset();
    mContext.stop();
    mThread.join();
}

IoThread& IoThread::shared() {
    static IoThread instance;
    return instance;
}

} // namespace pelorn
