// The mouse and keyboard controllers on a real X server, checked by an X client of the test's
// own that records what an application would receive.
#include "input/keyboard_controller.hpp"
#include "input/mouse_controller.hpp"
#include "input/x11_input.hpp"
#include "support/test_support.hpp"
#include "support/x_session.hpp"

#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>

using namespace pelorn;
using namespace pelorn::test;
using ::testing::ElementsAre;

namespace {

class X11InputTest : public ::testing::Test {
protected:
    ScreenPoint pointer() {
        auto at = input.cursorLocation();
        EXPECT_TRUE(at);
        return at.value_or(ScreenPoint{-1, -1});
    }
    void mouse(const std::string& action, double x = 0.5, double y = 0.5,
               std::optional<std::string> button = std::nullopt,
               std::optional<double> deltaY = std::nullopt) {
        mice.handleMouseEvent(action, x, y, button, deltaY);
    }
    std::vector<SeenEvent> settled() {
        return recorder.settled([&] { mouse("click", 0, 0, "right"); });
    }
    std::vector<SeenEvent> buttons() {
        auto seen = settled();
        std::erase_if(
            seen, [](auto& e) { return e.kind != SeenEvent::ButtonDown && e.kind != SeenEvent::ButtonUp; });
        return seen;
    }

    PrivateXvfb xvfb;
    XEventRecorder recorder;
    HostLoop loop{HostLoop::TimeMode::Manual};
    X11Input input{loop};
    MouseController mice{input};
    KeyboardController keys{input};
    LogCapture log;
};

TEST_F(X11InputTest, PointerActionsLandWhereTheScreenFractionsSay) {
    ASSERT_TRUE(input.isTrusted());
    auto screen = input.mainScreen();
    ASSERT_TRUE(screen);
    EXPECT_EQ(screen->width, 1280);
    EXPECT_EQ(screen->height, 800);

    mouse("move"); // a message with nothing but its type: the middle of the screen
    EXPECT_EQ(pointer(), (ScreenPoint{640, 400}));
    mouse("move", 0.25, 0.75);
    EXPECT_EQ(pointer(), (ScreenPoint{320, 600}));
    // One point past the last pixel; X keeps the pointer on the screen.
    EXPECT_EQ(mice.screenPoint(1, 1), (ScreenPoint{1280, 800}));
    mouse("move", 1, 1);
    EXPECT_EQ(pointer(), (ScreenPoint{1279, 799}));

    mouse("move", 0.01, 0.01);
    mouse("move_rel", -100, 5000);
    EXPECT_EQ(pointer(), (ScreenPoint{0, 799}));
    mouse("move_rel", 5000, -5000);
    EXPECT_EQ(pointer(), (ScreenPoint{1279, 0}));
    mouse("move_rel"); // half a point right and down stays on the pixel
    EXPECT_EQ(pointer(), (ScreenPoint{1279, 0}));
    mouse("move_rel", -279.25, 10);
    EXPECT_EQ(pointer(), (ScreenPoint{999, 10}));
    mouse("move", std::numeric_limits<double>::infinity(), 0.5); // not a place: ignored
    EXPECT_EQ(pointer(), (ScreenPoint{999, 10}));

    mouse("jump", 0.1, 0.1);
    mouse("MOVE", 0.1, 0.1);
    EXPECT_EQ(pointer(), (ScreenPoint{999, 10})) << "unknown actions do nothing";
    EXPECT_FALSE(log.contains("⛔️ PELORN: No Accessibility permission - cursor will NOT move"));
}

TEST_F(X11InputTest, ButtonsClicksAndDoubleClicks) {
    mouse("down", 0.5, 0.5);
    mouse("up", 0.25, 0.5);
    mouse("click", 0.1, 0.2, "right");
    mouse("click", 0.1, 0.2, "Right"); // only the exact word picks the right button
    mouse("move", 0.75, 0.75);
    mouse("click_here", 0, 0, "right");
    auto seen = buttons();
    ASSERT_EQ(seen.size(), 8u);
    auto at = [](const SeenEvent& e) { return std::make_tuple(e.kind, e.button, e.x, e.y); };
    EXPECT_EQ(at(seen[0]), std::make_tuple(SeenEvent::ButtonDown, 1u, 640, 400));
    EXPECT_EQ(at(seen[1]), std::make_tuple(SeenEvent::ButtonUp, 1u, 320, 400))
        << "a drag ends where it is let go";
    EXPECT_EQ(at(seen[2]), std::make_tuple(SeenEvent::ButtonDown, 3u, 128, 160));
    EXPECT_EQ(at(seen[3]), std::make_tuple(SeenEvent::ButtonUp, 3u, 128, 160));
    EXPECT_EQ(at(seen[4]), std::make_tuple(SeenEvent::ButtonDown, 1u, 128, 160));
    EXPECT_EQ(at(seen[5]), std::make_tuple(SeenEvent::ButtonUp, 1u, 128, 160));
    EXPECT_EQ(at(seen[6]), std::make_tuple(SeenEvent::ButtonDown, 3u, 960, 600))
        << "click_here ignores x and y";
    EXPECT_EQ(at(seen[7]), std::make_tuple(SeenEvent::ButtonUp, 3u, 960, 600));

    recorder.clear();
    mouse("doubleclick", 0.5, 0.25, "right");
    seen = buttons();
    ASSERT_EQ(seen.size(), 4u);
    for (const auto& e : seen) {
        EXPECT_EQ(at(e), std::make_tuple(e.kind, 1u, 640, 200)) << "left, at the point";
    }
    EXPECT_EQ(seen[0].kind, SeenEvent::ButtonDown);
    EXPECT_EQ(seen[2].kind, SeenEvent::ButtonDown);
    // Toolkits count a second press as a double click within a few hundred milliseconds (GTK:
    // 400 ms) at the same spot.
    EXPECT_LT(seen[2].time - seen[0].time, 250u);
}

TEST_F(X11InputTest, ScrollingTurnsPixelsIntoWheelStepsAndKeepsTheRest) {
    auto wheel = [&](std::initializer_list<double> deltas) {
        recorder.clear();
        for (double d : deltas) {
            mouse("scroll", 0.5, 0.5, std::nullopt, d);
        }
        std::string steps;
        for (const auto& e : buttons()) {
            if (e.kind == SeenEvent::ButtonDown) {
                steps += e.button == 4 ? "^" : "v";
            }
        }
        return steps;
    };
    constexpr double step = MouseController::pixelsPerWheelStep;
    EXPECT_EQ(wheel({2 * step + 20}), "^^") << "positive scrolls up";
    EXPECT_EQ(wheel({step - 20}), "^") << "the 20 left over count";
    EXPECT_EQ(wheel({10, 10, 10}), "") << "30 pixels are less than a step";
    EXPECT_EQ(wheel({10.9}), "^") << "truncated: 40 = one step";
    EXPECT_EQ(wheel({-step - 0.9}), "v");
    EXPECT_EQ(wheel({-step + 1, -1}), "v") << "slow scrolls down add up too";
    EXPECT_EQ(wheel({std::nan(""), std::numeric_limits<double>::infinity(), 3e9, -3e9}), "") << "no scroll";
    EXPECT_EQ(wheel({}), "");
    mouse("scroll"); // no deltaY: a scroll of 0
    EXPECT_EQ(wheel({2e9}), std::string(MouseController::maxWheelStepsPerMessage, '^')) << "capped";
}

TEST_F(X11InputTest, NamedKeysAndShortcutsWithoutStrayModifiers) {
    for (const char* name :
         {"Return", "Enter", "Backspace", "Tab", "Escape", "ArrowUp", "ArrowDown", "ArrowLeft", "ArrowRight",
          "Space", "Delete", "Hello", "Return ", "return", "\n", "\r", "\t", "A"}) {
        keys.handleKeyEvent(name);
    }
    keys.handleKeyEvent("");
    auto seen = settled();
    EXPECT_THAT(XEventRecorder::keys(seen),
                ElementsAre("+Return", "-Return", "+Return", "-Return", "+BackSpace", "-BackSpace", "+Tab",
                            "-Tab", "+Escape", "-Escape", "+Up", "-Up", "+Down", "-Down", "+Left", "-Left",
                            "+Right", "-Right", "+space", "-space", "+Delete", "-Delete",
                            // "Hello" and "Return " name no key; "return" is text
                            "+r", "-r", "+e", "-e", "+t", "-t", "+u", "-u", "+r", "-r", "+n", "-n", "+Return",
                            "-Return", "+Return", "-Return", "+Tab", "-Tab", "+Shift_L", "+A", "-A",
                            "-Shift_L"));
    for (const auto& e : seen) {
        if (e.keysym != "A" && e.keysym != "Shift_L") {
            EXPECT_EQ(e.state, 0u) << e.keysym << " came with modifiers";
        }
    }
    EXPECT_EQ(XEventRecorder::typed(seen), " returnA") << "Space is a space";

    recorder.clear();
    for (const char* key : {"c", "V", "x", "a", "z", "s", "C", "Tab", "q", "cc", ""}) {
        keys.pressCommandShortcut(key);
    }
    seen = settled();
    EXPECT_THAT(XEventRecorder::keys(seen),
                ElementsAre("+Control_L", "+c", "-c", "-Control_L", "+Control_L", "+v", "-v", "-Control_L",
                            "+Control_L", "+x", "-x", "-Control_L", "+Control_L", "+a", "-a", "-Control_L",
                            "+Control_L", "+z", "-z", "-Control_L", "+Control_L", "+s", "-s", "-Control_L",
                            "+Control_L", "+c", "-c", "-Control_L", "+Alt_L", "+Tab", "-Tab", "-Alt_L"));
    EXPECT_EQ(seen[1].state, static_cast<unsigned>(ControlMask)) << "the key comes with Ctrl held";
    EXPECT_EQ(seen.back().state, static_cast<unsigned>(Mod1Mask));
}

TEST_F(X11InputTest, AnyUnicodeTextArrivesIntactAndTheKeymapIsPutBack) {
    ASSERT_GT(input.spareKeycodeCount(), 0u);
    // Composed and decomposed accents, outside the BMP, CJK, an emoji family (one character of
    // five code points), a CR LF pair, a tab, and characters the keymap has only with Shift.
    keys.handleKeyEvent("é€😀中 e\u0301 👨‍👩‍👧!\r\nÄ\tz");
    auto all = settled();
    EXPECT_EQ(XEventRecorder::typed(all), "é€😀中 é 👨‍👩‍👧!Äz");
    auto pressed = XEventRecorder::keys(all);
    EXPECT_EQ(std::count(pressed.begin(), pressed.end(), "+Return"), 1) << "CR LF is one line break";
    EXPECT_EQ(std::count(pressed.begin(), pressed.end(), "+Tab"), 1);
    for (const auto& e : all) {
        EXPECT_EQ(e.state & ~ShiftMask, 0u)
            << e.keysym << ": only Shift, for the characters on a second level";
    }
    EXPECT_GT(borrowedKeycodes(), 0);
    input.restoreKeymap();
    EXPECT_EQ(borrowedKeycodes(), 0);

    // More different characters than there are spare keycodes, each still the right one.
    std::string many;
    for (char low = 0; low < 40; ++low) { // U+4E00 一 onwards
        many += {'\xe4', '\xb8', static_cast<char>('\x80' + low)};
    }
    recorder.clear();
    keys.typeText(many + many);
    EXPECT_EQ(XEventRecorder::typed(settled()), many + many);
    input.restoreKeymap();
    EXPECT_EQ(borrowedKeycodes(), 0);
}

TEST_F(X11InputTest, FollowsALayoutChangedUnderIt) {
    keys.typeText("a");
    settled();
    // Another program gives the "a" key to "b".
    Display* other = XOpenDisplay(nullptr);
    KeySym b[2] = {XK_b, XK_B};
    XChangeKeyboardMapping(other, XKeysymToKeycode(other, XK_a), 2, b, 1);
    XSync(other, False);
    XCloseDisplay(other);
    loop.advance(std::chrono::seconds(1));
    keys.typeText("ab");
    EXPECT_EQ(XEventRecorder::typed(settled()), "aab");
}

TEST(X11InputWithoutDisplay, EveryMessageSaysTheCursorWillNotMove) {
    LogCapture log;
    HostLoop loop{HostLoop::TimeMode::Manual};
    X11Input input(loop, ":9999"); // no server there
    MouseController mice(input);
    KeyboardController keys(input);
    EXPECT_FALSE(mice.requestAccessibilityTrust());
    EXPECT_TRUE(log.contains("🔐 PELORN Accessibility trusted: false"));
    mice.handleMouseEvent("move", 0.5, 0.5, std::nullopt, std::nullopt);
    mice.handleMouseEvent("move_rel", 1e300, -1e300, std::nullopt, std::nullopt);
    mice.handleMouseEvent("scroll", 0.5, 0.5, std::nullopt, 100.0);
    keys.handleKeyEvent("é");
    keys.pressCommandShortcut("c");
    EXPECT_EQ(log.count("⛔️ PELORN: No Accessibility permission - cursor will NOT move"), 3u);
    EXPECT_EQ(mice.currentCursorLocation(), (ScreenPoint{960, 540})) << "the centre of the fallback screen";
    EXPECT_EQ(mice.clampToMainScreen({5000, -3}), (ScreenPoint{1919, 0}));
}

TEST(X11InputLostDisplay, TheHostOutlivesItsXServerAndReconnects) {
    LogCapture log;
    HostLoop loop{HostLoop::TimeMode::Manual};
    auto xvfb = std::make_unique<PrivateXvfb>();
    std::string first = xvfb->name();
    X11Input input(loop, first);
    MouseController mice(input);
    EXPECT_TRUE(mice.requestAccessibilityTrust());
    EXPECT_TRUE(log.contains("🔐 PELORN Accessibility trusted: true"));
    xvfb->kill();
    mice.handleMouseEvent("move", 0.2, 0.2, std::nullopt, std::nullopt);
    mice.handleMouseEvent("click", 0.2, 0.2, std::nullopt, std::nullopt);
    EXPECT_FALSE(input.isTrusted());

    // A server on the same display again: found once the retry pause has passed.
    xvfb.reset();
    PrivateXvfb again("1280x800x24", first);
    EXPECT_FALSE(input.isTrusted());
    loop.advance(std::chrono::seconds(2));
    EXPECT_TRUE(input.isTrusted());
    mice.handleMouseEvent("move", 0.25, 0.25, std::nullopt, std::nullopt);
    EXPECT_EQ(mice.currentCursorLocation(), (ScreenPoint{320, 200}));
}

} // namespace
