#include "power/pkexec_runner.hpp"

#include "core/process_runner.hpp"

namespace pelorn {

namespace {

constexpr const char* cancelled = "Administrator authorization was cancelled.";
// pkexec's exit status when the owner dismissed the authentication dialog.
constexpr int pkexecDismissed = 126;

} // namespace

std::optional<std::string> PkexecRunner::run(const std::string& commandLine) {
    // The line is one argument of sh, so nothing in it needs escaping on the way.
    std::vector<std::string> argv = mElevate;
    argv.insert(argv.end(), {"/bin/sh", "-c", commandLine});
    ProcessOptions options;
    options.timeout = std::chrono::minutes(5); // the owner is typing a password
    auto result = runProcess(argv, options);
    if (!result.started) {
        return result.error.empty() ? std::string("could not run ") + argv[0] : result.error;
    }
    if (result.succeeded()) {
        return std::nullopt;
    }
    if (result.exitCode == pkexecDismissed) {
        return std::string(cancelled);
    }
    std::string message = result.err;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? std::string(cancelled) : message;
}

} // namespace pelorn
