#include "core/log.hpp"

#include <cstdio>
#include <cstdlib>
#include <syslog.h>
#include <utility>

namespace pelorn {

Log& Log::shared() {
    static Log instance;
    return instance;
}

Log::Log() : mDebug(std::getenv("PELORN_DEBUG") != nullptr) {
    openlog("pelorn-host", LOG_PID, LOG_USER);
    mWriter = std::thread([this] { write(); });
}

Log::~Log() {
    {
        std::lock_guard lock(mMutex);
        mStopping = true;
    }
    mChanged.notify_all();
    mWriter.join();
}

void Log::info(std::string_view line) {
    emit(line, false);
}

void Log::system(std::string_view line) {
    emit(line, true);
}

void Log::debug(std::string_view where, std::string_view what) {
    if (!mDebug) {
        return;
    }
    std::string line = "debug: ";
    line.append(where).append(": ").append(what);
    emit(line, false);
}

void Log::setSink(Sink sink) {
    std::lock_guard lock(mMutex);
    mSink = std::move(sink);
}

void Log::emit(std::string_view line, bool systemLog) {
    std::lock_guard lock(mMutex);
    if (mSink) {
        mSink(line, systemLog);
        return;
    }
    if (mQueue.size() >= maxQueuedLines) {
        ++mDropped;
        return;
    }
    mQueue.emplace_back(line, systemLog);
    mChanged.notify_all();
}

void Log::write() {
    std::unique_lock lock(mMutex);
    for (;;) {
        mChanged.wait(lock, [this] { return mStopping || !mQueue.empty() || mDropped > 0; });
        if (mQueue.empty() && mDropped == 0) {
            return; // stopping, with everything written
        }
        auto lines = std::exchange(mQueue, {});
        if (auto dropped = std::exchange(mDropped, 0)) {
            lines.emplace_back("⚠️ PELORN: " + std::to_string(dropped) +
                                   " log lines dropped - the output was not taking them",
                               false);
        }
        lock.unlock();
        std::string out;
        for (const auto& [text, systemLog] : lines) {
            out.append(text).push_back('\n');
            if (systemLog) {
                syslog(LOG_INFO, "%.*s", static_cast<int>(text.size()), text.data());
            }
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
        lock.lock();
    }
}

} // namespace pelorn
