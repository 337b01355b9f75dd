// The screen stream on GNOME's Wayland (mutter's screen cast, read from PipeWire) beside the X11
// path on the same machine with the same content: an ordinary GTK client (bench/gtk_content.py)
// drawing desktop-like content full screen, on a private headless mutter and on Xvfb. Frames per
// second delivered and capture-to-wire latency while it draws, a full-screen change on a still
// screen to the first byte on the wire, and CPU with a still screen (ours, and the display server's).
// Usage: gnome_screen_bench [SECONDS [RUNS]]   (default 10 s per run, 3 runs; 1920x1080)
#include "core/log.hpp"
#include "gnome/mutter_remote_desktop.hpp"
#include "screen/pipewire_screen_source.hpp"
#include "screen_stream.hpp"
#include "support/private_gnome.hpp"
#include "support/private_servers.hpp"

using namespace pelorn;
using namespace pelorn::bench;

namespace {

// bench/gtk_content.py in the given environment: its stdin takes the still mode's changes.
class Content {
public:
    Content(const std::string& mode, std::vector<std::string> env) {
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0) {
            std::abort();
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string script = std::string(PELORN_BENCH_DIR) + "/gtk_content.py";
        std::vector<std::string> args{"/usr/bin/python3", script, mode};
        auto argv = cStrings(args);
        auto envp = cStrings(env);
        posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        mIn = in[1];
        std::this_thread::sleep_for(2s); // up and drawing
    }
    ~Content() {
        ::close(mIn);
        ::kill(mPid, SIGTERM);
        ::waitpid(mPid, nullptr, 0);
    }
    void change() { (void)!::write(mIn, "\n", 1); }

private:
    pid_t mPid = -1;
    int mIn = -1;
};

// A full-screen change on a still screen to the first byte of its frame on the wire, in ms.
std::vector<double> changeToWire(OurStream& stream, Content& content, int changes) {
    std::vector<double> out;
    for (int i = 0; i < changes; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(150'000 + 997 * i % 17'000));
        auto before = std::chrono::steady_clock::now();
        content.change();
        auto arrived = frameCapturedSince(*stream.reader, before);
        if (arrived) {
            out.push_back(std::chrono::duration<double, std::milli>(arrived->firstByteAt - before).count());
        }
    }
    return out;
}

struct Path {
    std::string name;
    std::vector<std::string> env;
    std::function<std::unique_ptr<ScreenSource>()> source;
    pid_t server = -1;
};

void measure(const Path& path, std::chrono::seconds window, int runs) {
    std::vector<double> fps, median, p99, cpu, serverCpu;
    for (int run = 0; run < runs; ++run) {
        Content content("desktop", path.env);
        double seconds = 0;
        double server0 = cpuSecondsOfProcess(path.server);
        auto r = runOurs(window, seconds, path.source);
        serverCpu.push_back(100 * (cpuSecondsOfProcess(path.server) - server0) /
                            static_cast<double>(window.count() + 2));
        fps.push_back(r.fps);
        median.push_back(r.medianMs);
        p99.push_back(r.p99Ms);
        cpu.push_back(100 * seconds / static_cast<double>(window.count()));
    }
    auto spread = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        char out[64];
        std::snprintf(out, sizeof out, "%.1f [%.1f–%.1f]", percentile(v, 0.5), v.front(), v.back());
        return std::string(out);
    };
    std::printf("%s desktop content: fps %s; capture-to-wire median %s ms, p99 %s ms; CPU %s %% (the display "
                "server meanwhile: %s %%)\n",
                path.name.c_str(), spread(fps).c_str(), spread(median).c_str(), spread(p99).c_str(),
                spread(cpu).c_str(), spread(serverCpu).c_str());
    Content still("still", path.env);
    {
        OurStream stream(path.source);
        auto changes = changeToWire(stream, still, 40);
        std::printf(
            "%s full-screen change on a still screen to the first byte on the wire (n=%zu): p50 %.1f ms, "
            "p90 %.1f ms, max %.1f ms (the GTK client's own drawing included)\n",
            path.name.c_str(), changes.size(), percentile(changes, 0.5), percentile(changes, 0.9),
            percentile(changes, 1.0));
    }
    double ours = 0;
    double server0 = cpuSecondsOfProcess(path.server);
    runOurs(window, ours, path.source);
    double server = cpuSecondsOfProcess(path.server) - server0;
    std::printf("%s still: CPU %.1f%% of a core (the display server meanwhile: %.1f%%, including start-up)\n",
                path.name.c_str(), 100 * ours / static_cast<double>(window.count()),
                100 * server / static_cast<double>(window.count() + 2));
    std::fflush(stdout);
}

std::vector<std::string> environment(std::vector<std::string> extra) {
    for (char** e = environ; *e; ++e) {
        extra.emplace_back(*e);
    }
    return extra;
}

} // namespace

int main(int argc, char** argv) {
    std::chrono::seconds window(argc > 1 ? std::atoi(argv[1]) : 10);
    int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    Log::shared().setSink([](std::string_view, bool) {});
    std::printf("gnome_screen_bench: 1920x1080, %lld s per run, %d runs, median [lowest–highest]\n",
                static_cast<long long>(window.count()), runs);
    {
        test::PrivateGnome gnome("1920x1080");
        if (!gnome.up()) {
            std::fprintf(stderr, "gnome_screen_bench: the GNOME session did not start\n%s",
                         gnome.log().c_str());
            return 1;
        }
        MutterRemoteDesktop desktop(gnome.busAddress());
        measure({"wayland (mutter)", gnome.env(),
                 [&] { return std::make_unique<MutterScreenSource>(desktop); }, gnome.compositorPid()},
                window, runs);
    }
    {
        test::PrivateXvfb xvfb("1920x1080x24");
        measure({"x11 (Xvfb)", environment({"GDK_BACKEND=x11", "NO_AT_BRIDGE=1"}), {}, xvfbPid()}, window,
                runs);
    }
    return 0;
}
