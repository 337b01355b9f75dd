#include "core/log.hpp"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <utility>

namespace pelorn {

Log& Log::shared() {
    static Log instance;
    return instance;
}

int Log::priority(std::string_view line) {
    if (line.starts_with("❌")) {
        return LOG_ERR;
    }
    if (line.starts_with("⚠️") || line.starts_with("⛔️")) {
        return LOG_WARNING;
    }
    return LOG_INFO;
}

bool Log::isJournalStream(const char* journalStream, int fd) {
    struct stat st {};
    unsigned long long device = 0, inode = 0;
    if (!journalStream || std::sscanf(journalStream, "%llu:%llu", &device, &inode) != 2 ||
        ::fstat(fd, &st) != 0) {
        return false;
    }
    return static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

Log::Log()
    : mDebug(std::getenv("PELORN_DEBUG") != nullptr),
      mToJournal(isJournalStream(std::getenv("JOURNAL_STREAM"), STDOUT_FILENO)) {
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
            if (mToJournal) {
                // The journal reads a "<N>" prefix as the line's priority.
                out.append("<").append(std::to_string(priority(text))).append(">");
            }
            out.append(text).push_back('\n');
            if (systemLog) {
                syslog(priority(text), "%.*s", static_cast<int>(text.size()), text.data());
            }
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
        std::fflush(stdout);
        lock.lock();
    }
}

} // namespace pelorn
