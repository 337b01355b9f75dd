// The window's cost: the real pelorn-host started on an X server of the benchmark's own, from the
// spawn to the window shown ("🪟 PELORN: window shown"), over RUNS launches; and the host's
// resident memory 3 s after launch with the window against the same host headless.
// Usage: window_bench [RUNS]   (default 5)
#include "support/private_servers.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

fs::path binDir() {
    return std::getenv("PELORN_BIN_DIR") ? std::getenv("PELORN_BIN_DIR") : "build/bin";
}

struct Launch {
    double ms = -1; // until the line, or -1
    long rssKiB = -1;
};

// One host in a fresh HOME until `line` appears, then 3 s more for its memory.
Launch launch(bool windowed, const std::string& line) {
    char pattern[] = "/tmp/pelorn-window-bench.XXXXXX";
    fs::path home = ::mkdtemp(pattern);
    fs::create_directories(home / "config/pelorn");
    fs::create_directories(home / "run");
    fs::permissions(home / "run", fs::perms::owner_all);
    std::ofstream(home / "config/pelorn/settings.json")
        << R"({"userEmail":"bench@example.org","isAuthenticated":true})";
    std::vector<std::string> env{"HOME=" + home.string(),
                                 "XDG_CONFIG_HOME=" + (home / "config").string(),
                                 "XDG_DATA_HOME=" + (home / "data").string(),
                                 "XDG_RUNTIME_DIR=" + (home / "run").string(),
                                 "PATH=/usr/bin:/bin",
                                 "PELORN_SIGNALING_PORT=0",
                                 "PELORN_DNS_SD=off",
                                 "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home / "no-bus").string(),
                                 std::string("DISPLAY=") + std::getenv("DISPLAY")};
    std::string program = (binDir() / "pelorn-host").string();
    std::vector<char*> argv{program.data()};
    std::string headless = "--headless";
    if (!windowed) {
        argv.push_back(headless.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    auto out = home / "host.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    auto start = steady_clock::now();
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        std::fprintf(stderr, "cannot start %s\n", program.c_str());
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    Launch result;
    for (auto deadline = start + seconds(30); steady_clock::now() < deadline;) {
        std::ifstream in(out);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find(line) != std::string::npos) {
            result.ms = duration<double, std::milli>(steady_clock::now() - start).count();
            break;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    std::this_thread::sleep_for(seconds(3));
    result.rssKiB = pelorn::test::residentKiB(pid);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    fs::remove_all(home);
    return result;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    pelorn::test::PrivateXvfb xvfb("1920x1080x24");
    std::vector<double> shown, windowRss, headlessRss, started;
    for (int i = 0; i < runs; ++i) {
        auto w = launch(true, "🪟 PELORN: window shown");
        auto h = launch(false, "✅ Pelorn Mac daemon started (offline)");
        if (w.ms < 0 || h.ms < 0) {
            std::fprintf(stderr, "run %d: the host did not come up\n", i);
            return 1;
        }
        shown.push_back(w.ms);
        started.push_back(h.ms);
        windowRss.push_back(static_cast<double>(w.rssKiB));
        headlessRss.push_back(static_cast<double>(h.rssKiB));
    }
    std::sort(shown.begin(), shown.end());
    std::printf(
        "launch to window shown: median %.0f ms (min %.0f, max %.0f, n=%d); headless launch to started: "
        "median %.0f ms\n",
        median(shown), shown.front(), shown.back(), runs, median(started));
    std::printf("resident memory 3 s after launch: with the window %.1f MiB, headless %.1f MiB (+%.1f MiB)\n",
                median(windowRss) / 1024, median(headlessRss) / 1024,
                (median(windowRss) - median(headlessRss)) / 1024);
    return 0;
}
