// The privacy screen on a real X server: the monitors' gamma goes to zero and back, and the
// screen itself (what capture sees) keeps its picture. (A crashing host putting the displays
// back is tested end to end, with the real host.)
#include "activity/event_log.hpp"
#include "core/host_loop.hpp"
#include "core/task_pool.hpp"
#include "privacy/privacy_screen_controller.hpp"
#include "privacy/x11_gamma_blackout.hpp"
#include "screen/x11_screen_source.hpp"
#include "support/test_support.hpp"
#include "support/x_session.hpp"

using namespace pelorn;
using namespace pelorn::test;

namespace {

// Every lit CRTC's ramps, concatenated.
std::vector<unsigned short> gammaRamps() {
    Display* d = XOpenDisplay(nullptr);
    std::vector<unsigned short> all;
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    for (int i = 0; res && i < res->ncrtc; ++i) {
        if (XRRCrtcGamma* g = XRRGetCrtcGamma(d, res->crtcs[i])) {
            all.insert(all.end(), g->red, g->red + g->size);
            all.insert(all.end(), g->green, g->green + g->size);
            all.insert(all.end(), g->blue, g->blue + g->size);
            XRRFreeGamma(g);
        }
    }
    if (res) {
        XRRFreeScreenResources(res);
    }
    XCloseDisplay(d);
    return all;
}

bool allZero(const std::vector<unsigned short>& ramps) {
    return !ramps.empty() && std::all_of(ramps.begin(), ramps.end(), [](auto v) { return v == 0; });
}

std::array<int, 3> capturedPixel(int x, int y) {
    X11ScreenSource source;
    auto opened = source.open();
    if (!std::holds_alternative<DisplayGeometry>(opened)) {
        return {-1, -1, -1};
    }
    auto g = std::get<DisplayGeometry>(opened);
    VideoFrame frame;
    frame.resize(g.width, g.height);
    source.render(frame);
    const std::uint8_t* p = frame.row(y) + x * 4;
    return {p[2], p[1], p[0]};
}

class PrivacyTest : public ::testing::Test {
protected:
    PrivacyTest() { setLinearGamma(); }

    PrivateXvfb xvfb{"800x600x24"};
    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
    std::shared_ptr<EventLog> events = EventLog::create(loop, pool, std::nullopt);
    LogCapture logs;

    int count(LoggedEvent::Kind kind) {
        const auto& all = events->events().get();
        return static_cast<int>(
            std::count_if(all.begin(), all.end(), [&](auto& e) { return e.kind == kind; }));
    }
};

TEST_F(PrivacyTest, BlacksOutTheMonitorsNotTheScreenAndPutsThemBack) {
    auto original = gammaRamps();
    ASSERT_FALSE(original.empty());
    ASSERT_FALSE(allZero(original));
    Display* d = XOpenDisplay(nullptr);
    XSetWindowBackground(d, DefaultRootWindow(d), 0x3366cc);
    XClearWindow(d, DefaultRootWindow(d));
    XSync(d, False);
    XCloseDisplay(d);

    PrivacyScreenController privacy(loop, *events, std::make_unique<X11GammaBlackout>());
    privacy.turnOff();
    EXPECT_EQ(count(LoggedEvent::Kind::PrivacyOff), 0);
    EXPECT_TRUE(logs.lines().empty());

    privacy.turnOn();
    privacy.turnOn();
    EXPECT_TRUE(privacy.isActive());
    EXPECT_TRUE(allZero(gammaRamps()));
    EXPECT_EQ(capturedPixel(100, 100), (std::array{0x33, 0x66, 0xcc})); // away from the pointer
    EXPECT_EQ(logs.count("🛡️ PELORN PRIVACY: screen blackout ON (all displays)"), 2);

    privacy.turnOff();
    EXPECT_FALSE(privacy.isActive());
    EXPECT_EQ(gammaRamps(), original);
    EXPECT_EQ(count(LoggedEvent::Kind::PrivacyOn), 1);
    EXPECT_EQ(count(LoggedEvent::Kind::PrivacyOff), 1);
    EXPECT_EQ(logs.count("🛡️ PELORN PRIVACY: screen blackout OFF"), 1);
    const auto logged = logs.lines();
    const auto systemFlags = logs.systemFlags();
    for (std::size_t i = 0; i < logged.size(); ++i) {
        EXPECT_TRUE(systemFlags[i]) << logged[i];
    }
}

TEST_F(PrivacyTest, WithoutADisplayItSaysSoAndStaysOn) {
    ::setenv("DISPLAY", ":998", 1);
    PrivacyScreenController privacy(loop, *events, std::make_unique<X11GammaBlackout>());
    privacy.turnOn();
    EXPECT_TRUE(logs.contains("❌ PELORN PRIVACY: could not enumerate displays"));
    EXPECT_TRUE(privacy.isActive());
    privacy.turnOff();
    EXPECT_EQ(count(LoggedEvent::Kind::PrivacyOff), 1);
}

} // namespace
