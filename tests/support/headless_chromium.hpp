#pragma once

// Debian's Chromium, headless, as a test's WebRTC client: it loads one page and runs in a process
// group of its own, so the test can freeze and thaw the whole browser (it is several processes)
// and is sure to end it.
#include "core/atomic_file.hpp"
#include "core/process_runner.hpp"
#include "support/test_support.hpp"

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pelorn::test {

class HeadlessChromium {
public:
    explicit HeadlessChromium(const std::string& url) {
        std::vector<std::string> args{"chromium", "--headless",
                                      "--no-sandbox", // tests run as root
                                      "--disable-gpu", "--no-first-run", "--disable-background-networking",
                                      "--disable-component-update", "--disable-sync",
                                      "--user-data-dir=" + (mProfile / "profile").string(),
                                      // The host's candidates and ours are on loopback, unhidden.
                                      "--allow-loopback-in-peer-connection",
                                      "--disable-features=WebRtcHideLocalIpsWithMdns", url};
        auto argv = cStrings(args);
        // Off the test's session bus: the browser would start an accessibility bus there.
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) {
            if (!std::string_view(*e).starts_with("DBUS_SESSION_BUS_ADDRESS=")) {
                environment.emplace_back(*e);
            }
        }
        auto envp = cStrings(environment);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
        if (posix_spawnp(&mPid, "chromium", &actions, &attributes, argv.data(), envp.data()) != 0) {
            mPid = -1;
        }
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~HeadlessChromium() {
        if (mPid > 0) {
            ::kill(-mPid, SIGCONT);
            ::kill(-mPid, SIGKILL);
            ::waitpid(mPid, nullptr, 0);
        }
    }

    bool started() const { return mPid > 0; }

    // Every process of the browser stops (as a device that went to sleep), or goes on.
    void freeze() { ::kill(-mPid, SIGSTOP); }
    void thaw() { ::kill(-mPid, SIGCONT); }

    // What the browser printed, for failure messages.
    std::string output() const { return readWholeFile(log()).value_or(""); }

    HeadlessChromium(const HeadlessChromium&) = delete;
    HeadlessChromium& operator=(const HeadlessChromium&) = delete;

private:
    std::filesystem::path log() const { return mProfile / "chromium.log"; }

    TempDir mProfile;
    pid_t mPid = -1;
};

} // namespace pelorn::test
