// A real libwebrtc peer: headless Chromium as the companion client, against the host's manager on
// the real engine, everything on loopback in the test's own network namespace. The page reaches
// the host through a relay carrying signaling messages; on the data channels it runs the real
// master-password handshake with WebCrypto.
#include "core/atomic_file.hpp"
#include "core/process_runner.hpp"
#include "core/settings.hpp"
#include "signaling/connection_telemetry.hpp"
#include "signaling/lan_protocol.hpp"
#include "support/access_host.hpp"
#include "support/browser_relay.hpp"
#include "support/headless_chromium.hpp"
#include "support/webrtc_session.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

class BrowserClientTest : public ::testing::Test, public AccessHost {
protected:
    struct Targets : InputTarget, TerminalTarget {
        struct Peer : TerminalEndpoint {
            Peer(std::function<void(const SignalingMessage&)> r, TerminalOutputSender o)
                : reply(std::move(r)), output(std::move(o)) {}
            void handle(const SignalingMessage& m) override {
                if (m.type == "term_list") {
                    reply(SignalingMessage{.type = "term_sessions", .sdp = "[]"});
                    output(msg::terminalOutputMessage("hello from the host"));
                }
            }
            void stop() override {}
            void outputDrained() override {}
            std::function<void(const SignalingMessage&)> reply;
            TerminalOutputSender output;
        };
        void handleMouseEvent(const std::string&, double, double, const std::optional<std::string>&,
                              std::optional<double>) override {}
        void handleKeyEvent(const std::string&) override {}
        void pressCommandShortcut(const std::string&) override {}
        std::unique_ptr<TerminalEndpoint> createPeer(std::string label,
                                                     std::function<void(const SignalingMessage&)> reply,
                                                     TerminalOutputSender output) override {
            terminalFor = label;
            return std::make_unique<Peer>(std::move(reply), std::move(output));
        }
        std::string terminalFor;
    };

    static void SetUpTestSuite() {
        // Chromium gathers candidates only with a default route; here it leads nowhere but loopback.
        auto route = runProcess({"ip", "route", "replace", "default", "dev", "lo"});
        ASSERT_TRUE(route.succeeded()) << route.err;
    }

    WebRTCManager::Dependencies dependencies() {
        return {loop,
                engine,
                telemetry,
                *log,
                {},
                [this](WebRTCManager::FrameSink sink) { capture = std::move(sink); },
                [this] { capture = nullptr; },
                [this] { privacy = false; },
                [] {},
                [this](const SignalingMessage& m) { relay.send(m); },
                true,
                &services,
                &center,
                &targets,
                &targets,
                [this] { privacy = true; }};
    }

    void openBrowser() {
        browser = std::make_unique<HeadlessChromium>("http://127.0.0.1:" + std::to_string(relay.port()) +
                                                     "/?password=correct%20horse");
    }

    // One frame of the moving picture once the screen is on; an approval the page asked for is given.
    bool step() {
        if (capture) {
            capture(picture.next(), 0ns);
        }
        // The loop's timers (statistics, grace periods) run on real time here.
        auto now = std::chrono::steady_clock::now();
        loop.advance(std::chrono::duration_cast<std::chrono::milliseconds>(now - lastStep));
        lastStep = now;
        if (approvals.pending().get()) {
            approvals.resolve(true);
        }
        std::this_thread::sleep_for(15ms);
        return true;
    }
    // Pumps the loop, with frames going, until the page's report satisfies `done`.
    bool until(const std::function<bool(const nlohmann::json&)>& done,
               std::chrono::milliseconds limit = 30s) {
        return pumpUntil(
            loop,
            [&] {
                auto report = relay.report();
                return step() && report.is_object() && done(report);
            },
            limit);
    }
    static bool has(const nlohmann::json& list, const std::string& item) {
        return list.is_array() && std::find(list.begin(), list.end(), item) != list.end();
    }
    bool logged(const std::string& start) {
        auto all = lines.lines();
        return std::any_of(all.begin(), all.end(),
                           [&](const std::string& l) { return l.starts_with(start); });
    }
    std::string why() {
        return relay.report().dump() + "\n" + (browser ? browser->output().substr(0, 4000) : "");
    }

    LogCapture lines;
    Settings settings{std::nullopt};
    ConnectionTelemetry telemetry{settings};
    GstWebRTCEngine engine{loop};
    Targets targets;
    bool privacy = false;
    BrowserRelay relay{
        readWholeFile(std::string(PELORN_TESTS_DIR) + "/webrtc/browser_client.html").value_or(""),
        [this](const SignalingMessage& m) {
            // On the relay's thread: to the manager, as the LAN server would.
            loop.post([this, m] {
                if (m.type == "answer" && m.sdp) {
                    manager.applyAnswer(*m.sdp);
                } else if (m.type == "candidate" && m.sdp && m.sdpMLineIndex) {
                    manager.addRemoteCandidate(*m.sdp, m.sdpMid.value_or(""), *m.sdpMLineIndex);
                }
            });
        }};
    MovingPicture picture{640, 360};
    std::chrono::steady_clock::time_point lastStep = std::chrono::steady_clock::now();
    WebRTCManager::FrameSink capture;
    WebRTCManager manager{dependencies()};
    std::unique_ptr<HeadlessChromium> browser;
};

TEST_F(BrowserClientTest, ChromiumDecodesTheScreenAndDrivesTheHostOverBothChannels) {
    loop.runPending();
    manager.setUp();
    manager.startStream();
    manager.startScreen();
    openBrowser();
    ASSERT_TRUE(until([](const nlohmann::json& r) { return r.value("framesDecoded", 0) >= 30; })) << why();
    auto report = relay.report();
    EXPECT_EQ(report["width"], 640);
    EXPECT_EQ(report["height"], 360);
    EXPECT_GT(report.value("painted", 0), 0) << "frames reached the page's video element";

    // The handshake on "control", then a message on each channel and their answers.
    ASSERT_TRUE(until([](const nlohmann::json& r) { return has(r["terminal"], "terminal_output"); }))
        << why();
    report = relay.report();
    EXPECT_EQ(report["control"], nlohmann::json({"auth_challenge", "auth_result awaiting_approval",
                                                 "auth_result authorized", "term_sessions"}))
        << why();
    EXPECT_TRUE(manager.isRemoteAuthorized());
    EXPECT_TRUE(privacy);
    EXPECT_EQ(targets.terminalFor, "Chromium");
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
    openBrowser();
    ASSERT_TRUE(until([](const nlohmann::json& r) { return has(r["terminal"], "terminal_output"); }))
        << why();
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
