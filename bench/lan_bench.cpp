// LAN access against the real pelorn-host: handshake latency of a known device on loopback, and
// connect/replace cycles, with the host's open descriptors and resident memory before and after.
// Usage: lan_bench [CYCLES]   (run from the build folder's parent, or set PELORN_BIN_DIR)
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

using namespace pelorn;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string password = "correct horse";
fs::path binDir() {
    return std::getenv("PELORN_BIN_DIR") ? std::getenv("PELORN_BIN_DIR") : "build/bin";
}

struct Host {
    fs::path home;
    pid_t pid = -1;
    std::vector<std::string> env;

    Host() {
        char pattern[] = "/tmp/pelorn-bench.XXXXXX";
        home = ::mkdtemp(pattern);
        env = {"HOME=" + home.string(),
               "XDG_CONFIG_HOME=" + (home / "config").string(),
               "XDG_DATA_HOME=" + (home / "data").string(),
               "XDG_RUNTIME_DIR=" + (home / "run").string(),
               "PATH=/usr/bin:/bin",
               "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home / "no-bus").string(),
               "PELORN_SIGNALING_PORT=0",
               "PELORN_DNS_SD=off"};
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

std::unique_ptr<client::Session> connect(std::uint16_t port, client::Credentials& credentials) {
    auto opened = client::Connection::open("127.0.0.1", port);
    if (!std::holds_alternative<std::unique_ptr<client::Connection>>(opened)) {
        std::fprintf(stderr, "connect: %s\n", std::get<std::string>(opened).c_str());
        std::exit(1);
    }
    return std::make_unique<client::Session>(std::move(std::get<std::unique_ptr<client::Connection>>(opened)),
                                             credentials);
}

double authorizeMs(std::uint16_t port, client::Credentials& credentials,
                   std::unique_ptr<client::Session>& keep) {
    auto start = std::chrono::steady_clock::now();
    auto session = connect(port, credentials);
    auto result = session->authenticate(password, 1s);
    auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!result || result->state != AuthResult::State::Authorized) {
        std::fprintf(stderr, "not authorised\n");
        std::exit(1);
    }
    keep = std::move(session);
    return ms;
}

void report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
    std::printf("%-44s n=%zu  median %.3f ms  p99 %.3f ms  max %.3f ms\n", what, ms.size(), at(0.5), at(0.99),
                ms.back());
}

} // namespace

int main(int argc, char** argv) {
    int cycles = argc > 1 ? std::atoi(argv[1]) : 1000;
    Host host;
    for (int i = 0; i < 300 && !host.ctl({"status"}).succeeded(); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    if (!host.ctl({"password", "set"}, password + "\n").succeeded() || !host.ctl({"online"}).succeeded()) {
        std::fprintf(stderr, "the host did not go online\n");
        return 1;
    }
    auto port =
        nlohmann::json::parse(host.ctl({"--json", "status"}).out)["signalingPort"].get<std::uint16_t>();

    // Approve the device once; from then on it is known.
    client::Credentials device("BENCH-DEVICE", "Bench", "bench");
    std::unique_ptr<client::Session> held;
    auto first = std::async(std::launch::async, [&] {
        auto s = connect(port, device);
        auto r = s->authenticate(password);
        return r && r->state == AuthResult::State::Authorized;
    });
    while (first.wait_for(20ms) != std::future_status::ready) {
        host.ctl({"approve"});
    }
    if (!first.get()) {
        std::fprintf(stderr, "approval failed\n");
        return 1;
    }

    // Warm-up, then the baseline with no client connected.
    for (int i = 0; i < 20; ++i) {
        authorizeMs(port, device, held);
    }
    held.reset();
    std::this_thread::sleep_for(200ms);
    auto fdsBefore = host.openFds();
    auto rssBefore = host.rssKiB();

    std::vector<double> known;
    for (int i = 0; i < 200; ++i) {
        known.push_back(authorizeMs(port, device, held));
        held.reset(); // closed before the next one: a plain reconnect
    }
    report("known device: connect -> authorized", known);

    std::vector<double> replace;
    for (int i = 0; i < cycles; ++i) {
        std::unique_ptr<client::Session> next;
        replace.push_back(authorizeMs(port, device, next));
        held = std::move(next); // the host replaced the one held until now
    }
    held.reset();
    std::this_thread::sleep_for(500ms);
    auto fdsAfter = host.openFds();
    auto rssAfter = host.rssKiB();
    report("connect/replace cycle: connect -> authorized", replace);
    std::printf("host open descriptors: %zu before, %zu after\n", fdsBefore, fdsAfter);
    std::printf("host RSS: %ld KiB before, %ld KiB after\n", rssBefore, rssAfter);
    return 0;
}
