#include "activity/event_log.hpp"
#include "app/app_delegate.hpp"
#include "app/host_services.hpp"
#include "app/server_controller.hpp"
#include "core/host_identity.hpp"
#include "core/host_loop.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "net/io_thread.hpp"
#include "signaling/signaling_message.hpp"
#include "support/recording_services.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using pelorn::test::Journal;
using pelorn::test::RecordingServices;

namespace {

struct Fixture : ::testing::Test {
    Fixture() : recorder(journal), services(recorder.services()) {
        loop.setWallTime(std::chrono::system_clock::from_time_t(1740852245));
    }

    Journal journal;
    RecordingServices recorder;
    HostServices services;
    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
    Settings settings{std::nullopt};
    std::shared_ptr<EventLog> log = EventLog::create(loop, pool, std::nullopt);
    ServerController controller{loop, settings, *log, services};
    test::LogCapture lines;
};

} // namespace

namespace {

bool has(const Journal& j, const std::string& call) {
    return std::find(j.calls.begin(), j.calls.end(), call) != j.calls.end();
}

} // namespace

TEST_F(Fixture, GoingOnlineAdvertisesTheLowerCasedEmailAndHoldsThePower) {
    settings.set("userEmail", "Owner@Example.COM");
    controller.goOnline();
    EXPECT_TRUE(has(journal, "advertiser.start owner@example.com"));
    EXPECT_TRUE(has(journal, "power.begin"));
    EXPECT_TRUE(controller.isOnline().get());
    ASSERT_EQ(log->events().get().size(), 1u);
    EXPECT_EQ(log->events().get()[0].kind, LoggedEvent::Kind::MacOnline);
    EXPECT_EQ(lines.lines(),
              std::vector<std::string>{"🟢 Pelorn online - advertising as owner@example.com"});
}

TEST_F(Fixture, GoingOnlineWithoutAnEmailChangesNothingButTheError) {
    controller.goOnline();
    EXPECT_FALSE(controller.isOnline().get());
    EXPECT_EQ(controller.lastError().get(), "Sign in required to go online.");
    EXPECT_TRUE(journal.calls.empty());
    EXPECT_TRUE(log->events().get().empty());
    EXPECT_EQ(lines.lines(), std::vector<std::string>{"⚠️ Go Online blocked - not signed in."});
    settings.set("userEmail", "a@b.c");
    controller.toggleOnline(); // a later success clears the error
    EXPECT_TRUE(controller.isOnline().get());
    EXPECT_FALSE(controller.lastError().get());
}

TEST_F(Fixture, GoingOfflineTellsTheClientBeforeClosingAndStopsTheScreenAfterwards) {
    settings.set("userEmail", "a@b.c");
    controller.goOnline();
    journal.calls.clear();
    controller.toggleOnline();
    EXPECT_FALSE(controller.isOnline().get());
    auto told = std::find(journal.calls.begin(), journal.calls.end(), "lan.send {\"type\":\"host_offline\"}");
    auto closed = std::find(journal.calls.begin(), journal.calls.end(), "lan.disconnect");
    EXPECT_LT(told, closed);
    EXPECT_TRUE(has(journal, "power.end"));
    EXPECT_TRUE(has(journal, "closedLid.disengage"));
    auto stops = std::count(journal.calls.begin(), journal.calls.end(), "stop");
    loop.runPending();
    EXPECT_EQ(std::count(journal.calls.begin(), journal.calls.end(), "stop"), stops + 1); // the screen
    EXPECT_EQ(log->events().get()[0].kind, LoggedEvent::Kind::MacOffline);
    EXPECT_EQ(lines.lines().back(), "🔴 Pelorn offline - connection killed");
    loop.advance(std::chrono::seconds(2));
    controller.goOffline(); // offline again: every step runs again
    EXPECT_EQ(lines.count("🔴 Pelorn offline - connection killed"), 2);
    EXPECT_EQ(std::count(journal.calls.begin(), journal.calls.end(), "power.end"), 2);
}

TEST_F(Fixture, LaunchStartsOfflineAndTextFocusReachesBothChannels) {
    test::TempDir dir;
    IoThread io;
    HostIdentity identity(settings, dir / "machine-id");
    AppDelegate delegate(
        {loop, io.context(), settings, *log, controller, identity, services, dir / "control.sock"}, [] {});
    delegate.applicationDidFinishLaunching();
    EXPECT_TRUE(lines.contains("✅ Pelorn Mac daemon started (offline)"));
    EXPECT_FALSE(controller.isOnline().get());
    // The profile listener goes in before anything else starts.
    ASSERT_GE(journal.calls.size(), 2u);
    EXPECT_EQ(journal.calls[0], "profile.installAuthListener");
    EXPECT_EQ(journal.calls[1], "webrtc.setUp");
    ASSERT_TRUE(recorder.onFocus);
    journal.calls.clear();
    lines.clear();

    recorder.onFocus(true);
    recorder.onFocus(false);
    EXPECT_EQ(journal.calls, (std::vector<std::string>{
                                 "webrtc.send {\"type\":\"text_focus\"}",
                                 "lan.send {\"type\":\"text_focus\"}",
                                 "webrtc.send {\"type\":\"text_blur\"}",
                                 "lan.send {\"type\":\"text_blur\"}",
                             }));
    EXPECT_EQ(lines.lines(),
              (std::vector<std::string>{"⌨️ PELORN: remote keyboard up (text field focused)",
                                        "⌨️ PELORN: remote keyboard down"}));
    EXPECT_EQ(lines.systemFlags(), (std::vector<bool>{true, true}));
    journal.calls.clear();
    delegate.applicationWillTerminate();
    // The offline record is written before the process goes.
    auto offline = std::find(journal.calls.begin(), journal.calls.end(), "presence.publish false");
    ASSERT_NE(offline, journal.calls.end());
    EXPECT_NE(std::find(offline, journal.calls.end(), "presence.finishWrites"), journal.calls.end());
    EXPECT_EQ(journal.calls.back(), "stop"); // the deferred screen stop ran before termination ended
}
