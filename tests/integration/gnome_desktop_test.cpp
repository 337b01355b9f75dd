// The real host in a GNOME Wayland session (a private headless mutter): it finds the session, and
// an authorised LAN client drives a GTK window on it and receives the monitor.
#include "gnome/mutter_remote_desktop.hpp"
#include "integration/online_host.hpp"
#include "screen/screen_support.hpp"
#include "signaling/signaling_message.hpp"
#include "support/private_gnome.hpp"

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

TEST(GnomeDesktop, TheClientDrivesAndWatchesTheMonitorThroughGnomesRemoteDesktop) {
    PrivateGnome gnome("1024x768");
    ASSERT_TRUE(gnome.up()) << gnome.log();
    WaylandWindow window(gnome);
    ASSERT_TRUE(window.said("mapped")) << window.seen();
    OnlineHost h(gnome.busAddress(), gnome.sessionEnv());
    auto status = statusJson(h.home);
    EXPECT_EQ(status["desktop"].get<std::string>().rfind("GNOME on Wayland", 0), 0u) << status.dump();
    EXPECT_EQ(status["privacyScreen"].get<std::string>().rfind("unavailable: ", 0), 0u) << status.dump();
    auto credentials = h.device("ipad.json");
    ASSERT_TRUE(credentials);
    auto session = h.authorised(*credentials);
    ASSERT_TRUE(session);

    session->connection().send(SignalingMessage{.type = "key_event", .key = "né😀中"});
    EXPECT_TRUE(window.said("text né😀中")) << window.seen();
    session->connection().send(
        SignalingMessage{.type = "mouse_event", .x = 0.5, .y = 0.25, .button = "right", .action = "click"});
    EXPECT_TRUE(window.said("press 3 512 192")) << window.seen();

    auto reader = startScreen(*session);
    ASSERT_TRUE(reader);
    // Sharing the screen watches the focus through AT-SPI, which sees into Wayland applications:
    // the window's text field has it.
    EXPECT_TRUE(h.logged("⌨️ PELORN: remote keyboard up (text field focused)")) << h.host.output();
    // Typing draws, and each drawing is a frame.
    for (int i = 0; i < 300 && !reader->waitFor([](auto& m) { return countOf(m, 1) >= 5; }, 50ms); ++i) {
        session->connection().send(
            SignalingMessage{.type = "key_event", .key = std::string(1, 'a' + i % 26)});
    }
    ASSERT_GE(countOf(reader->messages(), 1), 5) << h.host.output();
    auto messages = reader->messages();
    expectWellFormed(messages);
    TempDir dir;
    auto probe = ffprobe(client::MediaReader::annexB(messages), dir / "gnome.hevc");
    EXPECT_EQ(probe.errors, "");
    EXPECT_EQ(probe.stream["width"], "1024");
    EXPECT_EQ(probe.stream["height"], "768");

    // No blackout here: the displays stay lit, and the host says why, once.
    session->connection().send(SignalingMessage{.type = "privacy_on"});
    EXPECT_TRUE(h.logged("⚠️ PELORN PRIVACY: no blackout on this desktop ("));
    EXPECT_EQ(h.host.output().find("screen blackout ON"), std::string::npos);
}

} // namespace

namespace {

// Starts the screen and reads it until a frame came; `whileWaiting` runs between reads.
bool frameArrives(client::Session& session, const std::function<void()>& whileWaiting) {
    auto reader = startScreen(session);
    for (int i = 0; reader && i < 30; ++i) {
        if (reader->waitFor([](auto& m) { return countOf(m, 1) >= 1; }, 1s)) {
            return true;
        }
        whileWaiting();
    }
    return false;
}

} // namespace

// Another Wayland desktop (here GNOME's session calling itself KDE): the screen comes through the
// desktop portal, which asks the owner at the screen once and remembers it; input comes through
// the portal's remote desktop, which asks again for each session, and what the client sends before
// the answer is dropped.
TEST(OtherWaylandDesktop, TheScreenAndInputComeThroughThePortalsAskingTheOwner) {
    PrivateGnome gnome;
    ASSERT_TRUE(gnome.up()) << gnome.log();
    WaylandWindow window(gnome);
    ASSERT_TRUE(window.said("mapped")) << window.seen();
    auto env = gnome.sessionEnv();
    std::replace(env.begin(), env.end(), std::string("XDG_CURRENT_DESKTOP=GNOME"),
                 std::string("XDG_CURRENT_DESKTOP=KDE"));
    OnlineHost h(gnome.busAddress(), env);
    EXPECT_EQ(statusJson(h.home)["desktop"].get<std::string>().rfind(
                  "Wayland (KDE) - the screen through the desktop portal", 0),
              0u);
    auto credentials = h.device("ipad.json");
    ASSERT_TRUE(credentials);
    auto session = h.authorised(*credentials);
    ASSERT_TRUE(session);

    MutterRemoteDesktop owner(gnome.busAddress());
    EXPECT_TRUE(frameArrives(*session, [&] { shareInPortalDialog(owner); })) << h.host.output();
    EXPECT_TRUE(h.logged("🖥️ PELORN: the desktop asks the owner at the screen to share it"));
    session->connection().send(SignalingMessage{.type = "screen_stop"});
    EXPECT_TRUE(h.logged("⏹ Capture stopped"));

    // Again, and nobody at the screen: the remembered approval is enough.
    EXPECT_TRUE(frameArrives(*session, [] {})) << h.host.output();

    session->connection().send(SignalingMessage{.type = "key_event", .key = "q"});
    ASSERT_TRUE(h.logged("🖥️ PELORN: the desktop asks the owner at the screen to allow remote input"))
        << h.host.output();
    allowInPortalDialog(owner);
    ASSERT_TRUE(h.logged("🖥️ PELORN: remote input allowed by the owner at the screen"))
        << h.host.output();
    session->connection().send(SignalingMessage{.type = "key_event", .key = "ab"});
    EXPECT_TRUE(window.said("text ab")) << window.seen();
    session->connection().send(
        SignalingMessage{.type = "mouse_event", .x = 0.5, .y = 0.25, .button = "right", .action = "click"});
    EXPECT_TRUE(window.said("press 3 640 180")) << window.seen();
}
