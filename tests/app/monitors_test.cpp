// Two monitors side by side on one X display (Xvfb split by RandR 1.5 monitors): the host streams
// and drives one of them, the primary unless the owner chose another with `display`.
#include "app/control/control_commands.hpp"
#include "app/control/desktop_commands.hpp"
#include "core/settings.hpp"
#include "input/mouse_controller.hpp"
#include "input/x11_input.hpp"
#include "screen/screen_support.hpp"
#include "screen/x11_screen_source.hpp"
#include "support/test_support.hpp"

using namespace pelorn;
using namespace pelorn::test;

namespace {

constexpr unsigned long blue = 0x0000ff, red = 0xff0000, green = 0x00ff00;

class TwoMonitors : public ::testing::Test {
protected:
    void SetUp() override {
        // LEFT holds the display's output; RIGHT, the primary, none.
        ASSERT_TRUE(xrandr({"--setmonitor", "LEFT", "1920/508x1080/286+0+0", "screen"}));
        ASSERT_TRUE(xrandr({"--setmonitor", "*RIGHT", "1920/508x1080/286+1920+0", "none"}));
        fillOnRoot(blue, 0, 0, 1920, 1080);
        fillOnRoot(red, 1920, 0, 1920, 1080);
        ASSERT_TRUE(std::holds_alternative<DisplayGeometry>(source.open()));
    }
    static bool xrandr(std::vector<std::string> args) {
        args.insert(args.begin(), "xrandr");
        return runProcess(args).succeeded();
    }
    ControlResponse display(std::vector<std::string> args = {}) {
        ControlResponse answer;
        commands.dispatch({"display", std::move(args), std::nullopt}, [&](ControlResponse r) { answer = r; });
        return answer;
    }
    // The colour in the middle of a fresh frame of the stream.
    unsigned long middle() {
        auto geometry = source.geometry();
        VideoFrame frame;
        frame.resize(geometry.width, geometry.height);
        source.render(frame);
        const auto* p = frame.row(geometry.height / 2) + geometry.width / 2 * 4;
        return p[2] << 16 | p[1] << 8 | p[0];
    }
    // Whether the next poll reports a change, once the server has sent what it had to say.
    bool changed() {
        XSync(check, False);
        return std::get<bool>(source.poll());
    }
    // The pointer on the root window, once the input's own connection has had its motion handled.
    std::pair<int, int> pointer() {
        input.cursorLocation();
        Window root = 0, child = 0;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        XQueryPointer(check, DefaultRootWindow(check), &root, &child, &x, &y, &wx, &wy, &mask);
        return {x, y};
    }

    PrivateXvfb xvfb{"3840x1080x24"};
    Display* check = XOpenDisplay(nullptr);
    LogCapture log;
    Settings settings{std::nullopt};
    std::function<std::string()> chosen = [this] { return settings.string("streamDisplay"); };
    X11ScreenSource source{"", chosen};
    HostLoop loop{HostLoop::TimeMode::Manual};
    X11Input input{loop, "", chosen};
    MouseController mice{input};
    ControlCommands commands;
    void TearDown() override { XCloseDisplay(check); }
};

TEST_F(TwoMonitors, ThePrimaryIsStreamedAndDrivenAndTheOtherCostsNothing) {
    EXPECT_EQ(source.geometry().width, 1920);
    EXPECT_EQ(source.geometry().height, 1080);
    XWarpPointer(check, None, DefaultRootWindow(check), 0, 0, 0, 0, 300, 300);
    EXPECT_TRUE(changed());
    EXPECT_EQ(middle(), red);
    EXPECT_FALSE(changed());
    // Drawing and moving the pointer on the other monitor wake nothing.
    fillOnRoot(green, 100, 100, 400, 400);
    XWarpPointer(check, None, DefaultRootWindow(check), 0, 0, 0, 0, 400, 400);
    EXPECT_FALSE(changed());
    fillOnRoot(green, 1800, 100, 400, 400); // across both
    EXPECT_TRUE(changed());

    EXPECT_EQ(input.mainScreen().value_or(ScreenSize{}).width, 1920);
    mice.handleMouseEvent("move", 0.5, 0.5, std::nullopt, std::nullopt);
    EXPECT_EQ(pointer(), std::pair(2880, 540));
    mice.handleMouseEvent("move_rel", -5000, 5000, std::nullopt, std::nullopt);
    EXPECT_EQ(pointer(), std::pair(1920, 1079));
    mice.handleMouseEvent("move", 1, 0, std::nullopt, std::nullopt);
    EXPECT_EQ(pointer(), std::pair(3839, 0));
}

TEST_F(TwoMonitors, TheOwnersChoiceAndAMonitorGoneMoveTheStreamAndThePointer) {
    registerDisplayCommand(commands, settings, []() -> std::optional<std::vector<X11Monitor>> {
        X11Connection connection;
        return x11Monitors(connection.get());
    });
    EXPECT_EQ(display().text, "RIGHT 1920x1080+1920+0 primary - streamed\nLEFT 1920x1080+0+0");
    EXPECT_EQ(middle(), red);

    EXPECT_EQ(display({"LEFT"}).text, "RIGHT 1920x1080+1920+0 primary\nLEFT 1920x1080+0+0 - streamed");
    EXPECT_TRUE(changed());
    EXPECT_EQ(middle(), blue);
    EXPECT_TRUE(log.contains("🖥️ PELORN: streaming monitor LEFT (1920x1080 at 0,0)"));
    mice.handleMouseEvent("move", 0.5, 0.5, std::nullopt, std::nullopt);
    EXPECT_EQ(pointer(), std::pair(960, 540));
    mice.handleMouseEvent("move", 1, 1, std::nullopt, std::nullopt); // never onto the other monitor
    EXPECT_EQ(pointer(), std::pair(1919, 1079));
    EXPECT_EQ(display({"NOPE"}).error, "no monitor NOPE (the monitors: RIGHT, LEFT)");
    EXPECT_EQ(settings.string("streamDisplay"), "LEFT");

    // Back to the primary, which is then unplugged: the other one stands in.
    display({"--primary"});
    EXPECT_TRUE(changed());
    EXPECT_EQ(middle(), red);
    ASSERT_TRUE(xrandr({"--delmonitor", "RIGHT"}));
    EXPECT_TRUE(changed());
    EXPECT_EQ(middle(), blue);
    settings.set("streamDisplay", "RIGHT");
    changed();
    EXPECT_TRUE(log.contains("⚠️ PELORN: no monitor \"RIGHT\" - streaming LEFT instead"));

    // A monitor's new size is the stream's.
    ASSERT_TRUE(xrandr({"--delmonitor", "LEFT"}));
    ASSERT_TRUE(xrandr({"--setmonitor", "LEFT", "1280/338x720/190+0+0", "screen"}));
    EXPECT_TRUE(changed());
    EXPECT_EQ(source.geometry().width, 1280);
    EXPECT_EQ(source.geometry().height, 720);
    EXPECT_EQ(input.mainScreen().value_or(ScreenSize{}).height, 720);
}

} // namespace
