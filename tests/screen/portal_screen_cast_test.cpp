// The desktop portal without the owner's answer, against GNOME's own portal on a private headless
// mutter (the host's test holds the approvals and the remembered token). The screen cast's requests
// go the same way as the remote desktop's, so one question left open stands for both.
#include "input/desktop_input_sessions.hpp"
#include "portal/remote_desktop_portal.hpp"
#include "support/private_gnome.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

// Input asks once and drops what comes while the question is open; without an answer there is no
// session, the log says why, and the owner is not asked again at once.
TEST(RemoteDesktopPortal, NoAnswerIsNoInputAndNoSecondQuestionAtOnce) {
    PrivateGnome gnome;
    ASSERT_TRUE(gnome.up()) << gnome.log();
    LogCapture lines;
    RemoteDesktopPortal portal(gnome.busAddress());
    ASSERT_TRUE(portal.available());
    {
        PortalInputSession session(portal, 2s);
        EXPECT_FALSE(session.keysym(0x61, true));
        EXPECT_FALSE(session.motion(10, 10));
        HostLoop idle;
        EXPECT_TRUE(pumpUntil(
            idle,
            [&] {
                return lines.contains(
                    "⚠️ PELORN: no remote input on this desktop: the desktop portal did "
                    "not answer remote input");
            },
            20s));
        EXPECT_FALSE(session.keysym(0x61, true));
        EXPECT_FALSE(session.monitor());
    }
    EXPECT_EQ(lines.count("🖥️ PELORN: the desktop asks the owner at the screen to allow remote input"),
              1);
}

} // namespace
