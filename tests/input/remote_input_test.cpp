// Client input handed to the input thread: order kept, the keyboard layout put back once typing
// pauses, and a cap on text waiting to be typed.
#include "input/remote_input.hpp"
#include "input/x11_input.hpp"
#include "support/test_support.hpp"
#include "support/x_session.hpp"

#include <future>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

TEST(RemoteInputQueue, KeepsArrivalOrderAndPutsTheLayoutBackOnceTypingPauses) {
    PrivateXvfb xvfb;
    XEventRecorder recorder;
    HostLoop loop{HostLoop::TimeMode::Manual};
    X11Input device(loop);
    MouseController mouse(device);
    KeyboardController keyboard(device);
    RemoteInput input(loop, device, mouse, keyboard);

    input.handleKeyEvent("€uro");
    input.handleMouseEvent("click", 0.5, 0.5, std::nullopt, std::nullopt);
    input.pressCommandShortcut("z");
    auto seen = recorder.settled([&] { input.handleMouseEvent("click", 0, 0, "right", std::nullopt); });
    EXPECT_EQ(XEventRecorder::typed(seen), "€uro");
    auto click =
        std::find_if(seen.begin(), seen.end(), [](auto& e) { return e.kind == SeenEvent::ButtonDown; });
    auto lastText = std::find_if(seen.begin(), seen.end(), [](auto& e) { return e.text == "o"; });
    auto shortcut = std::find_if(seen.begin(), seen.end(), [](auto& e) { return e.keysym == "Control_L"; });
    EXPECT_TRUE(lastText < click && click < shortcut) << "in the order the client sent them";

    EXPECT_TRUE(pumpUntil(loop, [] { return borrowedKeycodes() > 0; })) << "€ needs a borrowed key";
    loop.advance(RemoteInput::restoreDelay - 1ms);
    loop.runPending();
    EXPECT_GT(borrowedKeycodes(), 0) << "too soon";
    loop.advance(1ms);
    EXPECT_TRUE(pumpUntil(loop, [] { return borrowedKeycodes() == 0; }));
}

// Stands for a display that takes a long time over each character, and writes down what the
// pointer did.
class SlowDevice final : public InputDevice {
public:
    bool isTrusted() override { return true; }
    std::optional<ScreenSize> mainScreen() override { return ScreenSize{1000, 1000}; }
    std::optional<ScreenPoint> cursorLocation() override { return at; }
    void movePointer(ScreenPoint p) override {
        at = p;
        pointer.push_back("move " + std::to_string(int(p.x)) + "," + std::to_string(int(p.y)));
    }
    void postButton(MouseButton, bool down, ScreenPoint) override { pointer.push_back(down ? "down" : "up"); }
    void postWheel(int) override {}
    void pressKey(NamedKey, std::optional<KeyModifier>) override {}
    void typeCodePoint(char32_t cp) override {
        if (cp == U'⏸') {
            release.wait();
        }
        typed += 1;
    }
    void restoreKeymap() override {}
    std::shared_future<void> release;
    std::atomic<int> typed{0};
    ScreenPoint at{};
    std::vector<std::string> pointer; // written on the input thread, read once it is idle
};

// Client input in front of a slow display: "⏸" holds the input thread until go is set.
struct SlowInput : ::testing::Test {
    SlowInput() { device.release = go.get_future().share(); }

    LogCapture log;
    HostLoop loop{HostLoop::TimeMode::Manual};
    SlowDevice device;
    std::promise<void> go;
    MouseController mouse{device};
    KeyboardController keyboard{device};
    RemoteInput input{loop, device, mouse, keyboard};
};

TEST_F(SlowInput, TextBeyondTheCapIsDroppedWithOneLine) {

    input.handleKeyEvent("⏸");
    std::string half(RemoteInput::maxPendingText / 2, 'a');
    input.handleKeyEvent(half);
    input.handleKeyEvent(half); // over the cap with the pause character
    input.handleKeyEvent("b");  // still fits
    const std::string line = "⚠️ PELORN: typing is behind - dropped keyboard input from the client";
    EXPECT_EQ(log.count(line), 1) << "once while it lasts";
    go.set_value();
    auto typed = [&] { return static_cast<std::size_t>(device.typed.load()); };
    ASSERT_TRUE(pumpUntil(loop, [&] { return typed() == 1 + half.size() + 1; }));
    input.handleKeyEvent(half); // room again
    ASSERT_TRUE(pumpUntil(loop, [&] { return typed() == 1 + 2 * half.size() + 1; }));
    EXPECT_EQ(log.count(line), 1);
}

TEST_F(SlowInput, AFloodOfPointerEventsIsCoalescedAndCapped) {

    input.handleKeyEvent("⏸"); // holds the input thread
    for (int i = 1; i <= 100000; ++i) {
        input.handleMouseEvent("move", i / 100000.0, 0.5, std::nullopt, std::nullopt);
    }
    for (std::size_t i = 0; i < RemoteInput::maxPendingPointer + 10; ++i) {
        input.handleMouseEvent("down", 0.5, 0.5, std::nullopt, std::nullopt);
    }
    for (int i = 0; i < 10; ++i) {
        input.handleMouseEvent("move_rel", -10, 5, std::nullopt, std::nullopt);
    }
    input.handleKeyEvent("k"); // the end
    EXPECT_EQ(log.count("⚠️ PELORN: pointer input is behind - dropped pointer events from the client"),
              1);
    go.set_value();
    ASSERT_TRUE(pumpUntil(loop, [&] { return device.typed == 2; }));
    // One move where the last one pointed, the events that fitted, one move for all the steps.
    std::vector<std::string> expected{"move 1000,500"};
    expected.insert(expected.end(), RemoteInput::maxPendingPointer, "down");
    expected.push_back("move 900,550");
    EXPECT_EQ(device.pointer, expected);
}

} // namespace
