// Internet sessions end to end: a companion of the same account writes a session request for this
// host at the Cloud Firestore emulator, the host answers with its offer there, candidates go both
// ways, the companion passes the master-password handshake on "control" and decodes the screen,
// and removing the request ends the session. The companion is webrtcbin in this process, or
// headless Chromium talking to the emulators' REST interfaces. Everything is on loopback in the
// test's own network namespace, with emulators of its own.
#include "support/internet_session.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

class InternetSessionTest : public ::testing::Test, public InternetSession {
protected:
    void SetUp() override {
        ASSERT_TRUE(routeToLoopback());
        auto problem = start();
        ASSERT_EQ(problem, "");
        loop.runPending();
    }
    // The host's side once the companion removed the request.
    void expectEndedBy(const std::string& id) {
        ASSERT_TRUE(endRequest(id));
        ASSERT_TRUE(pumpUntil(
            loop, [&] { return step() && !manager.hasSession(); }, 20s))
            << why();
        EXPECT_TRUE(lines.contains("🛑 Remote session " + id + " ended by iPad - stopping stream"));
        EXPECT_FALSE(remote->activeSessionId());
    }
};

TEST_F(InternetSessionTest, AWebrtcbinCompanionGetsTheScreenThroughTheCloud) {
    const std::string id = uniqueName("session-");
    ASSERT_TRUE(request(id));
    Companion companion(*this, id);
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return step() && companion.step() && companion.client.decodedFrames() >= 10; }, 60s))
        << "decoded " << companion.client.decodedFrames()
        << ", on control: " << ::testing::PrintToString(companion.results) << "\n"
        << ::testing::PrintToString(lines.lines());
    EXPECT_TRUE(lines.contains("🔗 Remote session " + id + " - starting WebRTC offer"));
    EXPECT_EQ(companion.results, (std::vector<std::string>{"auth_challenge", "auth_result awaiting_approval",
                                                           "auth_result authorized"}));
    EXPECT_TRUE(manager.isRemoteAuthorized());
    EXPECT_EQ(companion.client.width(), 640);
    EXPECT_EQ(companion.client.height(), 360);
    expectEndedBy(id);
}

TEST_F(InternetSessionTest, ChromiumAsTheCompanionGetsTheScreenThroughTheCloud) {
    const std::string id = uniqueName("session-");
    ASSERT_TRUE(openCloudBrowser(id)) << "chromium (Debian's package) did not start";
    ASSERT_TRUE(until([](const nlohmann::json& r) { return r.value("framesDecoded", 0) >= 30; }, 60s))
        << why();
    auto report = relay.report();
    EXPECT_EQ(report["cloud"], "ok") << why();
    EXPECT_EQ(report["width"], 640);
    auto control = report["control"];
    ASSERT_GE(control.size(), 3u) << why();
    EXPECT_EQ(control[0], "auth_challenge");
    EXPECT_EQ(control[2], "auth_result authorized");
    EXPECT_TRUE(lines.contains("🔗 Remote session " + id + " - starting WebRTC offer"));
    expectEndedBy(id);
}

} // namespace
