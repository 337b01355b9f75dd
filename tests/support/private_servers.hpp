#pragma once

// Helper programs started for one test (an X server, a session bus), stopped when it is done.

#include "core/process_runner.hpp"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pelorn::test {

// A program that reports its address on a descriptor once it is ready (Xvfb -displayfd,
// dbus-daemon --print-address). Stopped when this goes away.
class ReadyProcess {
public:
    // `environment` ("NAME=value" entries) replaces this process's when given.
    ReadyProcess(std::vector<std::string> args, const std::string& fdOption,
                 const std::vector<std::string>* environment = nullptr) {
        int fds[2];
        if (::pipe(fds) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        if (fdOption.ends_with('=')) {
            args.push_back(fdOption + std::to_string(fds[1]));
        } else {
            args.insert(args.end(), {fdOption, std::to_string(fds[1])});
        }
        auto argv = cStrings(args);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        auto envp = environment ? cStrings(*environment) : std::vector<char*>{};
        EXPECT_EQ(
            posix_spawnp(&mPid, argv[0], &actions, nullptr, argv.data(), environment ? envp.data() : environ),
            0)
            << args[0];
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        char c = 0;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') {
            mAnswer += c;
        }
        ::close(fds[0]);
        EXPECT_FALSE(mAnswer.empty()) << args[0] << " did not start";
    }
    ~ReadyProcess() { stop(); }
    void stop() {
        if (mPid > 0) {
            ::kill(mPid, SIGTERM);
            ::waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
    }
    const std::string& answer() const { return mAnswer; }

private:
    pid_t mPid = -1;
    std::string mAnswer;
};

// A program that needs nothing but to run while the test does; its output is dropped.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const std::vector<std::string>& args) {
        auto argv = cStrings(args);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        EXPECT_EQ(posix_spawnp(&mPid, argv[0], &actions, nullptr, argv.data(), environ), 0) << args[0];
        posix_spawn_file_actions_destroy(&actions);
    }
    ~BackgroundProcess() {
        if (mPid > 0) {
            ::kill(mPid, SIGTERM);
            ::waitpid(mPid, nullptr, 0);
        }
    }
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

private:
    pid_t mPid = -1;
};

// Xvfb on a free display number; DISPLAY points at it while this lives.
class PrivateXvfb {
public:
    // On the given display (":N"), or on a free one.
    explicit PrivateXvfb(const std::string& size = "1280x800x24", const std::string& display = {})
        : mServer(arguments(size, display), "-displayfd"), mName(":" + mServer.answer()) {
        ::setenv("DISPLAY", mName.c_str(), 1);
    }
    const std::string& name() const { return mName; }
    void kill() { mServer.stop(); }

private:
    static std::vector<std::string> arguments(const std::string& size, const std::string& display) {
        std::vector<std::string> args{"Xvfb", "-screen", "0", size, "-nolisten", "tcp", "-noreset"};
        if (!display.empty()) {
            args.insert(args.begin() + 1, display);
        }
        return args;
    }

    ReadyProcess mServer;
    std::string mName;
};

// A session bus of the test's own, so the accessibility bus it starts is the test's too.
class PrivateSessionBus {
public:
    PrivateSessionBus()
        : mDaemon({"dbus-daemon", "--session", "--nofork", "--nopidfile"}, "--print-address=") {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", mDaemon.answer().c_str(), 1);
    }

private:
    ReadyProcess mDaemon;
};

} // namespace pelorn::test
