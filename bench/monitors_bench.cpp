// Several monitors: what the stream costs when the monitor it shows is still while another one
// plays desktop-like content (drawn at 60 fps), against streaming the monitor that plays and
// against the whole 3840x1080 root as one picture (a display whose monitors RandR does not list,
// as every display was streamed before). Xvfb at 3840x1080 split into LEFT (playing) and RIGHT
// (still, the primary). For each: frames/s reaching a client over loopback (heartbeats are not
// frames), the picture's size, and the CPU of this process and of the X server.
// Usage: monitors_bench [SECONDS]
#include "core/process_runner.hpp"
#include "screen/x11_screen_source.hpp"
#include "support/private_servers.hpp"

// After GoogleTest (in private_servers.hpp): Xlib defines None, which GoogleTest uses as a name.
#include "desktop_content.hpp"
#include "screen_stream.hpp"

#include <cstdio>

using namespace pelorn;
using namespace pelorn::bench;

int main(int argc, char** argv) {
    auto seconds = std::chrono::seconds(argc > 1 ? std::max(1, std::atoi(argv[1])) : 10);
    test::PrivateXvfb xvfb("3840x1080x24");
    auto xrandr = [](std::vector<std::string> args) {
        args.insert(args.begin(), "xrandr");
        return runProcess(args).succeeded();
    };
    if (!xrandr({"--setmonitor", "LEFT", "1920/508x1080/286+0+0", "screen"}) ||
        !xrandr({"--setmonitor", "*RIGHT", "1920/508x1080/286+1920+0", "none"})) {
        std::fprintf(stderr, "xrandr could not split the display\n");
        return 1;
    }
    pid_t server = xvfbPid();
    DesktopContent content(DesktopContent::Kind::Desktop, 1920);
    struct Case {
        const char* what;
        std::string monitor; // the owner's choice; empty: the primary
        bool split = true;
    };
    std::printf("%ld s each, LEFT playing desktop content at 60 fps, RIGHT still\n",
                static_cast<long>(seconds.count()));
    for (const auto& c :
         {Case{"RIGHT streamed (still, primary)", ""}, Case{"LEFT streamed (playing)", "LEFT"},
          Case{"the whole root, monitors not listed", "", false}}) {
        if (!c.split) {
            xrandr({"--delmonitor", "RIGHT"});
            xrandr({"--delmonitor", "LEFT"});
        }
        auto wanted = [&c] { return c.monitor; };
        X11ScreenSource probe("", wanted);
        auto opened = probe.open();
        auto* geometry = std::get_if<DisplayGeometry>(&opened);
        auto makeSource = [&] { return std::make_unique<X11ScreenSource>("", wanted); };
        double cpu = 0;
        double serverStart = cpuSecondsOfProcess(server);
        auto result = runOurs(seconds, cpu, makeSource);
        double serverCpu = cpuSecondsOfProcess(server) - serverStart;
        auto total = static_cast<double>(seconds.count());
        std::printf("%-38s %4dx%-4d %5.1f frames/s  latency median %5.1f ms  our CPU %5.1f %%  X server "
                    "%5.1f %%\n",
                    c.what, geometry ? geometry->width : 0, geometry ? geometry->height : 0, result.fps,
                    result.medianMs, 100 * cpu / total, 100 * serverCpu / total);
    }
    return 0;
}
