// Input from an authorised LAN client reaching a real X server through the real host.
#include "integration/online_host.hpp"
#include "signaling/signaling_message.hpp"
#include "support/x_session.hpp"

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

std::pair<int, int> pointer() {
    Display* d = XOpenDisplay(nullptr);
    Window root = 0, child = 0;
    int x = -1, y = -1, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &x, &y, &wx, &wy, &mask);
    XCloseDisplay(d);
    return {x, y};
}

TEST(RemoteInput, TheClientMovesThePointerPressesKeysAndClicksOnTheHostsDisplay) {
    PrivateXvfb xvfb("1600x900x24");
    XEventRecorder recorder;
    OnlineHost h;
    EXPECT_TRUE(h.logged("🔐 PELORN Accessibility trusted: true"));
    auto credentials = h.device("ipad.json");
    ASSERT_TRUE(credentials);
    auto session = h.authorised(*credentials);
    ASSERT_TRUE(session);

    session->connection().send(SignalingMessage{.type = "mouse_event", .x = 0.25, .y = 0.75});
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (pointer() != std::pair{400, 675} && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(pointer(), (std::pair{400, 675}));

    // Typing itself (any Unicode, the keymap put back) is the input suite's; here the keys' way in.
    session->connection().send(SignalingMessage{.type = "cmd_key", .key = "A"});
    session->connection().send(
        SignalingMessage{.type = "mouse_event", .x = 0.5, .y = 0.5, .button = "right", .action = "click"});
    auto seen = recorder.waitForCount(SeenEvent::ButtonUp, 1);
    auto keys = XEventRecorder::keys(seen);
    EXPECT_NE(std::find(keys.begin(), keys.end(), "+Control_L"), keys.end()) << "Ctrl+A selects all";
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().button, 3u);
    EXPECT_EQ(std::make_pair(seen.back().x, seen.back().y), (std::pair{800, 450}));
    EXPECT_FALSE(h.host.output().find("cursor will NOT move") != std::string::npos);

    // Sharing the screen starts the text-focus watcher; this home has no accessibility bus.
    session->connection().send(SignalingMessage{.type = "screen_start"});
    EXPECT_TRUE(h.logged("⌨️ PELORN: no Accessibility permission - remote keyboard stays manual"));
}

} // namespace
