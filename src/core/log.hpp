#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace pelorn {

// Diagnostics: one line per call, to stdout; lines marked for the system log also go to syslog
// (the journal picks them up where it runs). When stdout is the journal (a systemd service),
// each line carries its priority: errors as errors, warnings as warnings.
// Callable from any thread, and never waits on the output: a writing thread takes the lines from
// a bounded queue, so a stdout nobody reads stalls only that thread, and lines beyond the queue
// are counted and reported as dropped.
class Log {
public:
    using Sink = std::function<void(std::string_view line, bool systemLog)>;
    static constexpr std::size_t maxQueuedLines = 4096;

    static Log& shared();
    // The priority of a line as syslog numbers it: 3 error, 4 warning, 6 information.
    static int priority(std::string_view line);
    // Whether `fd` is the stream systemd names in JOURNAL_STREAM ("device:inode").
    static bool isJournalStream(const char* journalStream, int fd);

    void info(std::string_view line);
    void system(std::string_view line);
    // Internal trouble; printed only when PELORN_DEBUG is set.
    void debug(std::string_view where, std::string_view what);

    // Replaces stdout/syslog with another sink (tests capture lines); an empty sink restores them.
    void setSink(Sink sink);

    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    ~Log();

private:
    Log();
    void emit(std::string_view line, bool systemLog);
    void write(); // the writing thread

    std::mutex mMutex; // guards mSink and the fields below
    Sink mSink;
    std::deque<std::pair<std::string, bool>> mQueue;
    std::size_t mDropped = 0;
    bool mStopping = false;
    std::condition_variable mChanged;
    bool mDebug = false;
    bool mToJournal = false; // stdout is the journal: lines carry their priority
    std::thread mWriter;     // last: started once the rest is ready
};

} // namespace pelorn
