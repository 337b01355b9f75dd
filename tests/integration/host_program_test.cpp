// Runs the real pelorn-host in a private HOME and drives it with the real pelornctl.
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

extern char** environ;

using namespace pelorn;
using namespace std::chrono_literals;

namespace {

std::filesystem::path binDir() {
    const char* dir = std::getenv("PELORN_BIN_DIR");
    return dir ? dir : "build/bin";
}

// A private HOME, config, data and runtime folder for one test.
struct Home {
    test::TempDir dir;
    std::vector<std::string> env() const {
        std::vector<std::string> out = {"HOME=" + dir.path().string(),
                                        "XDG_CONFIG_HOME=" + (dir / "config").string(),
                                        "XDG_DATA_HOME=" + (dir / "data").string(),
                                        "XDG_RUNTIME_DIR=" + (dir / "run").string(),
                                        "PATH=/usr/bin:/bin",
                                        "TZ=UTC"};
        // Keeps the secret store choice away from the desktop's keyring.
        out.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (dir / "no-bus").string());
        return out;
    }
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
    HostProcess(const Home& home, std::string name) : mOut(home.dir / (name + ".out")) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, mOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::string program = (binDir() / "pelorn-host").string();
        std::vector<std::string> env = home.env();
        std::vector<char*> envp, argv{program.data(), const_cast<char*>("--headless"), nullptr};
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&mPid, program.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~HostProcess() {
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
    pid_t pid() const { return mPid; }

private:
    std::filesystem::path mOut;
    pid_t mPid = -1;
    bool mExited = false;
};

ProcessResult ctl(const Home& home, std::vector<std::string> args) {
    args.insert(args.begin(), (binDir() / "pelornctl").string());
    ProcessOptions options;
    options.environment = home.env();
    options.timeout = 30s;
    return runProcess(args, options);
}

// The host is ready once its control socket answers; a fixed pause would be slower and flakier.
void waitUntilServing(const Home& home, pid_t pid, std::chrono::milliseconds limit = 15s) {
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

nlohmann::json statusJson(const Home& home) {
    auto r = ctl(home, {"status", "--json"});
    EXPECT_TRUE(r.succeeded()) << r.err;
    return nlohmann::json::parse(r.out);
}

} // namespace

TEST(HostProgram, GoesOnlineAndOfflineFromPelornctlAndRecordsIt) {
    Home home;
    HostProcess host(home, "host");
    waitUntilServing(home, host.pid());

    auto status = statusJson(home);
    EXPECT_EQ(status["online"], false);
    EXPECT_TRUE(status["lastError"].is_null());
    EXPECT_EQ(status["deviceId"].get<std::string>().size(), 36u);
    EXPECT_FALSE(status["computerName"].get<std::string>().empty());

    auto refused = ctl(home, {"online"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "pelornctl: Sign in required to go online.\n");
    EXPECT_EQ(statusJson(home)["lastError"], "Sign in required to go online.");

    home.signIn("Owner@Example.COM");
    EXPECT_TRUE(ctl(home, {"online"}).succeeded());
    EXPECT_EQ(statusJson(home)["online"], true);
    EXPECT_TRUE(statusJson(home)["lastError"].is_null());
    EXPECT_TRUE(ctl(home, {"offline"}).succeeded());
    EXPECT_EQ(statusJson(home)["online"], false);

    auto logs = ctl(home, {"logs"});
    EXPECT_EQ(logs.out, "Went offline\nWent online\n");
    auto exported = ctl(home, {"logs", "--export"});
    EXPECT_NE(exported.out.find("  Went online\n"), std::string::npos) << exported.out;

    EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
    EXPECT_EQ(host.waitForExit(), 0);
    auto out = host.output();
    for (const char* line :
         {"✅ Pelorn Mac daemon started (offline)\n", "⚠️ Go Online blocked - not signed in.\n",
          "🟢 Pelorn online - advertising as owner@example.com\n",
          "🔴 Pelorn offline - connection killed\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << " missing from:\n" << out;
    }
    auto activity = nlohmann::json::parse(*readWholeFile(home.activity()));
    ASSERT_GE(activity.size(), 2u);
    EXPECT_EQ(activity.back()["kind"], "macOnline");
    EXPECT_EQ(activity[activity.size() - 2]["kind"], "macOffline");
    EXPECT_FALSE(std::filesystem::exists(home.dir / "run/pelorn/control.sock"));
}

TEST(HostProgram, ActivityLogAndDeviceIdSurviveARestart) {
    Home home;
    home.signIn("a@b.c");
    std::string deviceId;
    {
        HostProcess host(home, "first");
        waitUntilServing(home, host.pid());
        deviceId = statusJson(home)["deviceId"];
        ctl(home, {"online"});
        host.signal(SIGTERM); // quitting goes offline first
        EXPECT_EQ(host.waitForExit(), 0);
        EXPECT_NE(host.output().find("🔴 Pelorn offline - connection killed"), std::string::npos);
    }
    HostProcess host(home, "second");
    waitUntilServing(home, host.pid());
    EXPECT_EQ(statusJson(home)["deviceId"], deviceId);
    EXPECT_EQ(statusJson(home)["online"], false); // a new host always starts offline
    EXPECT_EQ(ctl(home, {"logs"}).out, "Went offline\nWent online\n");
    host.signal(SIGINT);
    EXPECT_EQ(host.waitForExit(), 0);
}

TEST(HostProgram, ASecondHostReplacesTheFirstAndStartsOffline) {
    Home home;
    home.signIn("a@b.c");
    HostProcess first(home, "first");
    waitUntilServing(home, first.pid());
    ctl(home, {"online"});
    HostProcess second(home, "second");
    EXPECT_EQ(first.waitForExit(), 0);
    EXPECT_NE(first.output().find("🔴 Pelorn offline - connection killed"), std::string::npos);
    waitUntilServing(home, second.pid());
    EXPECT_EQ(statusJson(home)["online"], false);
    EXPECT_NE(second.output().find("✅ Pelorn Mac daemon started (offline)"), std::string::npos);
    EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
    EXPECT_EQ(second.waitForExit(), 0);
}

TEST(Pelornctl, ReportsAHostThatIsNotRunning) {
    Home home;
    auto r = ctl(home, {"status"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err.rfind("pelornctl: the host is not running", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_EQ(ctl(home, {}).exitCode, 64);
}
