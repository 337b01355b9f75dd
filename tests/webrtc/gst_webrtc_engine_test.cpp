// The GStreamer engine against a second webrtcbin as the client, both on loopback inside a network
// namespace of the test's own: offer and answer, trickled candidates both ways, the H.264 track
// decoded at the size the host fitted it to, text both ways on both channels, and the statistics
// under their standard names.
#include "support/browser_session.hpp"
#include "support/webrtc_session.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

TEST(GstWebRTCEngineTest, AClientReceivesTheScreenAndTalksOnBothChannels) {
    ASSERT_EQ(GstWebRTCEngine::missingElements(), std::nullopt);
    HostLoop loop(HostLoop::TimeMode::Manual);
    GstWebRTCEngine engine(loop);
    auto codecs = engine.supportedVideoCodecs();
    ASSERT_FALSE(codecs.empty());
    EXPECT_EQ(codecs[0].name, "H264");

    WebRTCTestClient client;
    std::vector<IceConnectionState> states;
    std::map<std::string, DataChannelState> channels;
    std::vector<std::string> received;
    std::vector<IceCandidate> local;
    auto peer = engine.createPeerConnection(
        PeerConfiguration{{}, false, true},
        {[&](const IceCandidate& c) {
             local.push_back(c);
             client.addCandidate(c.mLineIndex, c.line);
         },
         [&](IceConnectionState s) { states.push_back(s); },
         [&](const std::string& label, DataChannelState s) { channels[label] = s; },
         [&](const std::string& label, const std::string& text) { received.push_back(label + " " + text); }});
    ASSERT_TRUE(peer->createDataChannel("control"));
    ASSERT_TRUE(peer->createDataChannel("terminal"));
    EXPECT_FALSE(peer->createDataChannel("control")) << "one channel per label";
    peer->adaptOutputFormat(320, 180, 30);

    std::optional<std::variant<std::string, std::string>> offer;
    peer->createOffer(false, [&](const std::variant<std::string, std::string>& o) { offer = o; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return offer.has_value(); }));
    ASSERT_EQ(offer->index(), 0u) << std::get<1>(*offer);
    auto sdp = std::get<0>(*offer);
    EXPECT_NE(sdp.find("H264/90000"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("profile-level-id=42"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("a=sendonly"), std::string::npos) << sdp;

    std::optional<std::optional<std::string>> localSet;
    peer->setLocalOffer(sdp, [&](const std::optional<std::string>& e) { localSet = e; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return localSet.has_value(); }));
    ASSERT_EQ(*localSet, std::nullopt);
    auto answer = client.answer(sdp);
    ASSERT_FALSE(answer.empty());
    std::optional<std::optional<std::string>> remoteSet;
    peer->setRemoteAnswer(answer, [&](const std::optional<std::string>& e) { remoteSet = e; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return remoteSet.has_value(); }));
    ASSERT_EQ(*remoteSet, std::nullopt);
    EXPECT_EQ(peer->remoteDescription(), answer);

    // Frames at 30 a second until the client has decoded some; candidates go across as they come.
    MovingPicture picture(640, 360);
    auto connected = [&] {
        for (const auto& c : client.takeCandidates()) {
            peer->addRemoteCandidate({c.line, std::nullopt, c.mLineIndex},
                                     [](const std::optional<std::string>&) {});
        }
        peer->pushFrame(picture.next(), 0ns);
        std::this_thread::sleep_for(30ms);
        return client.decodedFrames() >= 10 && channels["control"] == DataChannelState::Open &&
               channels["terminal"] == DataChannelState::Open;
    };
    ASSERT_TRUE(pumpUntil(loop, connected, 20s)) << "decoded " << client.decodedFrames();
    EXPECT_FALSE(local.empty());
    for (const auto& candidate : local) {
        EXPECT_NE(candidate.line.find(" 127.0.0.1 "), std::string::npos)
            << "only loopback here: " << candidate.line;
    }
    EXPECT_EQ(local[0].mid, std::optional<std::string>("video0")) << "the mid of the candidate's m-line";
    // libnice goes from checking straight to completed; either counts as connected.
    EXPECT_TRUE(std::find(states.begin(), states.end(), IceConnectionState::Connected) != states.end() ||
                std::find(states.begin(), states.end(), IceConnectionState::Completed) != states.end());
    EXPECT_EQ(client.width(), 320);
    EXPECT_EQ(client.height(), 180);

    ASSERT_TRUE(peer->sendText("control", R"({"type":"auth_challenge"})"));
    ASSERT_TRUE(peer->sendText("terminal", R"({"type":"terminal_output"})"));
    ASSERT_TRUE(pumpUntil(loop, [&] { return client.messages().size() >= 2; }));
    // Each channel keeps its order; between channels there is none.
    auto messages = client.messages();
    std::sort(messages.begin(), messages.end());
    EXPECT_EQ(messages, (std::vector<std::string>{R"(control {"type":"auth_challenge"})",
                                                  R"(terminal {"type":"terminal_output"})"}));
    ASSERT_TRUE(client.send("control", R"({"type":"auth_response"})"));
    ASSERT_TRUE(client.send("terminal", R"({"type":"terminal_input"})"));
    ASSERT_TRUE(pumpUntil(loop, [&] { return received.size() >= 2; }));
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, (std::vector<std::string>{R"(control {"type":"auth_response"})",
                                                  R"(terminal {"type":"terminal_input"})"}));

    std::optional<StatsReport> report;
    peer->getStats([&](const StatsReport& r) { report = r; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return report.has_value(); }));
    std::string seen;
    for (const auto& [id, object] : *report) {
        seen += object.type + " " + object.values.dump() + "\n";
    }
    auto path = classifyPath(*report);
    ASSERT_TRUE(path.has_value()) << seen;
    auto sent = std::find_if(report->begin(), report->end(), [](const auto& entry) {
        return entry.second.type == "outbound-rtp" && entry.second.values.value("kind", "") == "video";
    });
    ASSERT_NE(sent, report->end()) << seen;
    EXPECT_GE(sent->second.values.value("framesEncoded", 0), 10) << seen;
    EXPECT_GE(sent->second.values.value("keyFramesEncoded", 0), 1) << seen;
    EXPECT_EQ(sent->second.values.value("frameWidth", 0), 320) << seen;
    EXPECT_EQ(sent->second.values.value("frameHeight", 0), 180) << seen;
    EXPECT_EQ(path->path, "direct") << seen;
    EXPECT_EQ(path->localType, "host") << seen;

    peer->close();
    EXPECT_EQ(peer->channelState("control"), DataChannelState::Closed);
    EXPECT_FALSE(peer->sendText("control", "late"));
}

} // namespace

namespace {

// Relayed candidates only, through a local coturn: the path is the relay, its profile is applied,
// and the session is counted once, as relayed.
TEST(GstWebRTCManagerTest, ThroughATurnServerThePathIsTheRelayAndItsProfileApplies) {
    LocalTurnServer turn;
    ASSERT_TRUE(turn.ready()) << "turnserver (Debian's coturn) did not start";
    WebRTCSession session;
    auto [loop, lines, sent, manager, client] =
        std::tie(session.loop, session.lines, session.sent, session.manager, session.client);
    session.engine.relayOnly = true;
    session.iceServers = {turn.iceServer()};
    manager.startStream();
    manager.startScreen();
    MovingPicture picture(320, 180);
    auto flowing = [&] {
        session.step(picture);
        std::this_thread::sleep_for(20ms);
        return client.decodedFrames() >= 10 && manager.activePath().has_value();
    };
    ASSERT_TRUE(pumpUntil(loop, flowing, 20s)) << "decoded " << client.decodedFrames();
    for (const auto& m : sent) {
        if (m.type == "candidate") {
            EXPECT_NE(m.sdp->find(" typ relay"), std::string::npos) << "relayed only: " << *m.sdp;
        }
    }
    EXPECT_EQ(manager.activePath(), "relay");
    EXPECT_TRUE(lines.contains("🧊 local candidate: relay (TURN)"));
    EXPECT_EQ(manager.currentProfile()->name, "RELAY");
    EXPECT_EQ(session.settings.integer("pelornTelemetryRelayCount"), 1);
    EXPECT_EQ(session.settings.integer("pelornTelemetryDirectCount"), 0);
    manager.stopStream();
}

// A client that lost its picture asks for a keyframe (an RTCP picture loss indication) and gets one
// at once, not at the next periodic keyframe, which at ten frames a second is 12 s away.
TEST(GstWebRTCManagerTest, AKeyframeFollowsEachPictureLossIndication) {
    WebRTCSession session;
    auto [loop, manager, client] = std::tie(session.loop, session.manager, session.client);
    manager.startStream();
    manager.startScreen();
    MovingPicture picture(320, 180);
    auto atTenPerSecond = [&] {
        session.step(picture);
        std::this_thread::sleep_for(100ms);
        return true;
    };
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return atTenPerSecond() && client.decodedFrames() >= 5; }, 20s));
    for (int request = 0; request < 3; ++request) {
        auto before = client.keyframes();
        ASSERT_TRUE(client.requestKeyframe());
        EXPECT_TRUE(pumpUntil(
            loop, [&] { return atTenPerSecond() && client.keyframes() > before; }, 2s))
            << "request " << request;
    }
    manager.stopStream();
}

} // namespace

namespace {

// The host's ICE agent gathers without asking a UPnP router to forward ports to it: no search for
// one goes out. Loopback carries multicast here, so a search would reach the test's socket.
TEST(GstWebRTCManagerTest, NoRouterIsAskedToOpenPorts) {
    ASSERT_TRUE(routeToLoopback());
    ASSERT_TRUE(runProcess({"ip", "link", "set", "lo", "multicast", "on"}).succeeded());
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(1900);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ip_mreq group{};
    group.imr_multiaddr.s_addr = inet_addr("239.255.255.250");
    group.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group), 0);

    WebRTCSession session;
    session.manager.startStream();
    auto until = std::chrono::steady_clock::now() + 3s;
    ASSERT_TRUE(pumpUntil(
        session.loop, [&] { return std::chrono::steady_clock::now() > until; }, 10s));
    EXPECT_TRUE(
        std::any_of(session.sent.begin(), session.sent.end(), [](auto& m) { return m.type == "candidate"; }));
    pollfd readable{fd, POLLIN, 0};
    char datagram[2048] = {};
    bool heard = ::poll(&readable, 1, 0) == 1 && ::recv(fd, datagram, sizeof datagram - 1, 0) > 0;
    EXPECT_FALSE(heard) << datagram;
    ::close(fd);
    session.manager.stopStream();
}

} // namespace
