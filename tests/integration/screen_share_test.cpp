// Screen sharing through the real host: "screen_start" over the LAN connection, the announced
// media port, HEVC frames a decoder accepts; the privacy screen, and the displays put back when
// the host crashes with it on.
#include "integration/online_host.hpp"
#include "screen/screen_support.hpp"
#include "signaling/signaling_message.hpp"

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

unsigned short firstGreenStep() {
    Display* d = XOpenDisplay(nullptr);
    unsigned short value = 0;
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    if (res && res->ncrtc > 0) {
        if (XRRCrtcGamma* g = XRRGetCrtcGamma(d, res->crtcs[0])) {
            value = g->green[g->size - 1];
            XRRFreeGamma(g);
        }
    }
    if (res) {
        XRRFreeScreenResources(res);
    }
    XCloseDisplay(d);
    return value;
}

bool waitForGreen(bool lit) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((firstGreenStep() != 0) != lit) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

TEST(ScreenShare, TheClientReceivesTheScreenAndACrashNeverLeavesTheDisplaysBlack) {
    PrivateXvfb xvfb("1024x768x24");
    setLinearGamma();
    OnlineHost h;
    auto credentials = h.device("ipad.json");
    ASSERT_TRUE(credentials);
    auto session = h.authorised(*credentials);
    ASSERT_TRUE(session);

    auto reader = startScreen(*session);
    ASSERT_TRUE(reader);
    // Drawing goes on until five frames came; how many it takes depends on the machine's load.
    for (int i = 0; i < 600 && !reader->waitFor([](auto& m) { return countOf(m, 1) >= 5; }, 30ms); ++i) {
        fillOnRoot(0x203040 * (i % 7 + 1), 50 * (i % 10), 40 * (i % 10), 200, 150);
    }
    ASSERT_GE(countOf(reader->messages(), 1), 5);
    auto messages = reader->messages();
    expectWellFormed(messages);
    TempDir dir;
    auto probe = ffprobe(client::MediaReader::annexB(messages), dir / "lan.hevc");
    EXPECT_EQ(probe.errors, "");
    EXPECT_EQ(probe.stream["width"], "1024");
    EXPECT_TRUE(h.logged("📺 PELORN MEDIA: client connected"));

    // The client leaves: its media connection goes with it. Back, it is known by its token.
    session.reset();
    EXPECT_TRUE(h.logged("🔒 PELORN MEDIA: closed ::ffff:127.0.0.1 - no longer the authenticated peer"));
    session = h.connect(*credentials);
    ASSERT_TRUE(session);
    auto back = session->authenticate(password);
    ASSERT_TRUE(back && back->state == AuthResult::State::Authorized);

    session->connection().send(SignalingMessage{.type = "privacy_on"});
    ASSERT_TRUE(waitForGreen(false));
    EXPECT_TRUE(h.logged("🛡️ PELORN PRIVACY: screen blackout ON (all displays)"));
    h.host.signal(SIGSEGV);
    EXPECT_EQ(h.host.waitForExit(), 128 + SIGSEGV);
    EXPECT_TRUE(waitForGreen(true));
}

} // namespace
