// The LAN screen stream against ffmpeg's own pipeline doing the same job on the same Xvfb, on
// desktop-like content and on flat fills: frames per second delivered and capture-to-wire latency
// (three runs each, median and spread), how soon a full-screen change on a still screen reaches the
// wire, and CPU time with a still screen; then rate control compared on captured frames.
// Usage: screen_bench [SECONDS [RUNS [WxH]]]   (default 10 s per run, 3 runs; a size given: only
// its streams)
#include "activity/event_log.hpp"
#include "client/media_reader.hpp"
#include "core/log.hpp"
#include "core/process_runner.hpp"
#include "core/task_pool.hpp"
#include "net/io_thread.hpp"
#include "screen/hevc_nal.hpp"
#include "screen/screen_capture_manager.hpp"
#include "screen/screen_stream_manager.hpp"
#include "screen/stage_times.hpp"
#include "screen/video_encoder_h265.hpp"
#include "screen/x11_screen_source.hpp"
#include "signaling/signaling_message.hpp"
#include "support/private_servers.hpp"
#include "support/test_support.hpp"

// After GoogleTest (in private_servers.hpp): Xlib defines None, which GoogleTest uses as a name.
#include "desktop_content.hpp"
#include "screen_stream.hpp"

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/resource.h>

using namespace pelorn;
using namespace pelorn::bench;
using namespace std::chrono_literals;

namespace {

// Rate control compared on the same frames: desktop-like content captured once, encoded back to back
// under each mode, the stream decoded by ffmpeg and compared with what was captured.
struct Encoded {
    double msPerFrame = 0;
    double mbitPerSecond = 0;
    std::string quality; // ffmpeg's SSIM and PSNR
};

std::vector<FrameRef> captureDesktopFrames(int count) {
    bench::DesktopContent content(bench::DesktopContent::Kind::Desktop);
    X11ScreenSource source;
    auto geometry = std::get<DisplayGeometry>(source.open());
    std::vector<FrameRef> frames;
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        source.poll();
        auto frame = std::make_shared<VideoFrame>();
        frame->resize(geometry.width, geometry.height);
        source.render(*frame);
        frames.push_back(std::move(frame));
        next += bench::DesktopContent::frameInterval;
        std::this_thread::sleep_until(next);
    }
    return frames;
}

// Without a reference file, only timed.
Encoded encodeAll(const std::vector<FrameRef>& frames, VideoEncoderH265::RateControl rateControl,
                  const std::filesystem::path& reference, const std::filesystem::path& out) {
    VideoEncoderH265 encoder({"libx265"}, rateControl);
    std::mutex mutex;
    std::condition_variable changed;
    bool idle = false;
    std::string annexB;
    auto startCode = std::string("\0\0\0\1", 4);
    encoder.setOnParameterSets([&](const std::vector<std::string>& sets) {
        for (const auto& set : sets) {
            annexB += startCode + set;
        }
    });
    encoder.setOnEncodedFrame([&](std::string units, bool, std::int64_t) { annexB += toAnnexB(units); });
    encoder.setOnIdle([&] {
        std::lock_guard lock(mutex);
        idle = true;
        changed.notify_all();
    });
    std::vector<double> times;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        auto started = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(mutex);
            idle = false;
        }
        encoder.encode(frames[i], static_cast<std::int64_t>(i) * 16'666'667, false);
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return idle; });
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
    }
    encoder.invalidate();
    double seconds = static_cast<double>(frames.size()) / 60.0;
    Encoded encoded{percentile(times, 0.5), static_cast<double>(annexB.size()) * 8 / seconds / 1e6, {}};
    if (reference.empty()) {
        return encoded; // timing only
    }
    std::ofstream(out, std::ios::binary) << annexB;
    auto compared = runProcess({"ffmpeg",
                                "-hide_banner",
                                "-nostats",
                                "-i",
                                out.string(),
                                "-f",
                                "rawvideo",
                                "-pix_fmt",
                                "bgra",
                                "-s",
                                std::to_string(frames[0]->width) + "x" + std::to_string(frames[0]->height),
                                "-r",
                                "60",
                                "-i",
                                reference.string(),
                                "-lavfi",
                                "[0:v][1:v]ssim;[0:v][1:v]psnr",
                                "-f",
                                "null",
                                "-"},
                               {{}, 120s, std::nullopt, std::nullopt});
    // "... SSIM Y:... All:0.968655 (15.038270)" and "... PSNR y:... average:41.141723 min:..."
    auto figure = [&](const std::string& line, const std::string& key) {
        auto at = compared.err.find(line);
        at = at == std::string::npos ? at : compared.err.find(key, at);
        if (at == std::string::npos) {
            return std::string("?");
        }
        at += key.size();
        return compared.err.substr(at, compared.err.find_first_of(" \n", at) - at);
    };
    encoded.quality = "SSIM " + figure("SSIM Y:", "All:") + ", PSNR " + figure("PSNR y:", "average:") + " dB";
    return encoded;
}

// A still screen changes all at once: how long until the first byte of the frame that shows it
// reaches the client, and where that time went. Milliseconds, one row per change.
struct ChangeTimes {
    std::vector<double> total, tick, grab, convert, encode, send;
};

ChangeTimes changeToWire(int changes) {
    OurStream stream;
    Display* d = XOpenDisplay(nullptr);
    GC gc = XCreateGC(d, DefaultRootWindow(d), 0, nullptr);
    auto w = static_cast<unsigned>(DisplayWidth(d, 0)), h = static_cast<unsigned>(DisplayHeight(d, 0));
    ChangeTimes out;
    // Pauses of no whole number of frame intervals, so changes fall at every phase of the capture's tick.
    std::mt19937 random(1);
    std::uniform_int_distribution<int> pause(150'000, 167'000);
    for (int i = 0; i < changes; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random))); // idle again: heartbeats only
        stream.times.take();
        auto before = std::chrono::steady_clock::now();
        XSetForeground(d, gc, i % 2 ? 0x204080 : 0x806020);
        XFillRectangle(d, DefaultRootWindow(d), gc, 0, 0, w, h);
        XSync(d, False);
        auto beforeNanos =
            std::chrono::duration_cast<std::chrono::nanoseconds>(before.time_since_epoch()).count();
        auto arrived = frameCapturedSince(*stream.reader, before);
        if (!arrived) {
            continue;
        }
        auto stages = stream.times.take();
        auto ms = [](std::int64_t nanos) { return static_cast<double>(nanos) / 1e6; };
        double total = std::chrono::duration<double, std::milli>(arrived->firstByteAt - before).count();
        double tick = ms(static_cast<std::int64_t>(arrived->timestamp) - beforeNanos);
        auto stage = [&](StageTimes::Stage s) { return stages[static_cast<std::size_t>(s)].totalMs; };
        out.total.push_back(total);
        out.tick.push_back(tick);
        out.grab.push_back(stage(StageTimes::Stage::Grab));
        out.convert.push_back(stage(StageTimes::Stage::Convert));
        out.encode.push_back(stage(StageTimes::Stage::Encode));
        out.send.push_back(total - tick - out.grab.back() - out.convert.back() - out.encode.back());
    }
    XFreeGC(d, gc);
    XCloseDisplay(d);
    return out;
}

// ffmpeg's x11grab → libx265 with the same settings, as MPEG-TS on a pipe so each frame keeps its
// capture time (x11grab stamps frames with the wall clock; -copyts keeps it).
Result runFfmpeg(const std::string& size, const std::string& display, std::chrono::seconds window,
                 double& cpu) {
    std::vector<std::string> args{
        "ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "x11grab", "-framerate", "60", "-video_size",
        size, "-i", display, "-c:v", "libx265", "-preset", "ultrafast", "-tune", "zerolatency",
        "-x265-params", "bframes=0:open-gop=0:log-level=error", "-pix_fmt", "yuv422p10le", "-b:v", "45M",
        "-g", "120",
        // and a keyframe at least every 2 s, as ours
        "-force_key_frames", "expr:if(isnan(prev_forced_t),1,gte(t,prev_forced_t+2))", "-copyts", "-muxdelay",
        "0", "-muxpreload", "0", "-flush_packets", "1", "-f", "mpegts", "pipe:1"};
    int out[2];
    if (::pipe(out) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);

    std::atomic<bool> measuring{false};
    std::vector<double> latencies;
    int keyframes = 0;
    std::thread reader([&] {
        std::string pending;
        char chunk[65536];
        std::uint64_t pesPts = 0; // the frame being received
        bool hasPts = false;
        auto finish = [&](std::chrono::system_clock::time_point lastByte) {
            if (hasPts && measuring) {
                auto now90k = static_cast<std::uint64_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(lastByte.time_since_epoch())
                        .count() *
                    9 / 100);
                std::uint64_t delta = (now90k - pesPts) & ((1ULL << 33) - 1);
                latencies.push_back(static_cast<double>(delta) / 90.0);
            }
        };
        std::chrono::system_clock::time_point lastByte;
        for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) {
            auto now = std::chrono::system_clock::now();
            pending.append(chunk, static_cast<std::size_t>(n));
            std::size_t at = 0;
            for (; pending.size() - at >= 188; at += 188) {
                auto* p = reinterpret_cast<const unsigned char*>(pending.data() + at);
                unsigned pidField = ((p[1] & 0x1f) << 8) | p[2];
                if (p[0] != 0x47 || pidField == 0 || pidField == 0x1fff || pidField >= 0x1000) {
                    continue; // sync loss, PAT, padding, PMT
                }
                std::size_t payload = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
                bool start = p[1] & 0x40;
                if (start && payload + 14 <= 188 && p[payload] == 0 && p[payload + 1] == 0 &&
                    p[payload + 2] == 1 && (p[payload + 3] & 0xf0) == 0xe0) {
                    finish(lastByte);
                    const unsigned char* h = p + payload;
                    // A keyframe starts with its parameter sets or is an IDR/CRA picture.
                    for (std::size_t i = payload + 9 + h[8]; measuring && i + 3 < 188; ++i) {
                        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
                            int type = (p[i + 3] >> 1) & 0x3f;
                            if (type == 32 || (type >= 19 && type <= 21)) {
                                ++keyframes;
                                break;
                            }
                            if (type < 32) {
                                break; // the picture itself, not a keyframe
                            }
                        }
                    }
                    hasPts = (h[7] & 0x80) != 0;
                    if (hasPts) {
                        pesPts = (static_cast<std::uint64_t>((h[9] >> 1) & 7) << 30) |
                                 (std::uint64_t(h[10]) << 22) | (std::uint64_t(h[11] >> 1) << 15) |
                                 (std::uint64_t(h[12]) << 7) | (h[13] >> 1);
                    }
                }
                lastByte = now;
            }
            pending.erase(0, at);
        }
    });
    std::this_thread::sleep_for(1500ms);
    double cpuStart = cpuSecondsOfProcess(pid);
    measuring = true;
    std::this_thread::sleep_for(window);
    measuring = false;
    cpu = cpuSecondsOfProcess(pid) - cpuStart;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    reader.join();
    ::close(out[0]);
    return {static_cast<double>(latencies.size()) / static_cast<double>(window.count()), keyframes,
            percentile(latencies, 0.5), percentile(latencies, 0.99)};
}

// "median [lowest–highest]" of one figure over the runs.
std::string spread(std::vector<double> values, const char* format) {
    std::sort(values.begin(), values.end());
    auto text = [format](double value) {
        char out[32];
        std::snprintf(out, sizeof out, format, value);
        return std::string(out);
    };
    return text(percentile(values, 0.5)) + " [" + text(values.front()) + "–" + text(values.back()) + "]";
}

struct Runs {
    std::vector<double> fps, medianMs, p99Ms, cpu;
    void add(const Result& r, double cpuSeconds, std::chrono::seconds window) {
        fps.push_back(r.fps);
        medianMs.push_back(r.medianMs);
        p99Ms.push_back(r.p99Ms);
        cpu.push_back(100 * cpuSeconds / static_cast<double>(window.count()));
    }
};

} // namespace

int main(int argc, char** argv) {
    std::chrono::seconds window(argc > 1 ? std::atoi(argv[1]) : 10);
    int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::string only = argc > 3 ? argv[3] : "";           // one size, and only its streams
    Log::shared().setSink([](std::string_view, bool) {}); // the host's lines would drown the figures
    std::printf(
        "screen_bench: %lld s per run, %d runs, ours / ffmpeg (x11grab → libx265 ultrafast zerolatency, "
        "no B-frames, yuv422p10le, 45 Mbit/s); median [lowest–highest]\n",
        static_cast<long long>(window.count()), runs);
    using Kind = bench::DesktopContent::Kind;
    for (std::string size : {"1920x1080", "2880x1800"}) {
        if (!only.empty() && size != only) {
            continue;
        }
        test::PrivateXvfb xvfb(size + "x24");
        pid_t server = xvfbPid();
        for (auto [kind, name] :
             {std::pair{Kind::Desktop, "desktop"}, std::pair{Kind::FlatFill, "flat fill"}}) {
            Runs ours, theirs;
            std::vector<double> drawn;
            std::array<StageTimes::Figure, StageTimes::stageCount> stages{};
            for (int run = 0; run < runs; ++run) {
                // Each pipeline gets the content from its start, and they take turns going first.
                for (bool oursNow : {run % 2 == 0, run % 2 != 0}) {
                    bench::DesktopContent content(kind);
                    double cpu = 0;
                    if (oursNow) {
                        auto r = runOurs(window, cpu);
                        ours.add(r, cpu, window);
                        for (std::size_t i = 0; i < stages.size(); ++i) {
                            stages[i].count += r.stages[i].count;
                            stages[i].totalMs += r.stages[i].totalMs;
                            stages[i].maxMs = std::max(stages[i].maxMs, r.stages[i].maxMs);
                        }
                    } else {
                        auto r = runFfmpeg(size, xvfb.name(), window, cpu);
                        theirs.add(r, cpu, window);
                    }
                    drawn.push_back(content.framesPerSecond());
                }
            }
            std::printf(
                "%s %s (drawn at %s fps): fps %s / %s; capture-to-wire median %s / %s ms, p99 %s / %s ms; "
                "CPU %s / %s %%\n",
                size.c_str(), name, spread(drawn, "%.1f").c_str(), spread(ours.fps, "%.1f").c_str(),
                spread(theirs.fps, "%.1f").c_str(), spread(ours.medianMs, "%.1f").c_str(),
                spread(theirs.medianMs, "%.1f").c_str(), spread(ours.p99Ms, "%.0f").c_str(),
                spread(theirs.p99Ms, "%.0f").c_str(), spread(ours.cpu, "%.0f").c_str(),
                spread(theirs.cpu, "%.0f").c_str());
            // The machine's own drift moves both alike; the ratio within a run is steadier.
            std::vector<double> ratio;
            for (std::size_t i = 0; i < ours.fps.size(); ++i) {
                ratio.push_back(theirs.fps[i] > 0 ? ours.fps[i] / theirs.fps[i] : 0);
            }
            std::printf("  ours / ffmpeg fps within a run: %s\n", spread(ratio, "%.2f").c_str());
            std::printf("  ours per frame:");
            for (std::size_t i = 0; i < stages.size(); ++i) {
                auto& f = stages[i];
                std::printf(" %s %.1f ms (max %.1f)%s", StageTimes::name(static_cast<StageTimes::Stage>(i)),
                            f.count ? f.totalMs / static_cast<double>(f.count) : 0.0, f.maxMs,
                            i + 1 < stages.size() ? ";" : "\n");
            }
            std::fflush(stdout);
        }
        if (!only.empty()) {
            continue;
        }
        auto changes = changeToWire(40);
        std::printf("%s full-screen change on a still screen to the first byte on the wire (ours, n=%zu): "
                    "p50 %.1f ms, p90 %.1f ms, max %.1f ms\n"
                    "  medians: waiting for the tick %.1f, grab %.1f, conversion %.1f, encode %.1f, "
                    "to the client %.1f ms\n",
                    size.c_str(), changes.total.size(), percentile(changes.total, 0.5),
                    percentile(changes.total, 0.9), percentile(changes.total, 1.0),
                    percentile(changes.tick, 0.5), percentile(changes.grab, 0.5),
                    percentile(changes.convert, 0.5), percentile(changes.encode, 0.5),
                    percentile(changes.send, 0.5));
        double oursCpu = 0, theirCpu = 0;
        double xOurs0 = cpuSecondsOfProcess(server);
        runOurs(window, oursCpu);
        double xOurs = cpuSecondsOfProcess(server) - xOurs0;
        double xTheirs0 = cpuSecondsOfProcess(server);
        runFfmpeg(size, xvfb.name(), window, theirCpu);
        double xTheirs = cpuSecondsOfProcess(server) - xTheirs0;
        std::printf("%s still: CPU %.1f%% / %.1f%% of a core (the X server meanwhile: %.1f%% / %.1f%%, "
                    "including start-up)\n",
                    size.c_str(), 100 * oursCpu / static_cast<double>(window.count()),
                    100 * theirCpu / static_cast<double>(window.count()),
                    100 * xOurs / static_cast<double>(window.count() + 2),
                    100 * xTheirs / static_cast<double>(window.count() + 2));
        std::fflush(stdout);
        if (size == "1920x1080") {
            test::TempDir dir;
            auto frames = captureDesktopFrames(120);
            {
                std::ofstream reference(dir / "reference.bgra", std::ios::binary);
                for (const auto& f : frames) {
                    reference.write(reinterpret_cast<const char*>(f->pixels.data()),
                                    static_cast<std::streamsize>(f->pixels.size()));
                }
            }
            // How steady the machine itself is: one job, the same frames, encoded again and again.
            std::vector<double> again;
            for (int i = 0; i < runs; ++i) {
                again.push_back(encodeAll(frames, {0.0}, {}, dir / "out.hevc").msPerFrame);
            }
            std::printf(
                "%s this machine: the same 120 frames encoded back to back %d times: %s ms per frame\n",
                size.c_str(), runs, spread(again, "%.1f").c_str());
            for (double quality : {0.0, 18.0, 23.0, 28.0}) {
                auto e = encodeAll(frames, {quality}, dir / "reference.bgra", dir / "out.hevc");
                std::printf("%s rate control %s on 120 captured desktop frames (ours, back to back): encode "
                            "%.1f ms per frame (median), %.1f Mbit/s at 60 fps; %s\n",
                            size.c_str(),
                            quality > 0 ? ("constant quality " + std::to_string(static_cast<int>(quality)) +
                                           " capped at 45 Mbit/s")
                                              .c_str()
                                        : "average 45 Mbit/s",
                            e.msPerFrame, e.mbitPerSecond, e.quality.c_str());
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
