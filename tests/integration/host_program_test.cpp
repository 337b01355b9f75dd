// Runs the real pelorn-host in a private HOME and drives it with the real pelornctl.
#include "integration/host_harness.hpp"
#include "support/http_stub.hpp"
#include "support/private_servers.hpp"

#include <atomic>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

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
    // Nothing was shared, so going offline records no stop of sharing.
    EXPECT_EQ(logs.out, "Went offline\nWent online\n");
    auto exported = ctl(home, {"logs", "--export"});
    EXPECT_NE(exported.out.find("  Went online\n"), std::string::npos) << exported.out;

    host.signal(SIGTERM); // quitting goes offline first
    EXPECT_EQ(host.waitForExit(), 0) << host.output();
    auto out = host.output();
    for (const char* line :
         {"⚠️ Firebase: GoogleService-Info.plist not found - remote features disabled. Add it to the "
          "pelorn "
          "(macOS) target to enable presence/signaling.\n",
          "✅ WebRTC Manager ready (Mac side)\n", "🎥 PELORN preferred codec: H264 (42c033)\n",
          "✅ Pelorn Mac daemon started (offline)\n", "⚠️ Go Online blocked - not signed in.\n",
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
    // A headless host has no window to bring forward, so a launcher would replace it.
    EXPECT_EQ(ctl(home, {"show"}).err, "pelornctl: this host runs without a window\n");
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
    // One version, the project's, in both programs.
    EXPECT_EQ(ctl(home, {"--version"}).out, "pelornctl " PELORN_VERSION "\n");
    EXPECT_EQ(runProcess({(binDir() / "pelorn-host").string(), "--version"}).out,
              "pelorn-host " PELORN_VERSION "\n");
}

// Every command of the usage has its entry in the manual page and in the shell's completion.
TEST(Pelornctl, TheManualPageAndCompletionNameEveryCommand) {
    auto help = ctl(Home{}, {"--help"}).out;
    std::filesystem::path data = std::filesystem::path(PELORN_TESTS_DIR).parent_path() / "data";
    auto manual = readWholeFile(data / "man/pelornctl.1");
    auto completion = readWholeFile(data / "pelornctl.bash-completion");
    ASSERT_TRUE(manual && completion);
    std::set<std::string> commands;
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() > 2 && line.starts_with("  ") && std::islower(static_cast<unsigned char>(line[2]))) {
            commands.insert(line.substr(2, line.find_first_of(" [", 2) - 2));
        }
    }
    EXPECT_GE(commands.size(), 20u) << help;
    // The manual's entries are its bold lines; a dash is written "\\-" there.
    std::string entries;
    std::istringstream manualLines(*manual);
    for (std::string line; std::getline(manualLines, line);) {
        if (line.starts_with(".B")) {
            entries += line + "\n";
        }
    }
    for (const auto& command : commands) {
        std::string pattern = std::regex_replace(command, std::regex("-"), "\\\\-");
        EXPECT_TRUE(std::regex_search(entries, std::regex("[ \"]" + pattern + "[ \"\n]")))
            << command << " has no entry in the manual page";
        EXPECT_TRUE(std::regex_search(*completion, std::regex("[ \"]" + command + "[ \n\"]")))
            << command << " is not completed";
    }
}

// On a desktop the host shows its window, loaded from its module beside the program; started again
// from the launcher it brings that window to the front instead of replacing the host; quitting
// still goes offline first.
TEST(HostProgram, OnADesktopTheWindowShowsAndQuittingGoesOfflineFirst) {
    PrivateXvfb xvfb;
    Home home;
    home.signIn("owner@example.com");
    HostProcess host{home, "windowed", false, true};
    waitUntilServing(home, host.pid());
    EXPECT_TRUE(host.waitForOutput("🪟 PELORN: window shown")) << host.output();
    auto windows = runProcess({"xwininfo", "-root", "-tree"});
    EXPECT_NE(windows.out.find("\"Pelorn\""), std::string::npos) << windows.out;
    EXPECT_TRUE(ctl(home, {"online"}).succeeded());

    ProcessOptions options;
    options.environment = home.env();
    options.timeout = 30s;
    auto again = runProcess({(binDir() / "pelorn-host").string()}, options);
    EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
    EXPECT_EQ(again.out, "pelorn-host: the running host's window was brought to the front\n");
    EXPECT_TRUE(host.waitForOutput("🪟 PELORN: window brought to the front")) << host.output();
    // Still the same host, still online: its clients were not dropped.
    EXPECT_EQ(statusJson(home)["online"], true);
    EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
    EXPECT_EQ(host.waitForExit(), 0);
    auto out = host.output();
    EXPECT_NE(out.find("🔴 Pelorn offline - connection killed"), std::string::npos) << out;
}

// The update check: off without a website; with one (a manifest served on loopback) checked at
// launch and again when the owner asks.
TEST(HostProgram, ChecksForUpdatesOnTheConfiguredWebsite) {
    {
        Home home;
        HostProcess host(home, "host");
        waitUntilServing(home, host.pid());
        auto off = ctl(home, {"update", "check"});
        EXPECT_EQ(off.exitCode, 1);
        EXPECT_EQ(off.err, "pelornctl: no website configured - update checks are off\n");
        EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
        EXPECT_EQ(host.waitForExit(), 0);
        EXPECT_NE(host.output().find("ℹ️ PELORN: no website configured - update checks are off\n"),
                  std::string::npos);
    }
    std::atomic<int> asked{0};
    HttpStub site([&](const HttpStub::Request& request) {
        ++asked;
        EXPECT_EQ(request.target, "/mac/latest.json");
        return HttpStub::Reply{200, R"({"version":"99.1","url":"https://example.org/pelorn-99.1.deb",)"
                                    R"("minimumVersion":"0.0.1"})"};
    });
    Home home;
    home.extraEnv.push_back("PELORN_WEBSITE_URL=" + site.url());
    HostProcess host(home, "host");
    waitUntilServing(home, host.pid());
    for (int i = 0; i < 1000 && asked < 1; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(asked, 1) << "no check at launch";
    auto checked = ctl(home, {"update", "check"});
    ASSERT_TRUE(checked.succeeded()) << checked.err;
    EXPECT_EQ(checked.out, "Pelorn 99.1 is available.\nA newer version is ready to "
                           "download.\nhttps://example.org/pelorn-99.1.deb\n");
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
    EXPECT_EQ(host.waitForExit(), 0);
}
