// The WebRTC peer against headless Chromium (libwebrtc) as the client, in a network namespace of
// its own with only loopback:
//   1. connect time: startStream → the first frame Chromium paints, with the page already loaded
//      (a client waiting for the host), over RUNS sessions;
//   2. glass to glass: the picture turns from dark to bright and back every 500 ms; from the moment
//      the host has the first frame of a new picture to the moment the page paints it (both on
//      this machine's wall clock), over every turn of SECONDS;
//   3. ICE restart recovery: the browser is frozen until the host has noticed and sent its restart
//      offer, then thawed; from the thaw until the host is connected again, and until the page
//      paints a new picture, over RESTARTS sessions.
// Usage: webrtc_browser_bench [RUNS [SECONDS [RESTARTS]]]   (default 10, 20, 3); needs root.
#include "support/browser_session.hpp"

#include <algorithm>
#include <cstdio>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono;

namespace {

double epochMs() {
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

// A uniform picture, dark or bright.
struct Flat {
    explicit Flat(int w, int h)
        : y(static_cast<std::size_t>(w * h)), uv(y.size() / 2, 128), width(w), height(h) {}
    VideoFrameView frame(bool bright) {
        std::fill(y.begin(), y.end(), bright ? 235 : 16);
        return {width, height, y, width, uv, width};
    }
    std::vector<std::uint8_t> y;
    std::vector<std::uint8_t> uv;
    int width;
    int height;
};

std::optional<double> eventAt(const BrowserSession& s, const std::string& name, double after = 0) {
    for (const auto& e : s.relay.events()) {
        if (e.value("name", "") == name && e.value("at", 0.0) > after) {
            return e.value("at", 0.0);
        }
    }
    return std::nullopt;
}

bool waitFor(BrowserSession& s, const std::function<bool()>& done, seconds limit = seconds(30)) {
    return pumpUntil(
        s.loop, [&] { return s.step() && done(); }, limit);
}

void report(const char* what, std::vector<double> values) {
    if (values.empty()) {
        std::printf("%-44s no result\n", what);
        return;
    }
    std::sort(values.begin(), values.end());
    std::printf("%-44s p50 %7.1f ms  p90 %7.1f ms  max %7.1f ms  (n=%zu)\n", what, values[values.size() / 2],
                values[values.size() * 9 / 10], values.back(), values.size());
}

} // namespace

int main(int argc, char** argv) {
    if (auto why = enterPrivateNetwork(); !why.empty() || !routeToLoopback()) {
        std::fprintf(stderr, "needs root for a private network namespace: %s\n", why.c_str());
        return 1;
    }
    int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    int glassSeconds = argc > 2 ? std::atoi(argv[2]) : 20;
    int restarts = argc > 3 ? std::atoi(argv[3]) : 3;

    std::vector<double> connect;
    std::vector<double> glass;
    for (int run = 0; run < runs; ++run) {
        BrowserSession s;
        s.loop.runPending();
        Flat flat(1920, 1080);
        bool bright = false;
        s.nextFrame = [&] { return flat.frame(bright); };
        if (!s.openBrowser() || !waitFor(s, [&] { return eventAt(s, "ready").has_value(); })) {
            std::fprintf(stderr, "the page did not load\n");
            return 1;
        }
        double start = epochMs();
        s.manager.startStream();
        s.manager.startScreen();
        if (!waitFor(s, [&] { return eventAt(s, "first-frame").has_value(); })) {
            std::fprintf(stderr, "run %d: no frame painted\n", run);
            continue;
        }
        connect.push_back(*eventAt(s, "first-frame") - start);
        if (run > 0) {
            s.manager.stopStream();
            continue;
        }
        // Glass to glass, in the first session only.
        auto end = steady_clock::now() + seconds(glassSeconds);
        std::vector<std::pair<bool, double>> turns; // the picture, and when the host had it
        auto turned = steady_clock::now();
        waitFor(
            s,
            [&] {
                if (steady_clock::now() - turned >= milliseconds(500)) {
                    bright = !bright;
                    turns.emplace_back(bright, epochMs());
                    turned = steady_clock::now();
                }
                return steady_clock::now() > end;
            },
            seconds(glassSeconds + 5));
        for (const auto& e : s.relay.events()) {
            if (e.value("name", "") != "flip") {
                continue;
            }
            double at = e.value("at", 0.0);
            // The latest turn to this picture before the page showed it.
            for (auto t = turns.rbegin(); t != turns.rend(); ++t) {
                if (t->first == e.value("bright", false) && t->second <= at) {
                    glass.push_back(at - t->second);
                    break;
                }
            }
        }
        s.manager.stopStream();
    }

    std::vector<double> reconnect;
    std::vector<double> repaint;
    for (int run = 0; run < restarts; ++run) {
        BrowserSession s;
        s.loop.runPending();
        Flat flat(1280, 720);
        bool bright = false;
        s.nextFrame = [&] { return flat.frame(bright); };
        s.manager.startStream();
        s.manager.startScreen();
        if (!s.openBrowser() || !waitFor(s, [&] { return eventAt(s, "first-frame").has_value(); }) ||
            !waitFor(s, [&] { return s.logged("📊 Mac OUT video: "); })) {
            std::fprintf(stderr, "restart run %d: no session\n", run);
            continue;
        }
        s.browser->freeze();
        if (!waitFor(s, [&] { return s.lines.contains("📤 ICE restart offer sent (attempt 1)"); })) {
            std::fprintf(stderr, "restart run %d: the stall went unnoticed\n", run);
            continue;
        }
        bright = true; // the picture the page has not seen yet
        double thawed = epochMs();
        s.browser->thaw();
        std::optional<double> connected;
        waitFor(s, [&] {
            if (!connected && s.manager.iceRestartAttempts() == 0) {
                connected = epochMs();
            }
            return connected && eventAt(s, "flip", thawed).has_value();
        });
        if (connected) {
            reconnect.push_back(*connected - thawed);
        }
        if (auto painted = eventAt(s, "flip", thawed)) {
            repaint.push_back(*painted - thawed);
        }
        s.manager.stopStream();
    }

    std::printf("Chromium %s as the client, loopback, software H.264\n", "(headless)");
    report("connect: startStream -> first frame painted", connect);
    report("glass to glass (1080p, dark <-> bright)", glass);
    report("ICE restart: thaw -> connected again", reconnect);
    report("ICE restart: thaw -> new picture painted", repaint);
    return 0;
}
