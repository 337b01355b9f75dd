#pragma once

// A WebRTC session between the host's manager on the real engine and a webrtcbin client, both in
// this process, for tests and the benchmark: the manager's messages reach the client and the
// client's candidates the manager, and frames of a moving picture go into the screen track.
#include "activity/event_log.hpp"
#include "core/process_runner.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "signaling/connection_telemetry.hpp"
#include "signaling/signaling_message.hpp"
#include "support/test_support.hpp"
#include "support/webrtc_test_client.hpp"
#include "webrtc/gst_webrtc_engine.hpp"
#include "webrtc/webrtc_manager.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pelorn::test {

// Moves this process into a network namespace of its own with only loopback up, so nothing its
// peers send can leave the machine. Call before any thread exists (they inherit it). Empty when
// done; else why not (it needs root).
inline std::string enterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        return std::string("cannot make a network namespace (needs root): ") + std::strerror(errno);
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    std::string why = up ? "" : std::string("cannot bring up loopback: ") + std::strerror(errno);
    if (fd >= 0) {
        close(fd);
    }
    return why;
}

// An NV12 picture whose luma moves every frame, so that every frame differs.
struct MovingPicture {
    MovingPicture(int w, int h)
        : width(w), height(h), y(static_cast<std::size_t>(w * h)), uv(y.size() / 2, 128) {}
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

// The real engine, with the test's say on how peers gather: relayed candidates only, when asked.
struct TestEngine final : WebRTCEngine {
    explicit TestEngine(HostLoop& loop) : real(loop) {}
    std::vector<VideoCodec> supportedVideoCodecs() const override { return real.supportedVideoCodecs(); }
    void setPreferredVideoCodec(const VideoCodec& codec) override { real.setPreferredVideoCodec(codec); }
    std::unique_ptr<PeerConnection> createPeerConnection(const PeerConfiguration& configuration,
                                                         PeerConnection::Events events) override {
        auto configured = configuration;
        configured.relayOnly = relayOnly;
        return real.createPeerConnection(configured, std::move(events));
    }
    GstWebRTCEngine real;
    bool relayOnly = false;
};

// coturn on loopback for one test, with one long-term user; it relays to loopback peers, which is
// where the client is. Ready once its UDP port is bound.
class LocalTurnServer {
public:
    static constexpr int port = 3478;
    static inline const std::string user = "pelorn";
    static inline const std::string secret = "relay-secret";

    LocalTurnServer() {
        std::vector<std::string> args{"turnserver",
                                      "-n",
                                      "--listening-ip=127.0.0.1",
                                      "--relay-ip=127.0.0.1",
                                      "--listening-port=" + std::to_string(port),
                                      "--lt-cred-mech",
                                      "--user=" + user + ":" + secret,
                                      "--realm=pelorn.test",
                                      "--allow-loopback-peers",
                                      "--no-tls",
                                      "--no-dtls",
                                      "--no-cli",
                                      "--log-file=stdout"};
        auto argv = cStrings(args);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        mStarted = posix_spawnp(&mPid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~LocalTurnServer() {
        if (mStarted) {
            ::kill(mPid, SIGTERM);
            ::waitpid(mPid, nullptr, 0);
        }
    }
    // Whether it listens, waiting up to `limit`.
    bool ready(std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        char bound[32];
        std::snprintf(bound, sizeof bound, "0100007F:%04X", port);
        for (auto end = std::chrono::steady_clock::now() + limit;
             mStarted && std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            std::ifstream udp("/proc/net/udp");
            for (std::string line; std::getline(udp, line);) {
                if (line.find(bound) != std::string::npos) {
                    return true;
                }
            }
        }
        return false;
    }
    IceServer iceServer() const {
        return {{"turn:127.0.0.1:" + std::to_string(port) + "?transport=udp"}, user, secret};
    }

private:
    pid_t mPid = -1;
    bool mStarted = false;
};

struct WebRTCSession {
    WebRTCManager::Dependencies dependencies() {
        return {loop,
                engine,
                telemetry,
                *log,
                [this] { return iceServers; },
                [this](WebRTCManager::FrameSink sink) { capture = std::move(sink); },
                [this] { capture = nullptr; },
                [] {},
                [] {},
                [this](const SignalingMessage& m) { sent.push_back(m); },
                true};
    }

    // Hands on what each side said since the last call: offers are answered, candidates added.
    void exchange() {
        for (; handled < sent.size(); ++handled) {
            if (sent[handled].type == "offer") {
                manager.applyAnswer(client.answer(*sent[handled].sdp));
            } else if (sent[handled].sdp && sent[handled].sdpMLineIndex) {
                client.addCandidate(*sent[handled].sdpMLineIndex, *sent[handled].sdp);
            }
        }
        for (const auto& c : client.takeCandidates()) {
            manager.addRemoteCandidate(c.line, "video0", c.mLineIndex);
        }
    }
    // One exchange and, once the screen is on, one frame.
    void step(MovingPicture& picture) {
        exchange();
        if (capture) {
            capture(picture.next(), std::chrono::nanoseconds(0));
        }
    }

    HostLoop loop{HostLoop::TimeMode::Manual};
    LogCapture lines;
    TaskPool pool{1};
    Settings settings{std::nullopt};
    ConnectionTelemetry telemetry{settings};
    std::shared_ptr<EventLog> log = EventLog::create(loop, pool, std::nullopt);
    TestEngine engine{loop};
    std::vector<IceServer> iceServers;
    WebRTCTestClient client;
    std::vector<SignalingMessage> sent;
    std::size_t handled = 0;
    WebRTCManager::FrameSink capture;
    WebRTCManager manager{dependencies()};
};

} // namespace pelorn::test
