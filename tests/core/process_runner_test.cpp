#include "core/process_runner.hpp"

#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

using namespace pelorn;
using namespace std::chrono_literals;

TEST(ProcessRunner, CollectsLargeStdoutAndStderrTogether) {
    // Each stream is larger than a pipe buffer: reading them one after the other would stall.
    auto r = runProcess({"sh", "-c", "head -c 300000 /dev/zero; head -c 200000 /dev/zero >&2; exit 3"});
    ASSERT_TRUE(r.started) << r.error;
    EXPECT_EQ(r.out.size(), 300000u);
    EXPECT_EQ(r.err.size(), 200000u);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_FALSE(r.succeeded());
}

TEST(ProcessRunner, FeedsStdinAndPassesTheEnvironment) {
    ProcessOptions options;
    options.input = std::string(100000, 'x') + "\n";
    options.environment = std::vector<std::string>{"PELORN_X=42", "PATH=/usr/bin:/bin"};
    auto r = runProcess({"sh", "-c", "wc -c; echo $PELORN_X"}, options);
    ASSERT_TRUE(r.succeeded()) << r.error << r.err;
    EXPECT_EQ(r.out, "100001\n42\n");
}

TEST(ProcessRunner, KillsAChildThatOutlivesItsTimeout) {
    ProcessOptions options;
    options.timeout = 200ms;
    auto start = std::chrono::steady_clock::now();
    auto r = runProcess({"sleep", "30"}, options);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(ProcessRunner, MissingProgramIsReportedNotRun) {
    auto r = runProcess({"/nonexistent/pelorn-no-such-program"});
    EXPECT_FALSE(r.started);
    EXPECT_NE(r.error.find("pelorn-no-such-program"), std::string::npos);
}

// The host blocks its termination signals, ignores SIGPIPE and holds sockets; a child it starts
// (the tmux server lives on for days) gets none of that.
TEST(ProcessRunner, ChildGetsNoBlockedSignalsIgnoredPipeOrOurDescriptors) {
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGHUP);
    sigaddset(&block, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &block, &previous);
    auto oldPipe = std::signal(SIGPIPE, SIG_IGN);
    int opened = ::open("/dev/null", O_RDONLY);
    int leaked = ::fcntl(opened, F_DUPFD, 100); // no close-on-exec; above what ls itself opens
    ::close(opened);
    ASSERT_GE(leaked, 100);

    auto r = runProcess({"sh", "-c", "grep -E '^Sig(Blk|Ign)' /proc/self/status; ls /proc/self/fd"});
    ::close(leaked);
    std::signal(SIGPIPE, oldPipe);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    ASSERT_TRUE(r.succeeded()) << r.err;
    EXPECT_NE(r.out.find("SigBlk:\t0000000000000000"), std::string::npos) << r.out;
    // SIGPIPE is bit 12 of the ignored set.
    auto ignored = r.out.substr(r.out.find("SigIgn:\t") + 8, 16);
    EXPECT_EQ(std::stoull(ignored, nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << r.out;
    EXPECT_EQ(r.out.find("\n" + std::to_string(leaked) + "\n"), std::string::npos) << r.out;
}
