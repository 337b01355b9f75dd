#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pelorn {

struct ProcessResult {
    bool started = false;  // false: the program could not be run at all (see error)
    bool timedOut = false; // killed after the timeout
    int exitCode = -1;     // when it exited normally
    int signal = 0;        // when a signal ended it
    std::string out;
    std::string err;
    std::string error;

    bool succeeded() const { return started && !timedOut && signal == 0 && exitCode == 0; }
};

struct ProcessOptions {
    std::string input; // written to the child's stdin, which is then closed
    std::chrono::milliseconds timeout{30000};
    std::optional<std::vector<std::string>> environment;   // "NAME=value" entries; default: inherit
    std::optional<std::filesystem::path> workingDirectory; // default: the caller's
};

// Runs a program (argv[0] is looked up in PATH when it has no slash) and collects stdout and
// stderr concurrently, so a child that fills one pipe never stalls on the other. Blocks the
// caller: run it on a background task.
// The null-terminated pointer array execve and posix_spawn take; valid while `strings` lives.
std::vector<char*> cStrings(const std::vector<std::string>& strings);

// For a forked child before exec (async-signal-safe): no blocked signals, SIGPIPE at its default,
// and every descriptor from 3 up closed on exec. The host blocks its termination signals and
// ignores SIGPIPE; a child must not inherit either, or a shell in it would ignore its hang-up.
void restoreChildDefaults();

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

} // namespace pelorn
