// The LAN screen stream against a real X server and a real decoder: capture → HEVC → media
// server → a client, and the ceiling on the loop's clock.
#include "activity/event_log.hpp"
#include "core/task_pool.hpp"
#include "net/io_thread.hpp"
#include "screen/hevc_nal.hpp"
#include "screen/media_server.hpp"
#include "screen/screen_capture_manager.hpp"
#include "screen/screen_session_limit.hpp"
#include "screen/screen_stream_manager.hpp"
#include "screen/screen_support.hpp"
#include "screen/video_encoder_h265.hpp"
#include "screen/x11_screen_source.hpp"
#include "signaling/signaling_message.hpp"
#include "support/test_support.hpp"

#include <array>
#include <condition_variable>
#include <poll.h>
#include <random>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;
using Messages = std::vector<client::MediaReader::Message>;

namespace {

TEST(ScreenFormat, SizesHeadersAndNalUnitsAreExact) {
    auto size = [](int w, int h) {
        auto s = deliveredSize(w, h);
        return std::pair{s.width, s.height};
    };
    EXPECT_EQ(size(3456, 2234), (std::pair{2880, 1862}));
    EXPECT_EQ(size(5120, 2880), (std::pair{2880, 1620}));
    EXPECT_EQ(size(3024, 1964), (std::pair{2880, 1870}));
    EXPECT_EQ(size(2560, 1600), (std::pair{2560, 1600}));
    EXPECT_EQ(size(1001, 601), (std::pair{1000, 600}));
    EXPECT_EQ(size(1800, 3200), (std::pair{1620, 2880}));

    EXPECT_EQ(MediaServer::header(MediaServer::Type::Heartbeat, 0, 0, 0),
              std::string(14, '\0').replace(4, 1, "\x02"));
    EXPECT_EQ(MediaServer::header(MediaServer::Type::VideoFrame, 1, 123456789, 5000),
              std::string("\x00\x00\x13\x88\x01\x01\x00\x00\x00\x00\x07\x5B\xCD\x15", 14));
    EXPECT_EQ(MediaServer::parameterSetMessage({"ab", "c"}), std::string("\0\0\0\x0b\0\0\0\0\0\0\0\0\0\0"
                                                                         "\0\0\0\x02"
                                                                         "ab\0\0\0\x01"
                                                                         "c",
                                                                         25));

    // VPS, SPS, PPS apart in order; the access unit delimiter dropped; 3- and 4-byte start
    // codes and trailing zeros handled.
    std::string annexB = std::string("\0\0\0\1\x46\x01\x10", 7) + std::string("\0\0\0\1\x40\x01\xaa", 7) +
                         std::string("\0\0\1\x42\x01\xbb", 6) + std::string("\0\0\1\x44\x01\xcc\0", 7) +
                         std::string("\0\0\0\1\x26\x01\xde\xad", 8);
    auto unit = fromAnnexB(annexB);
    EXPECT_EQ(unit.parameterSets, (std::vector<std::string>{"\x40\x01\xaa", "\x42\x01\xbb", "\x44\x01\xcc"}));
    EXPECT_EQ(unit.nalUnits, std::string("\0\0\0\4\x26\x01\xde\xad", 8));
    // And back, a unit cut short left out.
    EXPECT_EQ(toAnnexB(unit.nalUnits + std::string("\0\0\0\x09\x26", 5)),
              std::string("\0\0\0\1\x26\x01\xde\xad", 8));
}

// Each part of the picture decodes in the colours it was captured in: a grid of cells whose rows
// cross the conversion's strips, on a height that leaves a short last strip.
TEST(VideoEncoder, DecodedColoursMatchTheCapturedOnesAcrossThePicture) {
    constexpr int w = 640, h = 360, cellW = 40, cellH = 24, margin = 4;
    auto colourOf = [](int cx, int cy) {
        auto seed = static_cast<std::uint32_t>(cy * 97 + cx * 31 + 7) * 2654435761u;
        return std::array<std::uint8_t, 3>{static_cast<std::uint8_t>(seed >> 8),
                                           static_cast<std::uint8_t>(seed >> 16),
                                           static_cast<std::uint8_t>(seed >> 24)};
    };
    auto frame = std::make_shared<VideoFrame>();
    frame->resize(w, h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            auto c = colourOf(x / cellW, y / cellH);
            std::copy(c.begin(), c.end(), frame->row(y) + 4 * x);
            frame->row(y)[4 * x + 3] = 0xff;
        }
    }
    VideoEncoderH265 encoder({"libx265"});
    std::mutex mutex;
    std::condition_variable changed;
    bool idle = false;
    std::string annexB;
    encoder.setOnParameterSets([&](const std::vector<std::string>& sets) {
        for (const auto& set : sets) {
            annexB += std::string("\0\0\0\1", 4) + set;
        }
    });
    encoder.setOnEncodedFrame([&](std::string units, bool, std::int64_t) { annexB += toAnnexB(units); });
    encoder.setOnIdle([&] {
        std::lock_guard lock(mutex);
        idle = true;
        changed.notify_all();
    });
    encoder.encode(frame, 1, true);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return idle; }));
    }
    encoder.invalidate();

    TempDir dir;
    std::ofstream(dir / "grid.hevc", std::ios::binary) << annexB;
    auto decoded =
        runProcess({"ffmpeg", "-v", "error", "-f", "hevc", "-i", (dir / "grid.hevc").string(), "-frames:v",
                    "1", "-f", "rawvideo", "-pix_fmt", "bgra", (dir / "grid.bgra").string()});
    ASSERT_TRUE(decoded.succeeded()) << decoded.err;
    std::ifstream in(dir / "grid.bgra", std::ios::binary);
    std::string pixels((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(w) * h * 4);
    // Away from the edges, where chroma is shared with the neighbour, a cell is its colour give or
    // take rounding and the encoder's loss.
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (x % cellW < margin || x % cellW >= cellW - margin || y % cellH < margin ||
                y % cellH >= cellH - margin) {
                continue;
            }
            auto want = colourOf(x / cellW, y / cellH);
            for (int i = 0; i < 3; ++i) {
                int got = static_cast<unsigned char>(pixels[(static_cast<std::size_t>(y) * w + x) * 4 + i]);
                ASSERT_NEAR(got, want[i], 8) << "channel " << i << " at " << x << "," << y;
            }
        }
    }
}

// A host's screen stream with everything real but the signaling connection.
class StreamTest : public ::testing::Test {
protected:
    explicit StreamTest(const std::string& size = "1280x720x24") : xvfb(size) {}

    void SetUp() override {
        events = EventLog::create(loop, pool, std::nullopt);
        capture = std::make_unique<ScreenCaptureManager>(
            ScreenCaptureManager::Dependencies{loop, [] { return std::make_unique<X11ScreenSource>(); },
                                               [this] { ++watcherStarts; }, [this] { ++watcherStops; }});
        manager = std::make_unique<ScreenStreamManager>(ScreenStreamManager::Dependencies{
            loop, io.context(), *events, *capture,
            [] { return std::make_unique<VideoEncoderH265>(std::vector<std::string>{"libx265"}); },
            [this](const SignalingMessage& m) { sent.push_back(m); }, [this] { return peer; },
            [this] { ++privacyOffs; }});
    }
    void TearDown() override {
        manager->stop();
        loop.runPending();
    }

    std::uint16_t startAndAnnounce() {
        manager->start();
        EXPECT_FALSE(sent.empty());
        EXPECT_EQ(sent.back().type, "media_port");
        return static_cast<std::uint16_t>(sent.back().port.value_or(0));
    }
    std::unique_ptr<client::MediaReader> connect(std::uint16_t port, const std::string& from = {}) {
        auto reader = client::MediaReader::connect("127.0.0.1", port, from);
        EXPECT_TRUE(reader);
        return reader;
    }
    bool waitFor(client::MediaReader& reader, const std::function<bool(const Messages&)>& done) {
        return pumpUntil(
            loop, [&] { return reader.waitFor(done, 1ms); }, 30s);
    }
    void drawUntil(client::MediaReader& reader, const std::function<bool(const Messages&)>& done) {
        for (int i = 0; i < 1000 && !reader.waitFor(done, 20ms); ++i) {
            fillOnRoot(0x102030 * (i % 7 + 1), (i * 29) % 1000, (i * 17) % 600, 160, 100);
            loop.runPending();
        }
        ASSERT_TRUE(reader.waitFor(done, 1ms));
    }
    static bool hasKeyframes(const Messages& m, int n) {
        return std::count_if(m.begin(), m.end(), [](auto& x) { return x.type == 1 && x.flags == 1; }) >= n;
    }

    PrivateXvfb xvfb;
    HostLoop loop{HostLoop::TimeMode::Manual};
    IoThread io;
    TaskPool pool{1};
    std::shared_ptr<EventLog> events;
    std::unique_ptr<ScreenCaptureManager> capture;
    std::unique_ptr<ScreenStreamManager> manager;
    std::vector<SignalingMessage> sent;
    std::optional<std::string> peer = "::ffff:127.0.0.1";
    int watcherStarts = 0, watcherStops = 0, privacyOffs = 0;
    TempDir dir;
    LogCapture logs;
};

TEST_F(StreamTest, AChangingScreenArrivesAsDecodableHevcAndAStillOneOnlyAsHeartbeats) {
    auto port = startAndAnnounce();
    EXPECT_TRUE(manager->isRunning());
    EXPECT_EQ(watcherStarts, 1);
    auto reader = connect(port);
    ASSERT_TRUE(waitFor(*reader, [](auto& m) { return hasKeyframes(m, 1); }));

    // Nothing moves: after the first keyframe only heartbeats, one per second of loop time.
    auto videoBefore = countOf(reader->messages(), 1);
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(100ms);
        loop.runPending();
        loop.advance(1s);
    }
    ASSERT_TRUE(waitFor(*reader, [](auto& m) { return countOf(m, 2) >= 3; }));
    EXPECT_EQ(countOf(reader->messages(), 1), videoBefore);

    // Drawing goes on until 15 more frames came; how many it takes depends on the machine's load.
    drawUntil(*reader, [&](auto& m) { return countOf(m, 1) >= videoBefore + 15; });
    // "screen_start" again: the same stream, announced again, with a keyframe.
    manager->start();
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent.back().port, port);
    EXPECT_TRUE(
        logs.contains("🔁 PELORN: stream already running - re-announced media port " + std::to_string(port)));
    fillOnRoot(0xff0000, 0, 0, 50, 50);
    ASSERT_TRUE(waitFor(*reader, [](auto& m) { return hasKeyframes(m, 2); }));
    manager->stop();
    EXPECT_FALSE(manager->isRunning());
    loop.runPending();
    EXPECT_EQ(privacyOffs, 1);
    EXPECT_GE(watcherStops, 1);

    auto messages = reader->messages();
    expectWellFormed(messages);
    auto probe = ffprobe(client::MediaReader::annexB(messages), dir / "stream.hevc");
    EXPECT_EQ(probe.errors, "");
    EXPECT_EQ(probe.stream["codec_name"], "hevc");
    EXPECT_EQ(probe.stream["width"], "1280");
    EXPECT_EQ(probe.stream["height"], "720");
    EXPECT_EQ(probe.stream["pix_fmt"], "yuv422p10le"); // Main 4:2:2 10
    EXPECT_EQ(probe.stream["nb_read_frames"], std::to_string(countOf(messages, 1)));
    EXPECT_TRUE(logs.contains("🎥 PELORN ENCODER: HEVC 4:2:2 (Main42210) 1280x720 @60fps target=45Mbps "
                              "effective=45Mbps RC=CBR+lowLatency GOP=2.0s hardware=false"));
    EXPECT_TRUE(logs.contains("🎬 PELORN CAPTURE: 1280x720 (native 1280x720, scale 1.0) @60fps fmt=BGRA "
                              "(full-chroma source)"));
    EXPECT_TRUE(logs.contains(
        "🖼️ PELORN first captured frame delivered (1280x720) - capture pipeline is live."));
    EXPECT_EQ(logs.count("🟢 PELORN: VideoToolbox HEVC stream started"), 1);
    EXPECT_EQ(logs.count("⏹ PELORN: VideoToolbox HEVC stream stopped"), 1);
}

TEST_F(StreamTest, ANewClientGetsAKeyframeFirstAndOnlyTheAuthorisedPeersAddressIsServed) {
    auto port = startAndAnnounce();
    auto first = connect(port);
    ASSERT_TRUE(waitFor(*first, [](auto& m) { return hasKeyframes(m, 1); }));

    auto stranger = connect(port, "127.0.0.2");
    ASSERT_TRUE(pumpUntil(loop, [&] { return stranger->closed(); }));
    EXPECT_TRUE(logs.contains("🔒 PELORN MEDIA: refused ::ffff:127.0.0.2 - not the authenticated peer"));
    EXPECT_FALSE(first->closed());
    EXPECT_TRUE(stranger->messages().empty());

    auto second = connect(port);
    ASSERT_TRUE(pumpUntil(loop, [&] { return first->closed(); }));
    // The screen stands still, yet the new client's stream starts with parameter sets and a keyframe.
    ASSERT_TRUE(waitFor(*second, [](auto& m) { return hasKeyframes(m, 1); }));
    auto messages = second->messages();
    std::erase_if(messages, [](auto& m) { return m.type == 2; });
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0].type, 0);
    EXPECT_EQ(messages[1].type, 1);
    EXPECT_EQ(messages[1].flags, 1);
    EXPECT_EQ(ffprobe(client::MediaReader::annexB(messages), dir / "second.hevc").errors, "");

    // The authorised client leaves: its media connection goes, and nobody may take its place.
    peer.reset();
    manager->peerChanged();
    ASSERT_TRUE(pumpUntil(loop, [&] { return second->closed(); }));
    auto late = connect(port);
    ASSERT_TRUE(pumpUntil(loop, [&] { return late->closed(); }));
    EXPECT_TRUE(late->messages().empty());
    // It comes back from another address: the media port follows it there.
    peer = "::ffff:127.0.0.2";
    manager->peerChanged();
    auto returned = connect(port, "127.0.0.2");
    ASSERT_TRUE(waitFor(*returned, [](auto& m) { return hasKeyframes(m, 1); }));
}

class LargeDisplayTest : public StreamTest {
protected:
    LargeDisplayTest() : StreamTest("3200x2000x24") {}
};

TEST_F(LargeDisplayTest, IsDeliveredWithItsLongEdgeCapped) {
    auto reader = connect(startAndAnnounce());
    ASSERT_TRUE(waitFor(*reader, [](auto& m) { return hasKeyframes(m, 1); }));
    drawUntil(*reader, [](auto& m) { return countOf(m, 1) >= 3; });
    manager->stop();
    auto probe = ffprobe(client::MediaReader::annexB(reader->messages()), dir / "large.hevc");
    EXPECT_EQ(probe.errors, "");
    EXPECT_EQ(probe.stream["width"], "2880");
    EXPECT_EQ(probe.stream["height"], "1800");
    EXPECT_TRUE(logs.contains("🎬 PELORN CAPTURE: 2880x1800 (native 3200x2000, scale 1.0) @60fps fmt=BGRA "
                              "(full-chroma source)"));
}

// Between ticks the capture waits on the source's notifier, so a change on a still screen is
// grabbed at once: a drawing must wake the notifier and the next poll must report it, while a
// screen nobody draws on leaves it quiet.
TEST(X11ScreenSource, ADrawingWakesTheChangeNotifierAndStillnessDoesNot) {
    PrivateXvfb xvfb("640x480x24");
    X11ScreenSource source;
    ASSERT_TRUE(std::holds_alternative<DisplayGeometry>(source.open()));
    auto frame = FramePool::create()->take(640, 480);
    ASSERT_TRUE(std::get<bool>(source.poll())); // never grabbed yet
    source.render(*frame);
    EXPECT_FALSE(std::get<bool>(source.poll()));
    pollfd notifier{source.changeNotifier(), POLLIN, 0};
    ASSERT_GE(notifier.fd, 0);
    EXPECT_FALSE(source.noticeWaiting());
    EXPECT_EQ(::poll(&notifier, 1, 100), 0);

    fillOnRoot(0xff0000, 10, 10, 50, 50);
    EXPECT_TRUE(source.noticeWaiting() || ::poll(&notifier, 1, 5000) == 1);
    EXPECT_TRUE(std::get<bool>(source.poll()));
}

TEST_F(StreamTest, CaptureStatesFollowStartStopAndFailure) {
    capture->start();
    capture->start();
    EXPECT_TRUE(logs.contains("🎬 PELORN CAPTURE: start ignored - capture already active"));
    // Stopped before the capture thread is up: the fresh stream is shut down when it arrives.
    capture->stop();
    EXPECT_FALSE(capture->isActive());
    ASSERT_TRUE(pumpUntil(loop, [&] {
        return logs.contains("⏹ PELORN CAPTURE: stopped during startup - shutting fresh stream down");
    }));
    EXPECT_FALSE(capture->isActive());

    std::atomic<int> frames{0};
    capture->setOnFrame([&](const FrameRef& f, std::int64_t, bool) { frames += f->width == 1280; });
    capture->start();
    ASSERT_TRUE(pumpUntil(loop, [&] { return frames >= 3; }));
    // The X server goes away under a running capture: logged, back to idle, no crash.
    xvfb.kill();
    ASSERT_TRUE(pumpUntil(loop, [&] { return !capture->isActive(); }));
    const auto logged = logs.lines();
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [](auto& l) {
        return l.starts_with("❌ PELORN CAPTURE: stream stopped itself: ");
    }));

    ::setenv("DISPLAY", ":999", 1);
    capture->start();
    ASSERT_TRUE(pumpUntil(loop, [&] { return !capture->isActive(); }));
    EXPECT_TRUE(logs.contains("❌ No display"));
    EXPECT_EQ(watcherStarts, watcherStops);
}

// A client that stops reading loses video until a keyframe, and the host holds a bounded backlog.
TEST(MediaBackPressure, AStalledClientCostsBoundedMemoryAndItsStreamDecodesAfterward) {
    HostLoop loop{HostLoop::TimeMode::Manual};
    IoThread io;
    LogCapture logs;
    TempDir dir;
    MediaServer server(loop, io.context());
    VideoEncoderH265 encoder({"libx265"});
    std::atomic<bool> keyframeOwed{false};
    encoder.setOnParameterSets([&](auto& sets) { server.sendParameterSets(sets); });
    encoder.setOnEncodedFrame(
        [&](std::string b, bool key, std::int64_t pts) { server.sendFrame(b, key, pts); });
    server.setOnKeyframeNeeded([&] { keyframeOwed = true; });
    server.setAllowedHost([] { return std::optional<std::string>("::ffff:127.0.0.1"); });
    std::uint16_t port = 0;
    server.start([&](std::uint16_t p) { port = p; });
    auto reader = client::MediaReader::connect("127.0.0.1", port, {}, 65536);
    ASSERT_TRUE(pumpUntil(loop, [&] { return logs.contains("📺 PELORN MEDIA: client connected"); }));

    // Noise, so every frame is large.
    auto pool = FramePool::create();
    std::mt19937 random(7);
    std::int64_t pts = 0;
    std::size_t mostQueued = 0;
    auto feed = [&](int frames) {
        for (int i = 0; i < frames; ++i) {
            auto frame = pool->take(640, 360);
            for (auto& byte : frame->pixels) {
                byte = static_cast<std::uint8_t>(random());
            }
            encoder.encode(frame, pts += 16'666'667, keyframeOwed.exchange(false));
            std::this_thread::sleep_for(15ms);
            loop.runPending();
            mostQueued = std::max(mostQueued, server.queuedBytes());
        }
    };
    feed(10);
    reader->pause(true);
    std::string behind =
        "⚠️ PELORN MEDIA: client is not keeping up - dropping video until the next keyframe";
    for (int round = 0; round < 60 && !logs.contains(behind); ++round) {
        feed(10);
    }
    ASSERT_TRUE(logs.contains(behind));
    feed(60);
    EXPECT_LE(mostQueued, MediaServer::maxQueuedBytes + 1024 * 1024);
    reader->pause(false);
    for (int round = 0; round < 40 && !keyframeOwed; ++round) {
        feed(1);
    }
    feed(20);
    encoder.invalidate();
    ASSERT_TRUE(
        reader->waitFor([&](auto& m) { return m.size() > 20 && m.back().timestamp == std::uint64_t(pts); }));
    EXPECT_EQ(logs.count(behind), 1);

    auto messages = reader->messages();
    expectWellFormed(messages);
    auto probe = ffprobe(client::MediaReader::annexB(messages), dir / "resumed.hevc");
    EXPECT_EQ(probe.errors, "");
    EXPECT_EQ(probe.stream["nb_read_frames"], std::to_string(countOf(messages, 1)));
    EXPECT_LT(countOf(messages, 1), static_cast<int>(pts / 16'666'667)) << "frames were dropped";
    server.stop();
}

TEST(ScreenSessionLimit, StopsTheSessionAtItsCeilingOnTheLoopsClock) {
    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
    auto events = EventLog::create(loop, pool, std::nullopt);
    LogCapture logs;
    ScreenSessionLimit limit(loop, *events);
    int reached = 0;
    limit.start(std::nullopt, [&] { ++reached; });
    EXPECT_TRUE(logs.contains("⏱️ PELORN: screen session capped at 2.00 h"));
    loop.advance(3600s);
    // A repeated "screen_start" restarts the two hours from that moment.
    limit.start(0, [&] { ++reached; });
    loop.advance(7199s);
    EXPECT_EQ(reached, 0);
    loop.advance(1s);
    EXPECT_EQ(reached, 1);
    EXPECT_TRUE(logs.contains("⏱️ PELORN: screen session hit its 2.00 h ceiling - stopping"));
    ASSERT_FALSE(events->events().get().empty());
    EXPECT_EQ(events->events().get().front().kind, LoggedEvent::Kind::ScreenStopped);
    EXPECT_EQ(events->events().get().front().detail, "reached the 2-hour limit");

    limit.start(5400, [&] { ++reached; });
    limit.stop();
    loop.advance(10000s);
    EXPECT_EQ(reached, 1);
    EXPECT_EQ(ScreenSessionLimit::label(5400), "1.5-hour");
    EXPECT_EQ(ScreenSessionLimit::label(3600), "1-hour");
}

} // namespace
