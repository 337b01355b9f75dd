#pragma once

// A headless GNOME Wayland session of the test's own (scripts/start-gnome): a session bus,
// PipeWire and mutter with one virtual monitor, all under a private folder; and a GTK window on
// it that says what input reaches it.
#include "core/atomic_file.hpp"
#include "core/process_runner.hpp"
#include "gnome/mutter_remote_desktop.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pelorn::test {

class PrivateGnome {
public:
    explicit PrivateGnome(const std::string& size = "1280x720") {
        auto started = runProcess(
            {std::string(PELORN_TESTS_DIR) + "/../scripts/start-gnome", mState.path().string(), size});
        std::istringstream lines(started.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("pids=")) {
                std::istringstream pids(line.substr(5));
                for (pid_t pid; pids >> pid;) {
                    mPids.push_back(pid);
                }
            } else if (line.find('=') != std::string::npos) {
                mEnv.push_back(line);
            }
        }
        mUp = started.exitCode == 0;
        // PipeWire clients of this process (the screen cast's reader) find the session's daemon.
        ::setenv("PIPEWIRE_RUNTIME_DIR", (mState / "run").c_str(), 1);
    }
    ~PrivateGnome() {
        for (auto it = mPids.rbegin(); it != mPids.rend(); ++it) {
            ::kill(*it, SIGKILL);
        }
        ::unsetenv("PIPEWIRE_RUNTIME_DIR");
    }
    bool up() const { return mUp; }
    // What a client of the session needs, this process's environment around it.
    std::vector<std::string> env() const {
        std::vector<std::string> out = mEnv;
        out.push_back("GDK_BACKEND=wayland");
        auto named = [&](const std::string& entry) {
            auto name = entry.substr(0, entry.find('=') + 1);
            return std::any_of(out.begin(), out.end(), [&](auto& e) { return e.starts_with(name); });
        };
        for (char** e = environ; *e; ++e) {
            if (!named(*e)) {
                out.emplace_back(*e);
            }
        }
        return out;
    }
    // What tells a program of its own folders that it runs in this session: the session's kind,
    // and where its compositor and PipeWire are.
    std::vector<std::string> sessionEnv() const {
        return {"XDG_SESSION_TYPE=wayland", "XDG_CURRENT_DESKTOP=GNOME",
                "WAYLAND_DISPLAY=" + (mState / "run/wayland-0").string(),
                "PIPEWIRE_RUNTIME_DIR=" + (mState / "run").string()};
    }
    std::string busAddress() const { return "unix:path=" + (mState / "run/bus").string(); }
    std::string log() const { return readWholeFile(mState / "mutter.log").value_or(""); }
    pid_t compositorPid() const { return mPids.size() == 4 ? mPids[3] : -1; }
    // The compositor goes away at once, as a crash would take it.
    void killCompositor() {
        if (pid_t pid = compositorPid(); pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

private:
    TempDir mState;
    std::vector<std::string> mEnv;
    std::vector<pid_t> mPids;
    bool mUp = false;
};

// The owner at the screen clicks at `points` in turn, through a remote-desktop session of the
// test's own.
inline void clickAt(MutterRemoteDesktop& owner, std::initializer_list<std::pair<double, double>> points) {
    for (auto [x, y] : points) {
        owner.motion(x, y);
        owner.button(BTN_LEFT, true);
        owner.button(BTN_LEFT, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

// The owner answers the desktop portal's dialogs on a 1280x720 monitor, as GNOME draws them:
// sharing the screen (the list, to focus it, then "Share"), and allowing remote input (the list,
// the "Allow remote interaction" switch, "Share").
inline void shareInPortalDialog(MutterRemoteDesktop& owner) {
    clickAt(owner, {{640, 385}, {852, 232}});
}
inline void allowInPortalDialog(MutterRemoteDesktop& owner) {
    clickAt(owner, {{640, 346}, {830, 432}, {852, 232}});
}

// The GTK window of tests/input/wayland_window.py, full screen on the session's monitor.
class WaylandWindow {
public:
    explicit WaylandWindow(const PrivateGnome& gnome) {
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string script = std::string(PELORN_TESTS_DIR) + "/input/wayland_window.py";
        std::vector<char*> argv{const_cast<char*>("/usr/bin/python3"), script.data(), nullptr};
        auto env = gnome.env();
        auto envp = cStrings(env);
        EXPECT_EQ(posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        mOut = out[0];
    }
    ~WaylandWindow() {
        ::close(mOut);
        ::kill(mPid, SIGTERM);
        ::waitpid(mPid, nullptr, 0);
    }
    // Whether the window said `line` (a whole line) within the limit.
    bool said(const std::string& line, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            read();
            if (("\n" + mSeen).find("\n" + line + "\n") != std::string::npos) {
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    const std::string& seen() {
        read();
        return mSeen;
    }

private:
    void read() { appendAvailable(mOut, mSeen); }

    pid_t mPid = -1;
    int mOut = -1;
    std::string mSeen;
};

} // namespace pelorn::test
