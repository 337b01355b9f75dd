#include "core/log.hpp"

#include <cstdio>
#include <cstdlib>
#include <syslog.h>

namespace pelorn {

Log& Log::shared() {
    static Log instance;
    return instance;
}

Log::Log() : mDebug(std::getenv("PELORN_DEBUG") != nullptr) {
    openlog("pelorn-host", LOG_PID, LOG_USER);
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
    std::string out(line);
    out.push_back('\n');
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    if (systemLog) {
        syslog(LOG_INFO, "%.*s", static_cast<int>(line.size()), line.data());
    }
}

} // namespace pelorn
