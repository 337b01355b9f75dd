#pragma once

// What the screen benchmarks share: our stream end to end (capture, encoder, media server, a client
// reading it over loopback) and the figures' arithmetic.
#include "activity/event_log.hpp"
#include "client/media_reader.hpp"
#include "core/task_pool.hpp"
#include "net/io_thread.hpp"
#include "screen/screen_capture_manager.hpp"
#include "screen/screen_stream_manager.hpp"
#include "screen/stage_times.hpp"
#include "screen/video_encoder_h265.hpp"
#include "screen/x11_screen_source.hpp"
#include "signaling/signaling_message.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace pelorn::bench {

using namespace std::chrono_literals;

struct Result {
    double fps = 0;
    int keyframes = 0;
    double medianMs = 0, p99Ms = 0;
    std::array<StageTimes::Figure, StageTimes::stageCount> stages{}; // ours only
};

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

inline double cpuSecondsOfProcess(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) {
            utime = std::stod(field);
        } else if (i == 15) {
            stime = std::stod(field);
        }
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline double cpuSecondsOfSelf() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

inline std::int64_t steadyNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Our stream: capture → encoder → media server, read by a client over loopback.
class OurStream {
public:
    // From the X display, or from what `makeSource` makes.
    explicit OurStream(std::function<std::unique_ptr<ScreenSource>()> makeSource = {})
        : capture({loop,
                   makeSource ? std::move(makeSource) : [] { return std::make_unique<X11ScreenSource>(); },
                   [] {}, [] {}, &times}) {
        loopThread = std::thread([this] {
            loop.attachToCurrentThread();
            loop.run();
        });
        loop.post([this] { manager.start(); });
        while (port == 0) {
            std::this_thread::sleep_for(1ms);
        }
        reader = client::MediaReader::connect("127.0.0.1", static_cast<std::uint16_t>(port.load()));
        std::this_thread::sleep_for(1500ms); // the encoder opens, the first keyframe goes out
    }
    ~OurStream() {
        loop.post([this] {
            manager.stop();
            loop.quit();
        });
        loopThread.join();
    }

    HostLoop loop;
    IoThread io;
    TaskPool pool{1};
    StageTimes times;
    std::shared_ptr<EventLog> events = EventLog::create(loop, pool, std::nullopt);
    ScreenCaptureManager capture;
    std::atomic<int> port{0};
    ScreenStreamManager manager{
        {loop, io.context(), *events, capture,
         [this] {
             auto encoder = std::make_unique<VideoEncoderH265>();
             encoder->setStageTimes(&times);
             return encoder;
         },
         [this](const SignalingMessage& m) { port = static_cast<int>(m.port.value_or(0)); },
         // The authorised client's address: the reader connects from loopback.
         [] { return std::optional<std::string>("::ffff:127.0.0.1"); }, [] {}}};
    std::unique_ptr<client::MediaReader> reader;
    std::thread loopThread;
};

// The first frame captured at or after `before` as it reached the client (within 2 s).
inline std::optional<client::MediaReader::Message>
frameCapturedSince(client::MediaReader& reader, std::chrono::steady_clock::time_point before) {
    auto beforeNanos =
        std::chrono::duration_cast<std::chrono::nanoseconds>(before.time_since_epoch()).count();
    std::optional<client::MediaReader::Message> arrived;
    reader.waitFor(
        [&](const std::vector<client::MediaReader::Message>& messages) {
            for (auto it = messages.rbegin(); it != messages.rend() && it->firstByteAt >= before; ++it) {
                if (it->type == 1 && static_cast<std::int64_t>(it->timestamp) >= beforeNanos) {
                    arrived = *it;
                }
            }
            return arrived.has_value();
        },
        2s);
    return arrived;
}

// The X server this benchmark started (its child, whatever display it took).
inline pid_t xvfbPid() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        auto close = text.rfind(')');
        if (close == std::string::npos || text.find("(Xvfb)") == std::string::npos) {
            continue;
        }
        std::istringstream rest(text.substr(close + 2));
        std::string state;
        pid_t parent = 0;
        if (rest >> state >> parent && parent == ::getpid()) {
            return std::stoi(entry.path().filename());
        }
    }
    return 0;
}

// Frames delivered while content changes. `cpu` gets the CPU seconds the process spent meanwhile.
inline Result runOurs(std::chrono::seconds window, double& cpu,
                      std::function<std::unique_ptr<ScreenSource>()> makeSource = {}) {
    OurStream stream(std::move(makeSource));
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<bool> measuring{false};
    int keyframes = 0;
    stream.reader->setOnMessage([&](const client::MediaReader::Message& m) {
        if (m.type == 1 && measuring) {
            std::lock_guard lock(mutex);
            keyframes += m.flags == 1;
            latencies.push_back(static_cast<double>(steadyNanos() - static_cast<std::int64_t>(m.timestamp)) /
                                1e6);
        }
    });
    double cpuStart = cpuSecondsOfSelf();
    stream.times.take();
    measuring = true;
    std::this_thread::sleep_for(window);
    measuring = false;
    cpu = cpuSecondsOfSelf() - cpuStart;
    auto stages = stream.times.take();
    std::lock_guard lock(mutex);
    return {static_cast<double>(latencies.size()) / static_cast<double>(window.count()), keyframes,
            percentile(latencies, 0.5), percentile(latencies, 0.99), stages};
}

} // namespace pelorn::bench
