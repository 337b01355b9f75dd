#pragma once

// The real pelorn-host in a private HOME, driven by the real pelornctl.
#include "core/atomic_file.hpp"
#include "core/process_runner.hpp"
#include "support/test_support.hpp"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

namespace pelorn::test {

using namespace std::chrono_literals;

inline std::filesystem::path binDir() {
    const char* dir = std::getenv("PELORN_BIN_DIR");
    return dir ? dir : "build/bin";
}

// A private HOME, config, data and runtime folder for one test.
struct Home {
    test::TempDir dir;
    std::vector<std::string> env() const {
        std::vector<std::string> out = {
            "HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + (dir / "config").string(),
            "XDG_DATA_HOME=" + (dir / "data").string(), "XDG_RUNTIME_DIR=" + (dir / "run").string(),
            "PATH=/usr/bin:/bin", "TZ=UTC",
            // A port of the system's choosing, so hosts of parallel tests never clash.
            "PELORN_SIGNALING_PORT=0",
            // A tmux server of the test's own, with a plain shell.
            "TMUX_TMPDIR=" + dir.path().string(), "SHELL=/bin/sh"};
        // Passed through: the DNS-SD backend, the X server of tests that start one (test-env clears
        // DISPLAY), the system bus of tests with a fake logind, the sanitizer's options, and the
        // run's GStreamer registry (else each host rescans the plugins).
        for (const char* name :
             {"PELORN_DNS_SD", "DISPLAY", "DBUS_SYSTEM_BUS_ADDRESS", "TSAN_OPTIONS", "GST_REGISTRY"}) {
            if (const char* value = std::getenv(name)) {
                out.push_back(std::string(name) + "=" + value);
            }
        }
        out.insert(out.end(), extraEnv.begin(), extraEnv.end());
        // Keeps the secret store choice away from the desktop's keyring, unless the test gives a bus.
        out.push_back("DBUS_SESSION_BUS_ADDRESS=" +
                      (sessionBus.empty() ? "unix:path=" + (dir / "no-bus").string() : sessionBus));
        return out;
    }
    std::string sessionBus;
    std::vector<std::string> extraEnv; // "NAME=value", added to the rest
    std::filesystem::path settings() const { return dir / "config/pelorn/settings.json"; }
    std::filesystem::path activity() const { return dir / "data/Pelorn/activity.json"; }
    void signIn(const std::string& email) const {
        std::filesystem::create_directories(settings().parent_path());
        nlohmann::json s = nlohmann::json::object();
        if (auto text = readWholeFile(settings())) {
            s = nlohmann::json::parse(*text);
        }
        s["userEmail"] = email;
        s["isAuthenticated"] = true;
        std::ofstream(settings()) << s.dump();
    }
};

class HostProcess {
public:
    // The output goes to a file, or with `intoPipe` to a pipe that only outputPipe() reads. With
    // `windowed` it shows its window on the test's X server.
    HostProcess(const Home& home, std::string name, bool intoPipe = false, bool windowed = false)
        : mOut(home.dir / (name + ".out")) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int pipeFds[2] = {-1, -1};
        if (intoPipe && ::pipe2(pipeFds, O_CLOEXEC) == 0) {
            posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
            mPipe = pipeFds[0];
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, mOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::string program = (binDir() / "pelorn-host").string();
        std::vector<std::string> env = home.env();
        std::vector<char*> envp, argv{program.data(), const_cast<char*>("--headless"), nullptr};
        if (windowed) {
            argv.erase(argv.begin() + 1);
        }
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&mPid, program.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        if (pipeFds[1] >= 0) {
            ::close(pipeFds[1]);
        }
    }
    ~HostProcess() {
        if (mPipe >= 0) {
            ::close(mPipe);
        }
        if (mPid > 0 && !mExited) {
            ::kill(mPid, SIGKILL);
            ::waitpid(mPid, nullptr, 0);
        }
    }

    // Exit status, or -1 when it is still running after the wait.
    int waitForExit(std::chrono::milliseconds limit = 10s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(mPid, &status, WNOHANG) == mPid) {
                mExited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }
    void signal(int sig) { ::kill(mPid, sig); }
    std::string output() const { return readWholeFile(mOut).value_or(""); }
    // Whether `text` shows up in the output within the limit.
    bool waitForOutput(std::string_view text, std::chrono::milliseconds limit = 10s) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (output().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }
    pid_t pid() const { return mPid; }
    int outputPipe() const { return mPipe; }

private:
    int mPipe = -1;
    std::filesystem::path mOut;
    pid_t mPid = -1;
    bool mExited = false;
};

inline ProcessResult ctl(const Home& home, std::vector<std::string> args, std::string input = {}) {
    args.insert(args.begin(), (binDir() / "pelornctl").string());
    ProcessOptions options;
    options.environment = home.env();
    options.timeout = 30s;
    options.input = std::move(input);
    return runProcess(args, options);
}

// The host is ready once its control socket answers; a fixed pause would be slower and flakier.
inline void waitUntilServing(const Home& home, pid_t pid, std::chrono::milliseconds limit = 15s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        auto r = ctl(home, {"--json", "status"});
        if (r.succeeded() && r.out.find(std::to_string(pid)) != std::string::npos) {
            return;
        }
        std::this_thread::sleep_for(50ms);
    }
    FAIL() << "the host did not start serving";
}

inline nlohmann::json statusJson(const Home& home) {
    auto r = ctl(home, {"status", "--json"});
    EXPECT_TRUE(r.succeeded()) << r.err;
    return nlohmann::json::parse(r.out);
}

} // namespace pelorn::test
