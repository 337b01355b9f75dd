// The screen of a GNOME Wayland session through GNOME's screen cast, read from PipeWire: a private
// headless mutter with a GTK window on it.
#include "gnome/mutter_remote_desktop.hpp"
#include "input/desktop_input_sessions.hpp"
#include "input/keyboard_controller.hpp"
#include "screen/pipewire_screen_source.hpp"
#include "support/private_gnome.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

class MutterScreenTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(gnome.up()) << gnome.log(); }

    // Polls until the source says whether the screen changed within `limit`.
    static bool changesWithin(ScreenSource& source, std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            auto changed = source.poll();
            if (std::holds_alternative<std::string>(changed)) {
                ADD_FAILURE() << std::get<std::string>(changed);
                return false;
            }
            if (std::get<bool>(changed)) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    static std::uint32_t pixel(const VideoFrame& frame, int x, int y) {
        const auto* p = frame.row(y) + x * 4;
        return p[2] << 16 | p[1] << 8 | p[0];
    }

    PrivateGnome gnome;
    MutterRemoteDesktop desktop{gnome.busAddress()};
};

// Frames arrive when something is drawn and not otherwise, at the monitor's size or scaled.
TEST_F(MutterScreenTest, AStillScreenSendsNothingAndADrawingIsSeen) {
    MutterScreenSource source(desktop);
    auto opened = source.open();
    ASSERT_TRUE(std::holds_alternative<DisplayGeometry>(opened)) << std::get<CaptureFailure>(opened).error;
    EXPECT_EQ(std::get<DisplayGeometry>(opened).width, 1280);
    EXPECT_EQ(std::get<DisplayGeometry>(opened).height, 720);
    ASSERT_TRUE(changesWithin(source, 1s));
    VideoFrame empty;
    empty.resize(1280, 720);
    source.render(empty);
    EXPECT_FALSE(changesWithin(source, 1500ms));

    WaylandWindow window(gnome);
    ASSERT_TRUE(window.said("mapped")) << window.seen();
    ASSERT_TRUE(changesWithin(source, 10s));
    // The window covers the monitor: its light background replaces the compositor's own.
    std::this_thread::sleep_for(500ms);
    changesWithin(source, 200ms);
    VideoFrame full;
    full.resize(1280, 720);
    source.render(full);
    EXPECT_NE(pixel(full, 640, 600), pixel(empty, 640, 600));
    VideoFrame scaled;
    scaled.resize(640, 360);
    source.render(scaled);
    EXPECT_EQ(pixel(scaled, 320, 300), pixel(full, 640, 600));

    // Typing into the window draws, and that is a change.
    EXPECT_FALSE(changesWithin(source, 1500ms));
    MutterInputSession session(desktop);
    RemoteDesktopInput input(session);
    KeyboardController(input).typeText("draw");
    EXPECT_TRUE(window.said("text draw")) << window.seen();
    EXPECT_TRUE(changesWithin(source, 2s));
}

// The session lives as long as somebody watches: the desktop's sharing indicator goes out with it.
TEST_F(MutterScreenTest, TheSessionEndsWithTheStream) {
    {
        MutterScreenSource source(desktop);
        ASSERT_TRUE(std::holds_alternative<DisplayGeometry>(source.open()));
        EXPECT_TRUE(desktop.running());
    }
    EXPECT_FALSE(desktop.running());
    EXPECT_TRUE(desktop.available());
}

// A compositor that goes away under a running stream ends it with a reason, not a hang.
TEST_F(MutterScreenTest, TheCompositorGoingAwayStopsTheStream) {
    MutterScreenSource source(desktop);
    ASSERT_TRUE(std::holds_alternative<DisplayGeometry>(source.open()));
    gnome.killCompositor();
    auto deadline = std::chrono::steady_clock::now() + 10s;
    std::variant<bool, std::string> polled = false;
    while (std::chrono::steady_clock::now() < deadline && std::holds_alternative<bool>(polled)) {
        polled = source.poll();
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(std::holds_alternative<std::string>(polled));
    // A new stream finds no compositor and says so.
    MutterScreenSource again(desktop);
    auto reopened = again.open();
    ASSERT_TRUE(std::holds_alternative<CaptureFailure>(reopened));
    EXPECT_NE(std::get<CaptureFailure>(reopened).error.find("GNOME's remote desktop refused"),
              std::string::npos)
        << std::get<CaptureFailure>(reopened).error;
}

} // namespace
