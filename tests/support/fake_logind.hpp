#pragma once

// python3-dbusmock's logind template on a bus of the test's own, standing in for the system bus.
#include "core/process_runner.hpp"
#include "support/x_session.hpp"

namespace pelorn::test {

// A bus of the test's own as the system bus, with or without a fake logind on it.
class FakeSystemBus {
public:
    explicit FakeSystemBus(bool withLogind)
        : mDaemon({"dbus-daemon", "--session", "--nofork", "--nopidfile"}, "--print-address=") {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", mDaemon.answer().c_str(), 1);
        if (!withLogind) {
            return;
        }
        std::vector<std::string> args{"/usr/bin/python3", "-m",         "dbusmock",
                                      "--system",         "--template", "logind"};
        auto argv = cStrings(args);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        EXPECT_EQ(posix_spawn(&mMock, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 200 && !call({"org.freedesktop.DBus.Peer.Ping"}).succeeded(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ~FakeSystemBus() {
        if (mMock > 0) {
            ::kill(mMock, SIGTERM);
            ::waitpid(mMock, nullptr, 0);
        }
    }
    // A method of logind's manager object, through gdbus.
    static ProcessResult call(std::vector<std::string> methodAndArgs) {
        std::vector<std::string> args{
            "gdbus", "call", "--system", "-d", "org.freedesktop.login1", "-o", "/org/freedesktop/login1",
            "-m"};
        args.insert(args.end(), methodAndArgs.begin(), methodAndArgs.end());
        return runProcess(args);
    }
    static std::string inhibitors() { return call({"org.freedesktop.login1.Manager.ListInhibitors"}).out; }
    static void setLid(const std::string& key, const std::string& value) {
        auto variant = "<'" + value + "'>";
        EXPECT_TRUE(
            call({"org.freedesktop.DBus.Properties.Set", "org.freedesktop.login1.Manager", key, variant})
                .succeeded() ||
            call({"org.freedesktop.DBus.Mock.AddProperty", "org.freedesktop.login1.Manager", key, variant})
                .succeeded());
    }

private:
    ReadyProcess mDaemon;
    pid_t mMock = -1;
};

} // namespace pelorn::test
