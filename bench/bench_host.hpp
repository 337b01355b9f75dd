#pragma once
// The real pelorn-host as a separate process for the benchmarks, with an approved client.
#include "client/reference_client.hpp"
#include "core/process_runner.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pelorn::bench {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline const std::string password = "correct horse";
inline fs::path binDir() {
    return std::getenv("PELORN_BIN_DIR") ? std::getenv("PELORN_BIN_DIR") : "build/bin";
}

struct Host {
    fs::path home;
    pid_t pid = -1;
    std::vector<std::string> env;

    Host() {
        char pattern[] = "/tmp/pelorn-bench.XXXXXX";
        home = ::mkdtemp(pattern);
        env = {"HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
               "XDG_DATA_HOME=" + (home / "data").string(), "XDG_RUNTIME_DIR=" + (home / "run").string(),
               "PATH=/usr/bin:/bin", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home / "no-bus").string(),
               "PELORN_SIGNALING_PORT=0", "PELORN_DNS_SD=off",
               // A tmux server of the benchmark's own.
               "TMUX_TMPDIR=" + home.string(), "SHELL=/bin/sh"};
        if (const char* display = std::getenv("DISPLAY")) { // the benchmark's own X server
            env.push_back(std::string("DISPLAY=") + display);
        }
        fs::create_directories(home / "config/pelorn");
        std::ofstream(home / "config/pelorn/settings.json")
            << R"({"userEmail":"bench@example.org","isAuthenticated":true})";
        std::string program = (binDir() / "pelorn-host").string();
        std::vector<char*> argv{program.data(), const_cast<char*>("--headless"), nullptr}, envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, (home / "host.out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
            std::fprintf(stderr, "cannot start %s\n", program.c_str());
            std::exit(1);
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Host() {
        ProcessOptions options;
        options.environment = env;
        runProcess({"tmux", "kill-server"}, options);
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        fs::remove_all(home);
    }
    ProcessResult ctl(std::vector<std::string> args, std::string input = {}) {
        args.insert(args.begin(), (binDir() / "pelornctl").string());
        ProcessOptions options;
        options.environment = env;
        options.input = std::move(input);
        return runProcess(args, options);
    }
    std::size_t openFds() const {
        std::size_t n = 0;
        for ([[maybe_unused]] auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
            ++n;
        }
        return n;
    }
    long rssKiB() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) {
                return std::atol(line.c_str() + 6);
            }
        }
        return -1;
    }
};

inline std::unique_ptr<client::Session> connect(std::uint16_t port, client::Credentials& credentials) {
    auto opened = client::Connection::open("127.0.0.1", port);
    if (!std::holds_alternative<std::unique_ptr<client::Connection>>(opened)) {
        std::fprintf(stderr, "connect: %s\n", std::get<std::string>(opened).c_str());
        std::exit(1);
    }
    return std::make_unique<client::Session>(std::move(std::get<std::unique_ptr<client::Connection>>(opened)),
                                             credentials);
}

// Starts serving, sets the password, goes online and returns the signaling port.
inline std::uint16_t goOnline(Host& host) {
    for (int i = 0; i < 300 && !host.ctl({"status"}).succeeded(); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    if (!host.ctl({"password", "set"}, password + "\n").succeeded() || !host.ctl({"online"}).succeeded()) {
        std::fprintf(stderr, "the host did not go online\n");
        std::exit(1);
    }
    return nlohmann::json::parse(host.ctl({"--json", "status"}).out)["signalingPort"].get<std::uint16_t>();
}

// Connects `device`, approving it when the host asks; exits on failure.
inline std::unique_ptr<client::Session> approvedSession(Host& host, std::uint16_t port,
                                                        client::Credentials& device) {
    auto first = std::async(std::launch::async, [&] {
        auto s = connect(port, device);
        auto r = s->authenticate(password);
        return r && r->state == AuthResult::State::Authorized ? std::move(s) : nullptr;
    });
    while (first.wait_for(20ms) != std::future_status::ready) {
        host.ctl({"approve", device.deviceId()});
    }
    auto session = first.get();
    if (!session) {
        std::fprintf(stderr, "approval failed\n");
        std::exit(1);
    }
    return session;
}

inline double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// `tmux new-session` through pelornctl, for a client to attach to; exits on failure.
inline void newTmuxSession(Host& host, const std::string& name) {
    if (!host.ctl({"sessions", "new", name}).succeeded()) {
        std::fprintf(stderr, "no session\n");
        std::exit(1);
    }
}

inline void report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
    std::printf("%-44s n=%zu  median %.3f ms  p99 %.3f ms  max %.3f ms\n", what, ms.size(), at(0.5), at(0.99),
                ms.back());
}

} // namespace pelorn::bench
