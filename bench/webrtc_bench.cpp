// The WebRTC peer on its real engine, in a network namespace of its own with only loopback:
//   1. connect time: startStream → ICE connected → the first frame decoded by a webrtcbin client,
//      over RUNS sessions (p50, max);
//   2. the host's CPU for the H.264 track at 1080p30 and 1080p60 of moving content (frames pushed
//      with no client attached, so only the host's scaling, encoding and packetising count),
//      beside the reference of making the same frames without pushing them.
// Usage: webrtc_bench [RUNS [SECONDS]]   (default 10 runs, 10 s per rate); needs root.
#include "activity/event_log.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "signaling/connection_telemetry.hpp"
#include "signaling/signaling_message.hpp"
#include "support/test_support.hpp"
#include "support/webrtc_test_client.hpp"
#include "webrtc/gst_webrtc_engine.hpp"
#include "webrtc/webrtc_manager.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono;

namespace {

bool privateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return up;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Moving content: a gradient that shifts every frame, over a full NV12 frame.
struct Picture {
    Picture(int w, int h) : width(w), height(h), y(static_cast<std::size_t>(w * h)), uv(y.size() / 2, 128) {}
    VideoFrameView next() {
        ++tick;
        for (int row = 0; row < height; ++row) {
            std::memset(y.data() + static_cast<std::size_t>(row * width), (row + tick * 3) & 0xff,
                        static_cast<std::size_t>(width));
        }
        return {width, height, y, width, uv, width};
    }
    int width;
    int height;
    std::vector<std::uint8_t> y;
    std::vector<std::uint8_t> uv;
    int tick = 0;
};

struct Host {
    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
    Settings settings{std::nullopt};
    ConnectionTelemetry telemetry{settings};
    std::shared_ptr<EventLog> log = EventLog::create(loop, pool, std::nullopt);
    GstWebRTCEngine engine{loop};
};

// startStream → first decoded frame, in milliseconds; negative when it never came.
double connectOnce(Host& host, double& connectedMs) {
    LogCapture quiet;
    WebRTCTestClient client;
    std::vector<SignalingMessage> sent;
    WebRTCManager::FrameSink capture;
    WebRTCManager manager({host.loop,
                           host.engine,
                           host.telemetry,
                           *host.log,
                           {},
                           [&](WebRTCManager::FrameSink sink) { capture = std::move(sink); },
                           [&] { capture = nullptr; },
                           [] {},
                           [] {},
                           [&](const SignalingMessage& m) { sent.push_back(m); },
                           true});
    Picture picture(1280, 720);
    auto start = steady_clock::now();
    manager.startStream();
    manager.startScreen();
    std::size_t forwarded = 0;
    bool answered = false;
    connectedMs = -1;
    bool done = pumpUntil(
        host.loop,
        [&] {
            for (; forwarded < sent.size(); ++forwarded) {
                if (sent[forwarded].type == "offer") {
                    manager.applyAnswer(client.answer(*sent[forwarded].sdp));
                    answered = true;
                } else {
                    client.addCandidate(*sent[forwarded].sdpMLineIndex, *sent[forwarded].sdp);
                }
            }
            for (const auto& c : client.takeCandidates()) {
                manager.addRemoteCandidate(c.line, "video0", c.mLineIndex);
            }
            if (connectedMs < 0 && quiet.contains("🧊 ICE state: 3")) {
                connectedMs = duration<double, std::milli>(steady_clock::now() - start).count();
            }
            if (answered && capture) {
                capture(picture.next(), 0ns);
            }
            std::this_thread::sleep_for(2ms);
            return client.decodedFrames() > 0;
        },
        seconds(20));
    double ms = duration<double, std::milli>(steady_clock::now() - start).count();
    manager.stopStream();
    return done ? ms : -1;
}

// Cores used while pushing `fps` frames a second of 1080p for `seconds`.
double encodeCost(Host& host, int fps, int seconds, bool push) {
    LogCapture quiet;
    WebRTCManager::FrameSink capture;
    WebRTCManager manager({host.loop,
                           host.engine,
                           host.telemetry,
                           *host.log,
                           {},
                           [&](WebRTCManager::FrameSink sink) { capture = std::move(sink); },
                           [&] { capture = nullptr; },
                           [] {},
                           [] {},
                           [](const SignalingMessage&) {},
                           true});
    manager.startStream();
    host.loop.runPending();
    manager.startScreen();
    manager.applyProfile(VideoQualityProfile::direct, "bench");
    Picture picture(1920, 1080);
    auto interval = microseconds(1'000'000 / fps);
    auto begin = steady_clock::now();
    double cpuBefore = cpuSeconds();
    auto next = begin;
    while (steady_clock::now() - begin < std::chrono::seconds(seconds)) {
        auto frame = picture.next();
        if (push) {
            capture(frame, 0ns);
        }
        host.loop.runPending();
        next += interval;
        std::this_thread::sleep_until(next);
    }
    double cores = (cpuSeconds() - cpuBefore) / duration<double>(steady_clock::now() - begin).count();
    manager.stopStream();
    return cores;
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    if (!privateNetwork()) {
        std::fprintf(stderr, "webrtc_bench: cannot make a network namespace (run it as root)\n");
        return 1;
    }
    if (auto missing = GstWebRTCEngine::missingElements()) {
        std::fprintf(stderr, "webrtc_bench: %s\n", missing->c_str());
        return 1;
    }
    Host host;
    std::vector<double> connect;
    std::vector<double> ice;
    for (int i = 0; i < runs; ++i) {
        double connectedMs = -1;
        double ms = connectOnce(host, connectedMs);
        if (ms < 0) {
            std::fprintf(stderr, "webrtc_bench: run %d never decoded a frame\n", i);
            return 1;
        }
        connect.push_back(ms);
        ice.push_back(connectedMs);
    }
    std::sort(connect.begin(), connect.end());
    std::sort(ice.begin(), ice.end());
    std::printf("startStream -> ICE completed:          p50 %6.1f ms  max %6.1f ms  (%d runs)\n",
                ice[ice.size() / 2], ice.back(), runs);
    std::printf(
        "startStream -> first frame decoded:    p50 %6.1f ms  max %6.1f ms  (%d runs, aim < 1000 ms)\n",
        connect[connect.size() / 2], connect.back(), runs);
    for (int fps : {30, 60}) {
        double reference = encodeCost(host, fps, seconds, false);
        double cost = encodeCost(host, fps, seconds, true);
        std::printf("1080p%d moving content: %.2f cores (making the frames alone: %.2f; the track: %.2f)\n",
                    fps, cost, reference, cost - reference);
    }
    return 0;
}
