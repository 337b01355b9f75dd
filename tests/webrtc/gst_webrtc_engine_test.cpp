// The manager on the GStreamer engine against a second webrtcbin as the client, both on loopback
// inside a network namespace of the test's own: a relayed path, keyframes on request, and no router
// asked to open ports.
#include "support/browser_session.hpp"
#include "support/webrtc_session.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {} // namespace

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
