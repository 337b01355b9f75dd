#include "core/process_runner.hpp"

#include <gtest/gtest.h>

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
