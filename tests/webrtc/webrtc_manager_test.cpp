// The WebRTC peer's own behaviour over an engine the test drives: the offer and its H.264 level,
// candidates buffered until the answer, local candidates to the signal sender, frames and the
// source fitting, ICE restarts and their limit, the path and the profile that follows it.
#include "activity/event_log.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "signaling/connection_telemetry.hpp"
#include "signaling/signaling_message.hpp"
#include "support/test_support.hpp"
#include "webrtc/webrtc_manager.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

// A peer connection whose completions the test gives; it records what the manager asked.
// What outlives a peer: how often it was asked for statistics, and whether it was closed.
struct PeerRecord {
    int statsRequests = 0;
    bool closed = false;
};

struct FakePeer final : PeerConnection {
    FakePeer(HostLoop& l, Events e, PeerRecord& r) : loop(l), events(std::move(e)), record(r) {}

    bool createDataChannel(const std::string& label) override {
        channels.push_back(label);
        return true;
    }
    DataChannelState channelState(const std::string&) const override { return DataChannelState::Open; }
    bool sendText(const std::string& label, const std::string& text) override {
        texts.push_back(label + " " + text);
        return true;
    }
    std::uint64_t bufferedAmount(const std::string&) const override { return 0; }
    void pushFrame(const VideoFrameView& frame, std::chrono::nanoseconds) override {
        frames.emplace_back(frame.width, frame.height);
    }
    void adaptOutputFormat(int width, int height, int fps) override {
        formats.push_back({width, height, fps});
    }
    std::optional<SenderParameters> videoSenderParameters() const override { return parameters; }
    void setVideoSenderParameters(const SenderParameters& p) override { parameters = p; }
    void createOffer(bool iceRestart,
                     std::function<void(std::variant<std::string, std::string>)> done) override {
        offers.push_back(iceRestart);
        loop.post(
            [this, done] { done(std::variant<std::string, std::string>(std::in_place_index<0>, offerSdp)); });
    }
    void setLocalOffer(const std::string& sdp, Completion done) override {
        localOffers.push_back(sdp);
        loop.post([done] { done(std::nullopt); });
    }
    void setRemoteAnswer(const std::string& sdp, Completion done) override {
        loop.post([this, sdp, done] {
            remote = sdp;
            done(std::nullopt);
        });
    }
    std::string remoteDescription() const override { return remote; }
    void addRemoteCandidate(const IceCandidate& candidate, Completion done) override {
        added.push_back(candidate.line);
        loop.post([done] { done(std::nullopt); });
    }
    void getStats(std::function<void(const StatsReport&)> done) override {
        ++record.statsRequests;
        loop.post([this, done] { done(report); });
    }
    void close() override { record.closed = true; }

    HostLoop& loop;
    Events events;
    PeerRecord& record;
    std::string offerSdp = "v=0\r\na=fmtp:96 packetization-mode=1;profile-level-id=42e01f\r\n";
    std::vector<std::string> channels;
    std::vector<std::string> texts;
    std::vector<std::pair<int, int>> frames;
    std::vector<std::array<int, 3>> formats;
    std::optional<SenderParameters> parameters = SenderParameters{};
    std::vector<bool> offers;
    std::vector<std::string> localOffers;
    std::string remote;
    std::vector<std::string> added;
    StatsReport report;
};

struct FakeEngine final : WebRTCEngine {
    explicit FakeEngine(HostLoop& l) : loop(l) {}
    std::vector<VideoCodec> supportedVideoCodecs() const override { return codecs; }
    void setPreferredVideoCodec(const VideoCodec& codec) override { preferred = codec; }
    std::unique_ptr<PeerConnection> createPeerConnection(const PeerConfiguration&,
                                                         PeerConnection::Events events) override {
        auto peer = std::make_unique<FakePeer>(loop, std::move(events), record);
        last = peer.get();
        return peer;
    }
    HostLoop& loop;
    std::vector<VideoCodec> codecs{
        {"VP8", {}}, {"H264", {{"profile-level-id", "640c1f"}}}, {"H264", {{"profile-level-id", "42e01f"}}}};
    std::optional<VideoCodec> preferred;
    FakePeer* last = nullptr;
    PeerRecord record;
};

class WebRTCManagerTest : public ::testing::Test {
protected:
    WebRTCManager::Dependencies deps() {
        return {loop,
                engine,
                telemetry,
                *log,
                {},
                [this](WebRTCManager::FrameSink sink) { capture = std::move(sink); },
                [this] { capture = nullptr; },
                [this] { ++privacyOff; },
                [] {},
                [this](const SignalingMessage& m) { sent.push_back(m); }};
    }

    void start() {
        manager.startStream();
        loop.runPending();
        peer = engine.last;
    }

    void answer() {
        manager.applyAnswer("v=0\r\n");
        loop.runPending();
    }

    VideoFrameView frame(int width, int height) { return {width, height, {}, width, {}, width}; }

    StatsReport pathReport(const std::string& local, const std::string& remote) {
        return {{"L", {"local-candidate", {{"candidateType", local}}}},
                {"R", {"remote-candidate", {{"candidateType", remote}}}},
                {"P",
                 {"candidate-pair",
                  {{"localCandidateId", "L"}, {"remoteCandidateId", "R"}, {"state", "succeeded"}}}},
                {"T", {"transport", {{"selectedCandidatePairId", "P"}}}}};
    }

    LogCapture lines;
    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
    Settings settings{std::nullopt};
    ConnectionTelemetry telemetry{settings};
    std::shared_ptr<EventLog> log = EventLog::create(loop, pool, std::nullopt);
    FakeEngine engine{loop};
    std::vector<SignalingMessage> sent;
    WebRTCManager::FrameSink capture;
    int privacyOff = 0;
    WebRTCManager manager{deps()};
    FakePeer* peer = nullptr;
};

TEST_F(WebRTCManagerTest, SetUpPrefersBaselineH264AndTheOfferGoesOutWithItsLevelRaised) {
    manager.setUp();
    ASSERT_TRUE(engine.preferred);
    EXPECT_EQ(engine.preferred->parameters[0].second, "42e01f");
    EXPECT_TRUE(lines.contains("🎥 PELORN preferred codec: H264 (42e01f)"));
    EXPECT_TRUE(lines.contains("📊 PELORN TELEMETRY: No sessions recorded yet."));

    start();
    EXPECT_EQ(peer->channels, (std::vector<std::string>{"control", "terminal"}));
    EXPECT_EQ(peer->parameters->maxBitrateBps, 24'000'000);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, "offer");
    EXPECT_EQ(sent[0].sdp, "v=0\r\na=fmtp:96 packetization-mode=1;profile-level-id=42e034\r\n");
    EXPECT_EQ(peer->localOffers, std::vector<std::string>{*sent[0].sdp});
    auto all = lines.lines();
    auto from = std::find(all.begin(), all.end(), "📡 Control data channel created");
    ASSERT_NE(from, all.end());
    EXPECT_EQ(
        std::vector<std::string>(from, all.end()),
        (std::vector<std::string>{"📡 Control data channel created", "📡 Terminal data channel created",
                                  "🎚️ PELORN QUALITY: RELAY profile - 1080p @ 24 Mbps (initial default)",
                                  "📤 Sent offer (H264 level raised)"}));

    FakeEngine plain(loop);
    plain.codecs = {{"VP8", {}}};
    WebRTCManager other({loop, plain, telemetry, *log, {}, {}, {}, {}, {}, {}});
    other.setUp();
    EXPECT_FALSE(plain.preferred);
    EXPECT_TRUE(lines.contains("⚠️ PELORN: no H264 codec found, falling back to default"));
}

TEST_F(WebRTCManagerTest, CandidatesBeforeTheAnswerWaitAndGoInOrderAfterIt) {
    start();
    for (auto line : {"candidate:1", "candidate:2", "candidate:3"}) {
        manager.addRemoteCandidate(line, "video0", 0);
    }
    EXPECT_TRUE(lines.contains("🧊 ICE candidate buffered (3 pending)"));
    EXPECT_TRUE(peer->added.empty());
    lines.clear();
    manager.applyAnswer("v=0\r\na=rtpmap:96 H264/90000\r\n");
    loop.runPending();
    EXPECT_EQ(peer->added, (std::vector<std::string>{"candidate:1", "candidate:2", "candidate:3"}));
    EXPECT_EQ(lines.lines(), (std::vector<std::string>{"✅ Remote answer applied", "🎥 SDP negotiated H264 ✅",
                                                       "🧊 Flushing 3 buffered ICE candidate(s)"}));
    lines.clear();
    manager.addRemoteCandidate("candidate:4", "video0", 0);
    EXPECT_EQ(peer->added.back(), "candidate:4");
    EXPECT_TRUE(lines.lines().empty()) << "added at once, never buffered";

    // The local side: classified for the log, passed on whole.
    peer->events.localCandidate({"candidate:9 1 UDP 1 192.0.2.7 5000 typ srflx", "video0", 0});
    EXPECT_TRUE(lines.contains("🧊 local candidate: srflx (STUN)"));
    EXPECT_EQ(sent.back().type, "candidate");
    EXPECT_EQ(sent.back().sdp, "candidate:9 1 UDP 1 192.0.2.7 5000 typ srflx");
    EXPECT_EQ(sent.back().sdpMid, "video0");
    EXPECT_EQ(sent.back().sdpMLineIndex, 0);
}

TEST_F(WebRTCManagerTest, FramesAreCountedAndASizeChangeFitsTheSourceOnce) {
    manager.pushFrame(frame(1920, 1080), 0ns);
    EXPECT_TRUE(lines.contains("⚠️ pushFrame skipped - videoSource/capturer is nil"));
    start();
    manager.startScreen();
    ASSERT_TRUE(capture);
    lines.clear();
    for (int i = 1; i <= 120; ++i) {
        capture(frame(i <= 60 ? 1920 : 2560, i <= 60 ? 1080 : 1600), std::chrono::nanoseconds(i));
    }
    loop.runPending();
    EXPECT_EQ(peer->frames.size(), 120u);
    EXPECT_EQ(lines.count("📐 PELORN source size 1920x1080 - re-adapting (aspect-preserving)"), 1);
    EXPECT_EQ(lines.count("📐 PELORN source size 2560x1600 - re-adapting (aspect-preserving)"), 1);
    for (const char* line :
         {"➡️ Pushed 1 frame(s) to WebRTC source", "➡️ Pushed 60 frame(s) to WebRTC source",
          "➡️ Pushed 120 frame(s) to WebRTC source"}) {
        EXPECT_TRUE(lines.contains(line)) << line;
    }
    EXPECT_FALSE(lines.contains("➡️ Pushed 59 frame(s) to WebRTC source"));
    // Both re-adaptations ran after the last frame, each seeing the size of then: 2560x1600.
    ASSERT_FALSE(peer->formats.empty());
    EXPECT_EQ(peer->formats.back(), (std::array<int, 3>{1728, 1080, 60}));

    manager.stopScreen();
    EXPECT_FALSE(capture);
    EXPECT_EQ(privacyOff, 1);
    EXPECT_TRUE(lines.contains("⏸ PELORN REMOTE: video capture stopped (iPad left Screen Sharing)"));
}

TEST_F(WebRTCManagerTest, IceRestartsAreLimitedPerOutageAndADisconnectGetsAGracePeriod) {
    start();
    answer();
    lines.clear();
    for (int i = 0; i < 4; ++i) {
        peer->events.iceConnectionState(IceConnectionState::Failed);
        loop.runPending();
        answer();
    }
    for (const char* line :
         {"🔄 ICE restart attempt 1/3", "🔄 ICE restart attempt 2/3", "🔄 ICE restart attempt 3/3",
          "📤 ICE restart offer sent (attempt 3)", "❌ ICE restart limit (3) reached - giving up"}) {
        EXPECT_TRUE(lines.contains(line)) << line;
    }
    EXPECT_EQ(peer->offers, (std::vector<bool>{false, true, true, true}));

    // Connected again: a later outage may restart three times again.
    peer->events.iceConnectionState(IceConnectionState::Connected);
    EXPECT_EQ(manager.iceRestartAttempts(), 0);
    // webrtcbin cannot take an offer back: while the client owes an answer, a restart sends none.
    peer->events.iceConnectionState(IceConnectionState::Failed);
    loop.runPending();
    peer->events.iceConnectionState(IceConnectionState::Failed);
    loop.runPending();
    EXPECT_EQ(peer->offers.size(), 5u);
    EXPECT_TRUE(
        lines.contains("⏳ ICE restart offer held back - the client has not answered the last offer yet"));
    answer();
    peer->events.iceConnectionState(IceConnectionState::Connected);

    peer->events.iceConnectionState(IceConnectionState::Disconnected);
    loop.advance(3900ms);
    peer->events.iceConnectionState(IceConnectionState::Connected);
    loop.advance(5s);
    EXPECT_EQ(peer->offers.size(), 5u) << "recovered within the grace period";
    peer->events.iceConnectionState(IceConnectionState::Disconnected);
    loop.advance(4s);
    loop.runPending();
    EXPECT_EQ(peer->offers.size(), 6u) << "one restart after the grace period";
}

// webrtcbin never reports a client that stopped: its receiver reports standing still while video
// goes out is what tells, two statistics polls in a row.
TEST_F(WebRTCManagerTest, AClientWhoseReceiverReportsStopIsRestartedUpToTheLimit) {
    start();
    answer();
    int packets = 100;
    int through = 1100;
    auto poll = [&](int moreSent, int moreThrough) {
        packets += moreSent;
        through += moreThrough;
        peer->report = {
            {"O", {"outbound-rtp", {{"kind", "video"}, {"packetsSent", packets}}}},
            {"I", {"remote-inbound-rtp", {{"localId", "O"}, {"extendedHighestSequenceNumber", through}}}}};
        loop.advance(3s);
    };
    peer->events.iceConnectionState(IceConnectionState::Connected);
    peer->events.iceConnectionState(IceConnectionState::Completed);
    loop.runPending();
    for (auto [moreSent, moreThrough] : {std::pair{90, 90}, {90, 80}, {0, 0}, {0, 0}, {0, 0}, {90, 90}}) {
        poll(moreSent, moreThrough); // reports keep up, or nothing went out to report on
    }
    EXPECT_EQ(peer->offers.size(), 1u);
    EXPECT_EQ(lines.count("📊 Mac OUT video: framesEncoded=? framesSent=? bytesSent=? size=?x? limit=?"), 3)
        << "connected then completed is one connection: logged at 3, 6 and 9 s once";

    poll(90, 0);
    EXPECT_EQ(peer->offers.size(), 1u) << "one silent poll is not yet a stall";
    poll(90, 0);
    EXPECT_TRUE(lines.contains(
        "⚠️ No receiver reports from the client for 6 s while video went out - restarting ICE"));
    EXPECT_EQ(peer->offers, (std::vector<bool>{false, true}));
    for (int i = 0; i < 8; ++i) {
        answer();
        poll(90, 0);
    }
    EXPECT_EQ(peer->offers, (std::vector<bool>{false, true, true, true}));
    EXPECT_EQ(lines.count("❌ ICE restart limit (3) reached - giving up"), 1);

    peer->events.iceConnectionState(IceConnectionState::Connected);
    poll(90, 90);
    poll(90, 0);
    poll(90, 0);
    EXPECT_EQ(peer->offers.size(), 5u) << "connected again, a new stall restarts again";
}

TEST_F(WebRTCManagerTest, ThePathDecidesTheProfileAndIsCountedOncePerSession) {
    start();
    peer->report = pathReport("relay", "host");
    peer->events.iceConnectionState(IceConnectionState::Connected);
    loop.runPending();
    EXPECT_TRUE(lines.contains("🛰️ PELORN ACTIVE PATH: RELAY (TURN) [relay/host]"));
    EXPECT_EQ(manager.activePath(), "relay");
    lines.clear();
    loop.advance(3s); // the same path again: nothing applied
    EXPECT_FALSE(lines.contains("🎚️ PELORN QUALITY: RELAY profile - 1080p @ 24 Mbps (path change)"));

    peer->report = pathReport("host", "srflx");
    loop.advance(3s);
    EXPECT_TRUE(lines.contains("🛰️ PELORN ACTIVE PATH: DIRECT (host/srflx)"));
    EXPECT_TRUE(lines.contains("🎚️ PELORN QUALITY: DIRECT profile - 1800p @ 40 Mbps (path change)"));
    EXPECT_EQ(peer->parameters->maxBitrateBps, 40'000'000);
    EXPECT_EQ(peer->parameters->degradationPreference, 2);
    EXPECT_EQ(settings.integer("pelornTelemetryRelayCount"), 1);
    EXPECT_EQ(settings.integer("pelornTelemetryDirectCount"), 0) << "recorded once per session";

    // The candidate pairs are shown for 15 s, the last time with the winner.
    loop.advance(15s);
    EXPECT_TRUE(lines.contains("🔬 ICE SETTLED - winner: host→srflx (selected, ? bytes sent / ? bytes recv)"));
    auto requests = engine.record.statsRequests;
    manager.stopStream(); // the peer is gone from here on
    loop.advance(10s);
    EXPECT_EQ(engine.record.statsRequests, requests) << "no polling after the session";
    EXPECT_TRUE(engine.record.closed);
    EXPECT_TRUE(lines.contains("⏹ WebRTC stream stopped"));
    EXPECT_FALSE(manager.activePath());
    manager.stopStream(); // safe without a session
}

} // namespace
