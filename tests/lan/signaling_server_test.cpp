// The LAN signaling server over real TCP on loopback, with the real handshake and stores.
#include "access/auth_throttle.hpp"
#include "access/device_approval_coordinator.hpp"
#include "access/master_password_store.hpp"
#include "access/session_authenticator.hpp"
#include "access/trusted_device_store.hpp"
#include "activity/event_log.hpp"
#include "client/reference_client.hpp"
#include "core/base64.hpp"
#include "core/file_secret_store.hpp"
#include "core/host_loop.hpp"
#include "core/json.hpp"
#include "core/notification_center.hpp"
#include "core/task_pool.hpp"
#include "lan/signaling_server.hpp"
#include "net/io_thread.hpp"
#include "net/tcp_connection.hpp"
#include "signaling/lan_protocol.hpp"
#include "support/access_host.hpp"

#include <asio/ip/tcp.hpp>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace pelorn;
using namespace std::chrono_literals;

namespace {

constexpr auto testRounds = test::AccessHost::testRounds;
const std::string password = test::AccessHost::password;

struct Recorder : InputTarget, ScreenTarget, WebRTCTarget, TerminalTarget {
    struct Peer : TerminalEndpoint {
        Recorder& r;
        explicit Peer(Recorder& recorder) : r(recorder) {}
        void handle(const SignalingMessage& m) override { r.calls.push_back("term " + m.type); }
        void stop() override { r.calls.push_back("terminal stop"); }
        void outputDrained() override { r.calls.push_back("terminal drained"); }
    };
    void handleMouseEvent(const std::string& a, double x, double y, const std::optional<std::string>& b,
                          std::optional<double> d) override {
        calls.push_back("mouse " + a + " " + std::to_string(x) + " " + std::to_string(y) + " " +
                        b.value_or("-") + " " + (d ? std::to_string(*d) : "-"));
    }
    void handleKeyEvent(const std::string& k) override { calls.push_back("key " + k); }
    void pressCommandShortcut(const std::string& k) override { calls.push_back("cmd " + k); }
    void startSharing(std::function<void()> onLimit) override {
        calls.push_back("screen start");
        limit = std::move(onLimit);
    }
    void stopSharing() override { calls.push_back("screen stop"); }
    void privacyOn() override { calls.push_back("privacy on"); }
    void privacyOff() override { calls.push_back("privacy off"); }
    void applyAnswer(const std::string& sdp) override { calls.push_back("answer " + sdp); }
    void addRemoteCandidate(const std::string& s, const std::string& mid, std::int32_t i) override {
        calls.push_back("candidate " + s + " " + mid + " " + std::to_string(i));
    }
    std::unique_ptr<TerminalEndpoint> createPeer(std::string label,
                                                 std::function<void(const SignalingMessage&)>,
                                                 TerminalOutputSender output) override {
        calls.push_back("terminal peer for " + label);
        sendOutput = std::move(output);
        return std::make_unique<Peer>(*this);
    }
    std::vector<std::string> calls;
    std::function<void()> limit;
    TerminalOutputSender sendOutput;
};

// The reference client's connection, pumping the host loop while it waits.
class TestClient {
public:
    TestClient(std::uint16_t port, std::function<void()> pump) {
        auto opened = client::Connection::open("127.0.0.1", port);
        EXPECT_TRUE(std::holds_alternative<std::unique_ptr<client::Connection>>(opened));
        mConnection = std::move(std::get<std::unique_ptr<client::Connection>>(opened));
        mConnection->setPump(std::move(pump));
    }
    void sendRaw(const std::string& bytes) { ASSERT_TRUE(mConnection->sendRaw(bytes)); }
    // False when the host did not take it all in time.
    bool trySendRaw(std::string_view bytes, std::chrono::milliseconds limit) {
        return mConnection->sendRaw(bytes, limit);
    }
    void send(const SignalingMessage& m) { ASSERT_TRUE(mConnection->send(m)); }
    // The next message, or absent when the host closed the connection or nothing came in time.
    std::optional<SignalingMessage> next(std::chrono::milliseconds limit = 5s) {
        return mConnection->receive(limit);
    }
    bool closedByHost(std::chrono::milliseconds limit = 5s) { return mConnection->waitForClose(limit); }
    int fd() const { return mConnection->fd(); }

    Bytes challengeNonce;
    Bytes salt;

private:
    std::unique_ptr<client::Connection> mConnection;
};

struct SignalingServerTest : ::testing::Test, test::AccessHost {
    SignalingServerTest() {
        acceptor.open(asio::ip::tcp::v4());
        acceptor.bind({asio::ip::address_v4::loopback(), 0});
        acceptor.listen();
        acceptNext();
    }
    ~SignalingServerTest() override {
        asio::post(io.context(), [this] {
            std::error_code ignored;
            acceptor.close(ignored);
        });
        server.reset();
        // What the close started on the I/O thread is queued before this marker.
        std::promise<void> settled;
        asio::post(io.context(), [&settled] { settled.set_value(); });
        settled.get_future().wait();
        loop.runPending();
        pool.waitIdle();
    }

    void acceptNext() {
        acceptor.async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
            if (ec) {
                return;
            }
            if (receiveBuffer) {
                socket.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
            }
            auto connection = TcpConnection::adopt(std::move(socket), loop, maxQueued);
            lastConnection = connection;
            loop.post([this, connection] { server->accept(connection); });
            acceptNext();
        });
    }
    std::uint16_t port() const { return acceptor.local_endpoint().port(); }
    std::unique_ptr<TestClient> connect() {
        auto c = std::make_unique<TestClient>(port(), [this] { loop.runPending(); });
        auto challenge = c->next();
        EXPECT_TRUE(challenge && challenge->type == "auth_challenge");
        auto payload = *json::parse(*challenge->sdp);
        c->challengeNonce = *base64::decode(payload["nonce"].get<std::string>());
        c->salt = *base64::decode(payload["salt"].get<std::string>());
        return c;
    }
    void respond(TestClient& c, const std::string& deviceId, std::optional<Bytes> token = std::nullopt) {
        auto key = deriveVerifierKey(password, c.salt, testRounds);
        nlohmann::json r = {{"v", 1},
                            {"proof", base64::encode(keyedProof(key, masterProofLabel, c.challengeNonce))},
                            {"deviceId", deviceId},
                            {"deviceName", "iPad " + deviceId},
                            {"deviceModel", "iPad13,1"}};
        if (token) {
            r["deviceProof"] = base64::encode(keyedProof(*token, deviceProofLabel, c.challengeNonce));
        }
        c.send(SignalingMessage{.type = "auth_response", .sdp = r.dump()});
    }
    // A client that is a trusted device, authorised.
    std::unique_ptr<TestClient> authorised(const std::string& deviceId) {
        auto token = devices->device(deviceId) ? devices->device(deviceId)->token
                                               : devices->approve(deviceId, "iPad " + deviceId, "m");
        auto c = connect();
        respond(*c, deviceId, token);
        auto result = c->next();
        EXPECT_TRUE(result && json::parse(*result->sdp).value()["state"] == "authorized");
        return c;
    }

    // Outlives everything below that holds sockets.
    IoThread io;
    asio::ip::tcp::acceptor acceptor{io.context()};
    Recorder recorder;
    std::size_t maxQueued = TcpConnection::defaultMaxQueued;
    int receiveBuffer = 0; // the kernel's default when 0
    std::weak_ptr<TcpConnection> lastConnection;
    std::unique_ptr<SignalingServer> server = std::make_unique<SignalingServer>(
        loop, center, services, SignalingServer::Targets{recorder, recorder, recorder, recorder});
    test::LogCapture lines;
};

} // namespace

TEST_F(SignalingServerTest, NothingButTheHandshakeIsServedBeforeAuthorisation) {
    auto c = connect();
    c->send(SignalingMessage{.type = "mouse_event", .x = 0.1});
    c->send(SignalingMessage{.type = "auth_bogus"});
    c->send(SignalingMessage{.type = "term_list"});
    c->send(SignalingMessage{.type = "auth_hello"});
    auto again = c->next();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->type, "auth_challenge"); // the hello, answered after the others were dropped
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_TRUE(lines.contains("🔒 Dropped mouse_event from unauthenticated LAN client"));
    EXPECT_TRUE(lines.contains("🔒 Dropped term_list from unauthenticated LAN client"));
    EXPECT_FALSE(lines.contains("⚠️ Unknown message type: auth_bogus"));
}

TEST_F(SignalingServerTest, ApprovedClientIsServedWithTheDefaultsApplied) {
    auto c = connect();
    respond(*c, "IPAD");
    EXPECT_EQ(json::parse(*c->next()->sdp).value()["state"], "awaiting_approval");
    approvals.resolve(true);
    auto result = c->next();
    ASSERT_TRUE(result);
    EXPECT_EQ(json::parse(*result->sdp).value()["state"], "authorized");
    c->send(SignalingMessage{.type = "mouse_event"});
    c->send(SignalingMessage{
        .type = "mouse_event", .x = 0.25, .y = 0.75, .button = "right", .action = "click", .deltaY = -3});
    c->send(SignalingMessage{.type = "key_event", .key = "a"});
    c->send(SignalingMessage{.type = "key_event"});
    c->send(SignalingMessage{.type = "cmd_key", .key = "c"});
    c->send(SignalingMessage{.type = "candidate", .sdp = "cand", .sdpMid = "0"}); // no index: ignored
    c->send(SignalingMessage{.type = "candidate", .sdp = "cand", .sdpMid = "0", .sdpMLineIndex = 1});
    c->send(SignalingMessage{.type = "term_list"});
    c->send(SignalingMessage{.type = "terminal_input", .sdp = "aGk="});
    c->send(SignalingMessage{.type = "terminal_input", .sdp = "not base64"});
    c->send(SignalingMessage{.type = "terminal_resize", .x = 80.9, .y = 24});
    c->send(SignalingMessage{.type = "terminal_resize", .x = 1e300, .y = 24});
    c->send(SignalingMessage{.type = "privacy_on"});
    c->send(SignalingMessage{.type = "warp_drive"});
    c->send(SignalingMessage{.type = "auth_hello"}); // consumed, nothing sent once authorised
    std::string frames;
    for (auto& f : {SignalingMessage{.type = "screen_start"}, SignalingMessage{.type = "screen_stop"}}) {
        frames += *frameMessage(f);
    }
    c->sendRaw(frames);                               // two messages in one segment
    c->send(SignalingMessage{.type = "privacy_off"}); // the last, so its arrival says all came
    ASSERT_TRUE(test::pumpUntil(
        loop, [&] { return !recorder.calls.empty() && recorder.calls.back() == "privacy off"; }));
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{
                                  "mouse move 0.500000 0.500000 - -",
                                  "mouse click 0.250000 0.750000 right -3.000000",
                                  "key a",
                                  "cmd c",
                                  "candidate cand 0 1",
                                  "terminal peer for iPad IPAD",
                                  "term term_list",
                                  "term terminal_input",
                                  "term terminal_input",
                                  "term terminal_resize",
                                  "term terminal_resize",
                                  "privacy on",
                                  "screen start",
                                  "screen stop",
                                  "privacy off",
                              }));
    EXPECT_TRUE(lines.contains("⚠️ Unknown message type: warp_drive"));
    recorder.limit();
    auto limit = c->next();
    ASSERT_TRUE(limit);
    EXPECT_EQ(limit->type, "screen_limit_reached");
    EXPECT_TRUE(recorder.sendOutput(msg::terminalOutputMessage("out")));
    auto output = c->next();
    ASSERT_TRUE(output);
    EXPECT_EQ(*output, (SignalingMessage{.type = "terminal_output", .sdp = "b3V0"}));
}

// A newcomer is challenged beside the served client and changes nothing for it until it has
// proved itself; then it replaces it. Strangers of every kind are the hostile-peer test's.
TEST_F(SignalingServerTest, ANewcomerReplacesTheServedClientOnlyOnceAuthorised) {
    auto first = authorised("A");
    first->send(SignalingMessage{.type = "term_list"});
    first->send(SignalingMessage{.type = "privacy_on"});
    ASSERT_TRUE(test::pumpUntil(
        loop, [&] { return !recorder.calls.empty() && recorder.calls.back() == "privacy on"; }));
    {
        auto wrong = connect();
        wrong->challengeNonce = Bytes(32, 7); // a proof for another nonce
        respond(*wrong, "B");
        ASSERT_TRUE(wrong->next()); // the wrong-password answer
    }                               // it leaves
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return server->newcomerCount() == 0; }));
    EXPECT_EQ(std::count(recorder.calls.begin(), recorder.calls.end(), "terminal stop"), 0);
    EXPECT_EQ(std::count(recorder.calls.begin(), recorder.calls.end(), "privacy off"), 0);

    // The same device back on a new connection, proving itself, takes over.
    auto second = authorised("A");
    EXPECT_TRUE(first->closedByHost());
    EXPECT_EQ(std::count(recorder.calls.begin(), recorder.calls.end(), "terminal stop"), 1);
    EXPECT_TRUE(server->isAuthorized());
    loop.runPending();
    EXPECT_TRUE(devices->connected().get().contains("A"));
    auto events = log->events().get(); // newest first
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].kind, LoggedEvent::Kind::DeviceConnected);
    EXPECT_EQ(events[1].kind, LoggedEvent::Kind::DeviceDisconnected);
    second->send(SignalingMessage{.type = "key_event", .key = "2"});
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return recorder.calls.back() == "key 2"; }));
}

TEST_F(SignalingServerTest, NewcomersAreBoundedInNumberAndInTime) {
    std::vector<std::unique_ptr<TestClient>> crowd;
    for (std::size_t i = 0; i <= SignalingServer::maxNewcomers; ++i) {
        crowd.push_back(connect());
    }
    EXPECT_TRUE(crowd.front()->closedByHost()); // the oldest makes room
    EXPECT_EQ(server->newcomerCount(), SignalingServer::maxNewcomers);
    crowd.clear();
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return server->newcomerCount() == 0; }));

    auto idle = connect();
    auto asking = connect();
    respond(*asking, "NEW");
    EXPECT_EQ(json::parse(*asking->next()->sdp).value()["state"], "awaiting_approval");
    loop.advance(SignalingServer::handshakeTimeout);
    EXPECT_TRUE(idle->closedByHost());
    EXPECT_TRUE(lines.contains("🔒 Closed a LAN connection that did not authenticate within 30 s"));
    // Waiting for the owner does not count against the newcomer.
    EXPECT_EQ(server->newcomerCount(), 1u);
    approvals.resolve(true);
    auto result = asking->next();
    ASSERT_TRUE(result);
    EXPECT_EQ(json::parse(*result->sdp).value()["state"], "authorized");
}

// A peer that sends faster than the host consumes waits in its own socket, not in the host.
TEST_F(SignalingServerTest, AFastSenderIsReadOnlyAsFastAsTheHostConsumes) {
    receiveBuffer = 65536; // keeps what the kernel absorbs small next to the flood
    auto c = authorised("A");
    auto connection = lastConnection.lock();
    ASSERT_TRUE(connection);
    std::string flood;
    while (flood.size() < 32 * 1024 * 1024) {
        flood += *frameMessage(SignalingMessage{.type = "auth_hello"}); // consumed, answered by nothing
    }
    flood += *frameMessage(SignalingMessage{.type = "privacy_off"});
    // Pushed without running the loop: the host stops reading and the rest stays with the sender.
    std::size_t pushed = 0;
    for (int refused = 0; refused < 50 && pushed < flood.size();) {
        auto n = ::send(c->fd(), flood.data() + pushed, flood.size() - pushed, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            pushed += static_cast<std::size_t>(n);
            refused = 0;
        } else {
            ++refused; // gives the I/O thread time to read whatever it still would
            std::this_thread::sleep_for(10ms);
        }
    }
    EXPECT_LT(pushed, flood.size());
    EXPECT_LE(connection->unconsumedBytes(), TcpConnection::readBudget + TcpConnection::readChunk);
    std::thread sender([&] {
        while (pushed < flood.size()) {
            auto n = ::send(c->fd(), flood.data() + pushed, flood.size() - pushed, MSG_NOSIGNAL);
            if (n > 0) {
                pushed += static_cast<std::size_t>(n);
            } else if (errno == EAGAIN) {
                pollfd writable{c->fd(), POLLOUT, 0};
                ::poll(&writable, 1, 1000);
            } else {
                break;
            }
        }
    });
    EXPECT_TRUE(test::pumpUntil(
        loop, [&] { return !recorder.calls.empty() && recorder.calls.back() == "privacy off"; }, 60s));
    sender.join();
    EXPECT_EQ(pushed, flood.size());
    EXPECT_TRUE(server->hasConnection());
}

TEST_F(SignalingServerTest, ClientThatLeavesRestoresThePrivacyScreenAndDetachesItsTerminal) {
    auto c = authorised("A");
    c->send(SignalingMessage{.type = "term_list"});
    c->send(SignalingMessage{.type = "privacy_on"});
    ASSERT_TRUE(test::pumpUntil(
        loop, [&] { return !recorder.calls.empty() && recorder.calls.back() == "privacy on"; }));
    ::shutdown(c->fd(), SHUT_RDWR);
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return !server->hasConnection(); }));
    EXPECT_EQ(recorder.calls.back(), "privacy off");
    EXPECT_EQ(std::count(recorder.calls.begin(), recorder.calls.end(), "terminal stop"), 1);
    EXPECT_TRUE(lines.contains("🔌 Signaling connection closed"));
}

TEST_F(SignalingServerTest, RevokingTheConnectedDeviceClosesItsConnectionOnly) {
    auto c = authorised("A");
    devices->remove("B");
    EXPECT_FALSE(c->next(50ms));
    EXPECT_TRUE(server->hasConnection());
    devices->remove("A");
    auto revoked = c->next();
    ASSERT_TRUE(revoked);
    EXPECT_EQ(*revoked->sdp, R"({"state":"revoked"})");
    EXPECT_TRUE(c->closedByHost());
    // Its next attempt with the old token goes to the owner.
    auto again = connect();
    respond(*again, "A", Bytes(32, 1));
    EXPECT_EQ(json::parse(*again->next()->sdp).value()["state"], "awaiting_approval");
}

// Frames that hold no usable message are dropped and the connection stays; a frame too long to
// accept closes it with a line. Before authorisation only the handshake's size is accepted.
TEST_F(SignalingServerTest, MalformedFramesAreDroppedAndAnOversizedOneClosesTheConnection) {
    auto c = connect();
    c->sendRaw(frameText("") + frameText("{not json") + frameText(R"({"type":"auth_hello","port":"x"})") +
               *frameMessage(SignalingMessage{.type = "auth_hello"}));
    auto m = c->next();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, "auth_challenge");
    c->sendRaw(std::string("\x00\x01\x00\x01", 4));
    EXPECT_TRUE(c->closedByHost());
    EXPECT_TRUE(lines.contains("❌ Receive error: frame of 65537 bytes exceeds the limit of 65536"));

    auto served = authorised("A");
    served->sendRaw(frameText(std::string(70000, ' ')) + std::string("\x01\x00\x00\x01", 4));
    EXPECT_TRUE(served->closedByHost());
    EXPECT_TRUE(lines.contains("❌ Receive error: frame of 16777217 bytes exceeds the limit of 16777216"));
}

TEST_F(SignalingServerTest, ClientThatStopsReadingIsClosedPastTheQueueCap) {
    maxQueued = 256 * 1024;
    auto c = authorised("A");
    int small = 4096;
    ::setsockopt(c->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    c->send(SignalingMessage{.type = "term_list"}); // makes the terminal peer whose output floods
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return bool(recorder.sendOutput); }));
    auto chunk = msg::terminalOutputMessage(std::string(45000, 'x'));
    int sent = 0;
    // The client never reads; each pump lets the I/O thread's verdict reach the server.
    EXPECT_TRUE(test::pumpUntil(loop, [&] {
        if (server->hasConnection() && sent < 400) {
            recorder.sendOutput(chunk);
            ++sent;
        }
        return !server->hasConnection();
    }));
    bool logged = false;
    for (auto& l : lines.lines()) {
        logged = logged || l.rfind("🔌 PELORN NET: closing 127.0.0.1 - it stopped reading", 0) == 0;
    }
    EXPECT_TRUE(logged);
}
