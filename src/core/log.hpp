#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace pelorn {

// Diagnostics: one line per call, to stdout; lines marked for the system log also go to syslog
// (the journal picks them up where it runs). Callable from any thread.
class Log {
public:
    using Sink = std::function<void(std::string_view line, bool systemLog)>;

    static Log& shared();

    void info(std::string_view line);
    void system(std::string_view line);
    // Internal trouble; printed only when PELORN_DEBUG is set.
    void debug(std::string_view where, std::string_view what);

    // Replaces stdout/syslog with another sink (tests capture lines); an empty sink restores them.
    void setSink(Sink sink);

    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

private:
    Log();
    void emit(std::string_view line, bool systemLog);

    std::mutex mMutex; // guards mSink and the order of lines on stdout
    Sink mSink;
    bool mDebug = false;
};

} // namespace pelorn
