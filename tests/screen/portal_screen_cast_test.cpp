// The desktop portal's screen cast, as the host takes it on Wayland desktops other than GNOME's:
// tested against GNOME's own portal on a private headless mutter, whose dialog the test's "owner
// at the screen" answers through a remote-desktop session of its own.
#include "gnome/mutter_remote_desktop.hpp"
#include "portal/screen_cast_portal.hpp"
#include "screen/pipewire_screen_source.hpp"
#include "support/private_gnome.hpp"

#include <future>
#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

TEST(ScreenCastPortal, TheOwnerApprovesOnceAndTheTokenStartsTheNextCastWithoutAsking) {
    PrivateGnome gnome;
    ASSERT_TRUE(gnome.up()) << gnome.log();
    ScreenCastPortal portal(gnome.busAddress());
    MutterRemoteDesktop owner(gnome.busAddress());

    auto first = std::async(std::launch::async, [&] { return portal.start("", 60s); });
    // The dialog takes a moment to come up; the owner clicks until it has been answered.
    for (int i = 0; i < 40 && first.wait_for(1s) != std::future_status::ready; ++i) {
        shareInPortalDialog(owner);
    }
    auto cast = first.get();
    ASSERT_TRUE(std::holds_alternative<ScreenCastPortal::Cast>(cast)) << std::get<std::string>(cast);
    auto granted = std::get<ScreenCastPortal::Cast>(cast);
    EXPECT_FALSE(granted.restoreToken.empty());
    ::close(granted.fd);
    portal.stop();

    // The token: no dialog, the cast starts at once and its frames arrive.
    auto token = granted.restoreToken;
    PipeWireScreenSource source({[&]() -> std::variant<PipeWireStream, std::string> {
                                     auto again = portal.start(token, 5s);
                                     if (auto* why = std::get_if<std::string>(&again)) {
                                         return *why;
                                     }
                                     auto& c = std::get<ScreenCastPortal::Cast>(again);
                                     token = c.restoreToken;
                                     return PipeWireStream{c.node, c.fd};
                                 },
                                 {},
                                 [&] { portal.stop(); }});
    auto opened = source.open();
    ASSERT_TRUE(std::holds_alternative<DisplayGeometry>(opened)) << std::get<CaptureFailure>(opened).error;
    EXPECT_EQ(std::get<DisplayGeometry>(opened).width, 1280);
    EXPECT_EQ(std::get<DisplayGeometry>(opened).height, 720);
    EXPECT_FALSE(token.empty());
}

// Without the owner's answer the cast does not start, and says why.
TEST(ScreenCastPortal, NoAnswerIsNoCast) {
    PrivateGnome gnome;
    ASSERT_TRUE(gnome.up()) << gnome.log();
    ScreenCastPortal portal(gnome.busAddress());
    auto cast = portal.start("", 3s);
    ASSERT_TRUE(std::holds_alternative<std::string>(cast));
    EXPECT_EQ(std::get<std::string>(cast), "the desktop portal did not answer to share the screen");
}

} // namespace
