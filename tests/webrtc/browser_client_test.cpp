// A real libwebrtc peer: headless Chromium as the companion client, against the host's manager on
// the real engine, everything on loopback in the test's own network namespace. The page reaches
// the host through a relay carrying signaling messages; on the data channels it runs the real
// master-password handshake with WebCrypto.
#include "support/browser_session.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

class BrowserClientTest : public ::testing::Test, public BrowserSession {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(routeToLoopback()); }
};

TEST_F(BrowserClientTest, ChromiumDecodesTheScreenAndDrivesTheHostOverBothChannels) {
    ASSERT_EQ(tmux.tmux.run({"new-session", "-d", "-s", "work"}).index(), 0u);
    loop.runPending();
    manager.setUp();
    manager.startStream();
    manager.startScreen();
    ASSERT_TRUE(openBrowser(true)) << "chromium (Debian's package) did not start";
    ASSERT_TRUE(until([](const nlohmann::json& r) { return r.value("framesDecoded", 0) >= 30; })) << why();
    auto report = relay.report();
    EXPECT_EQ(report["width"], 640);
    EXPECT_EQ(report["height"], 360);
    EXPECT_GT(report.value("painted", 0), 0) << "frames reached the page's video element";

    // The handshake on "control", then the terminal: a command typed on one channel, its output
    // read on the other; the pointer; the screen off and on again.
    ASSERT_TRUE(until([](const nlohmann::json& r) {
        return r.value("text", "").find("pelorn-42") != std::string::npos;
    })) << why();
    report = relay.report();
    auto control = report["control"];
    ASSERT_GE(control.size(), 3u) << why();
    EXPECT_EQ(control[0], "auth_challenge");
    EXPECT_EQ(control[1], "auth_result awaiting_approval");
    EXPECT_EQ(control[2], "auth_result authorized");
    EXPECT_TRUE(has(control, "term_sessions")) << "asked for on the terminal channel";
    EXPECT_TRUE(has(control, "term_attached"));
    EXPECT_TRUE(has(report["terminal"], "terminal_output")) << why();
    EXPECT_TRUE(manager.isRemoteAuthorized());
    EXPECT_EQ(privacy, (std::vector<std::string>{"on", "off"})) << "on, then off as the screen stopped";
    EXPECT_EQ(input.events, std::vector<std::string>{"mouse move"});
    EXPECT_TRUE(lines.contains("⏸ PELORN REMOTE: video capture stopped (iPad left Screen Sharing)"))
        << why();
    auto decoded = report.value("framesDecoded", 0);
    ASSERT_TRUE(until([&](const nlohmann::json& r) { return r.value("framesDecoded", 0) > decoded + 10; }))
        << "the screen is back on: " << why();

    ASSERT_TRUE(pumpUntil(
        loop, [&] { return step() && manager.activePath().has_value(); }, 10s));
    EXPECT_EQ(manager.activePath(), "direct");
    // Chromium's checks reach the host before its candidates do: peer-reflexive at the far end.
    EXPECT_TRUE(logged("🛰️ PELORN ACTIVE PATH: DIRECT (host/")) << why();
    manager.stopStream();
}

// webrtcbin does not notice a client that stopped: the host sees its receiver reports stop while
// video goes out, restarts ICE, and the client, back, answers the restart and decodes again.
TEST_F(BrowserClientTest, AFrozenBrowserIsNoticedAndRecoversThroughAnIceRestart) {
    loop.runPending();
    manager.startStream();
    manager.startScreen();
    ASSERT_TRUE(openBrowser()) << "chromium (Debian's package) did not start";
    ASSERT_TRUE(until([](const nlohmann::json& r) { return has(r["control"], "term_sessions"); })) << why();
    // Reports have come back before the freeze.
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return step() && logged("📊 Mac OUT video: "); }, 10s));

    browser->freeze();
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return step() && lines.contains("📤 ICE restart offer sent (attempt 1)"); }, 20s))
        << why();
    EXPECT_TRUE(lines.contains(
        "⚠️ No receiver reports from the client for 6 s while video went out - restarting ICE"));
    EXPECT_EQ(manager.iceRestartAttempts(), 1);
    auto decoded = relay.report().value("framesDecoded", 0);

    browser->thaw();
    ASSERT_TRUE(until([&](const nlohmann::json& r) { return r.value("framesDecoded", 0) >= decoded + 30; }))
        << why();
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return step() && manager.iceRestartAttempts() == 0; }, 10s))
        << "connected again resets the count";
    EXPECT_EQ(lines.count("✅ Remote answer applied"), 2) << "the restart's answer";
    EXPECT_EQ(relay.report()["states"].back(), "connected") << why();
    manager.stopStream();
}

} // namespace
