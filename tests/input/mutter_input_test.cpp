// Input on a GNOME Wayland session: the mouse and keyboard controllers over GNOME's remote-desktop
// session of a private headless mutter, checked by a GTK window on that session that says what
// reaches it.
#include "gnome/mutter_remote_desktop.hpp"
#include "input/desktop_input_sessions.hpp"
#include "input/keyboard_controller.hpp"
#include "input/mouse_controller.hpp"
#include "support/private_gnome.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;

namespace {

class MutterInputTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(gnome.up()) << gnome.log(); }
    void mouse(const std::string& action, double x, double y,
               std::optional<std::string> button = std::nullopt,
               std::optional<double> deltaY = std::nullopt) {
        mice.handleMouseEvent(action, x, y, button, deltaY);
    }

    PrivateGnome gnome;
    MutterRemoteDesktop desktop{gnome.busAddress()};
    MutterInputSession inputSession{desktop};
    RemoteDesktopInput input{inputSession};
    MouseController mice{input};
    KeyboardController keys{input};
};

TEST_F(MutterInputTest, PointerScrollKeysAndAnyTextReachAWaylandApplication) {
    // The window is up before the session starts: its first key is the session's first input,
    // which must not be lost while the seat's new keyboard is being bound.
    WaylandWindow window(gnome);
    ASSERT_TRUE(window.said("mapped")) << window.seen();
    // Asking whether input can be posted starts no session (nor the desktop's sharing indicator).
    ASSERT_TRUE(input.isTrusted());
    EXPECT_FALSE(desktop.running());
    keys.typeText("hi");
    EXPECT_TRUE(window.said("text hi")) << window.seen();
    EXPECT_TRUE(window.said("ready")) << window.seen();

    auto screen = input.mainScreen();
    ASSERT_TRUE(screen);
    EXPECT_EQ(screen->width, 1280);
    EXPECT_EQ(screen->height, 720);
    // Fractions of the monitor; where the pointer is shows in where its buttons press.
    mouse("move", 0.4, 0.6);
    mouse("click", 0.4, 0.6);
    EXPECT_TRUE(window.said("press 1 512 432")) << window.seen();
    mouse("click", 0.25, 0.75, "right");
    EXPECT_TRUE(window.said("press 3 320 540")) << window.seen();
    EXPECT_TRUE(window.said("release 3")) << window.seen();
    // Pixels, not wheel steps: 25 pixels up is less than a notch and still scrolls.
    mouse("scroll", 0.5, 0.5, std::nullopt, 25);
    EXPECT_TRUE(window.said("scroll -2.5")) << window.seen();

    keys.handleKeyEvent("Return");
    EXPECT_TRUE(window.said("key Return")) << window.seen();
    // The owner copies the text: the application holds the clipboard.
    keys.pressCommandShortcut("a");
    EXPECT_TRUE(window.said("key a ctrl")) << window.seen();
    keys.pressCommandShortcut("c");
    EXPECT_TRUE(window.said("key c ctrl")) << window.seen();
    keys.handleKeyEvent("ArrowRight");

    // Characters the layout has no key for are pasted, and the owner's clipboard comes back once
    // typing pauses: a paste afterwards gives the copied text.
    keys.typeText("é€😀中");
    EXPECT_TRUE(window.said("text hié€😀中")) << window.seen();
    input.restoreKeymap();
    keys.pressCommandShortcut("v");
    EXPECT_TRUE(window.said("text hié€😀中hi")) << window.seen();
}

// The session belongs to the host's own connection to the bus: another program on the same bus
// cannot post input into it.
TEST_F(MutterInputTest, AnotherConnectionCannotDriveTheSession) {
    WaylandWindow window(gnome);
    ASSERT_TRUE(window.said("mapped")) << window.seen();
    keys.typeText("k");
    EXPECT_TRUE(window.said("text k")) << window.seen();
    ProcessOptions options;
    options.environment = gnome.env();
    auto tree = runProcess({"busctl", "--user", "tree", "--list", "org.gnome.Mutter.RemoteDesktop"}, options);
    auto at = tree.out.find("/org/gnome/Mutter/RemoteDesktop/Session/");
    ASSERT_NE(at, std::string::npos) << tree.out << tree.err;
    auto session = tree.out.substr(at, tree.out.find('\n', at) - at);
    auto stranger = runProcess(
        {"gdbus", "call", "--session", "--dest", "org.gnome.Mutter.RemoteDesktop", "--object-path", session,
         "--method", "org.gnome.Mutter.RemoteDesktop.Session.NotifyKeyboardKeysym", "0x71", "true"},
        options);
    EXPECT_NE(stranger.exitCode, 0);
    EXPECT_NE(stranger.err.find("AccessDenied"), std::string::npos) << stranger.err;
    keys.typeText("j");
    EXPECT_TRUE(window.said("text kj")) << window.seen();
    EXPECT_EQ(window.seen().find("key q"), std::string::npos) << window.seen();
}

} // namespace
