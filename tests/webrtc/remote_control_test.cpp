// The internet client on the data channels, with the real handshake and stores: nothing but the
// handshake before authorisation, then the shared dispatch table; the remote terminal and its
// output held back by the channel's queue; revocation.
#include "access/auth_messages.hpp"
#include "access/security.hpp"
#include "core/base64.hpp"
#include "signaling/signaling_message.hpp"
#include "support/access_host.hpp"
#include "webrtc/remote_control.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

// The two channels of a session as the test sets them up.
struct Channels final : PeerConnection {
    bool createDataChannel(const std::string&) override { return true; }
    DataChannelState channelState(const std::string& label) const override {
        auto it = states.find(label);
        return it == states.end() ? DataChannelState::Connecting : it->second;
    }
    bool sendText(const std::string& label, const std::string& text) override {
        std::lock_guard lock(mutex);
        sent.push_back({label, *SignalingMessage::decode(text)});
        return true;
    }
    std::uint64_t bufferedAmount(const std::string&) const override { return buffered; }
    void pushFrame(const VideoFrameView&, std::chrono::nanoseconds) override {}
    void adaptOutputFormat(int, int, int) override {}
    std::optional<SenderParameters> videoSenderParameters() const override { return std::nullopt; }
    void setVideoSenderParameters(const SenderParameters&) override {}
    void createOffer(bool, std::function<void(std::variant<std::string, std::string>)>) override {}
    void setLocalOffer(const std::string&, Completion) override {}
    void setRemoteAnswer(const std::string&, Completion) override {}
    std::string remoteDescription() const override { return {}; }
    void addRemoteCandidate(const IceCandidate&, Completion) override {}
    void getStats(std::function<void(const StatsReport&)>) override {}
    void close() override {}

    std::map<std::string, DataChannelState> states;
    std::mutex mutex;
    std::vector<std::pair<std::string, SignalingMessage>> sent;
    std::atomic<std::uint64_t> buffered{0};
};

struct Targets : InputTarget, TerminalTarget {
    struct Peer : TerminalEndpoint {
        explicit Peer(Targets& targets) : t(targets) {}
        void handle(const SignalingMessage& m) override { t.calls.push_back("term " + m.type); }
        void stop() override { t.calls.push_back("terminal stop"); }
        void outputDrained() override { t.calls.push_back("terminal drained"); }
        Targets& t;
    };
    void handleMouseEvent(const std::string& action, double x, double y, const std::optional<std::string>&,
                          std::optional<double>) override {
        calls.push_back("mouse " + action + " " + std::to_string(static_cast<int>(x)) + "," +
                        std::to_string(static_cast<int>(y)));
    }
    void handleKeyEvent(const std::string& key) override { calls.push_back("key " + key); }
    void pressCommandShortcut(const std::string& key) override { calls.push_back("cmd " + key); }
    std::unique_ptr<TerminalEndpoint> createPeer(std::string label,
                                                 std::function<void(const SignalingMessage&)>,
                                                 TerminalOutputSender output) override {
        calls.push_back("terminal peer for " + label);
        sendOutput = std::move(output);
        return std::make_unique<Peer>(*this);
    }
    std::vector<std::string> calls;
    TerminalOutputSender sendOutput;
};

class RemoteControlTest : public ::testing::Test, public AccessHost {
protected:
    RemoteControlTest() { loop.runPending(); } // the stores have loaded

    std::unique_ptr<RemoteControl> make() {
        return std::make_unique<RemoteControl>(RemoteControl::Dependencies{
            loop, services, center, targets, targets, [this] { targets.calls.push_back("privacy on"); },
            [this] { targets.calls.push_back("privacy off"); },
            [this] { targets.calls.push_back("screen start"); },
            [this] { targets.calls.push_back("screen stop"); },
            [this] { targets.calls.push_back("restart"); },
            [this] { targets.calls.push_back("end session"); }, [this] { return peer; }});
    }

    void open(RemoteControl& control, const std::string& label) {
        peer->states[label] = DataChannelState::Open;
        control.channelStateChanged(label, DataChannelState::Open);
    }
    void receive(RemoteControl& control, const SignalingMessage& message) {
        control.messageReceived("control", *message.encode());
        loop.runPending();
    }
    std::vector<std::string> sentTypes() {
        std::lock_guard lock(peer->mutex);
        std::vector<std::string> types;
        for (const auto& [label, message] : peer->sent) {
            types.push_back(label + " " + message.type);
        }
        return types;
    }

    long countSent(const std::string& type) {
        auto types = sentTypes();
        return std::count(types.begin(), types.end(), type);
    }

    // Answers the last challenge as the trusted device "D1" would.
    void authorise(RemoteControl& control) {
        auto token = devices->approve("D1", "Kitchen iPad", "iPad13,1");
        SignalingMessage challenge;
        {
            std::lock_guard lock(peer->mutex);
            challenge = peer->sent.back().second;
        }
        ASSERT_EQ(challenge.type, "auth_challenge");
        auto payload = *json::parse(*challenge.sdp);
        auto nonce = *base64::decode(payload["nonce"].get<std::string>());
        auto salt = *base64::decode(payload["salt"].get<std::string>());
        auto key = deriveVerifierKey(password, salt, testRounds);
        nlohmann::json response = {
            {"v", 1},
            {"proof", base64::encode(keyedProof(key, masterProofLabel, nonce))},
            {"deviceId", "D1"},
            {"deviceName", "Kitchen iPad"},
            {"deviceModel", "iPad13,1"},
            {"deviceProof", base64::encode(keyedProof(token, deviceProofLabel, nonce))}};
        receive(control, SignalingMessage{.type = "auth_response", .sdp = response.dump()});
        pool.waitIdle();
        loop.runPending();
        ASSERT_TRUE(control.isAuthorized());
    }

    LogCapture lines;
    Targets targets;
    std::shared_ptr<Channels> peer = std::make_shared<Channels>();
};

TEST_F(RemoteControlTest, NothingButTheHandshakeIsTakenBeforeAuthorisation) {
    auto control = make();
    open(*control, "control");
    EXPECT_EQ(sentTypes(), std::vector<std::string>{"control auth_challenge"});
    receive(*control, SignalingMessage{.type = "mouse_event", .x = 10, .y = 20});
    EXPECT_TRUE(lines.contains("🔒 Dropped mouse_event from unauthenticated remote peer"));
    EXPECT_TRUE(targets.calls.empty());
    // Reopened while not authorised: a fresh challenge.
    open(*control, "control");
    EXPECT_EQ(sentTypes().size(), 2u);
    control->messageReceived("control", "not json");
    loop.runPending();
    EXPECT_TRUE(targets.calls.empty());
}

TEST_F(RemoteControlTest, AnAuthorisedClientDrivesEveryServiceThroughTheSharedTable) {
    auto control = make();
    open(*control, "control");
    authorise(*control);
    open(*control, "control"); // reopened while authorised: no new challenge
    EXPECT_EQ(countSent("control auth_challenge"), 1);

    struct Case {
        SignalingMessage message;
        std::vector<std::string> calls;
    };
    std::vector<Case> cases{
        {{.type = "mouse_event", .x = 10, .y = 20}, {"mouse move 10,20"}},
        {{.type = "key_event", .key = "a"}, {"key a"}},
        {{.type = "cmd_key", .key = "c"}, {"cmd c"}},
        {{.type = "screen_start"}, {"screen start"}},
        {{.type = "screen_stop"}, {"screen stop"}},
        {{.type = "privacy_on"}, {"privacy on"}},
        {{.type = "privacy_off"}, {"privacy off"}},
        {{.type = "request_restart"}, {"restart"}},
        {{.type = "terminal_input", .sdp = "aGk="}, {}}, // no remote terminal yet
        {{.type = "term_list"}, {"terminal peer for Kitchen iPad", "term term_list"}},
        {{.type = "terminal_input", .sdp = "aGk="}, {"term terminal_input"}},
        {{.type = "answer", .sdp = "v=0"}, {}}, // the LAN's, not this transport's
        {{.type = "warp_drive"}, {}},
    };
    for (const auto& c : cases) {
        targets.calls.clear();
        receive(*control, c.message);
        EXPECT_EQ(targets.calls, c.calls) << c.message.type;
    }
    EXPECT_TRUE(lines.contains("🔄 iPad reported media stall - forcing ICE restart"));
    EXPECT_TRUE(lines.contains("⚠️ Unknown control message: warp_drive"));
    EXPECT_TRUE(lines.contains("⚠️ Unknown control message: answer"));

    control->sendHostOffline();
    EXPECT_EQ(sentTypes().back(), "control host_offline");
    control->detach();
    EXPECT_EQ(targets.calls.back(), "terminal stop");
    EXPECT_FALSE(control->isAuthorized());
}

TEST_F(RemoteControlTest, TerminalOutputGoesOnlyOnAnOpenTerminalChannelAndWaitsForItsQueue) {
    auto control = make();
    open(*control, "control");
    authorise(*control);
    receive(*control, SignalingMessage{.type = "term_list"});
    ASSERT_TRUE(targets.sendOutput);
    auto output = SignalingMessage{.type = "terminal_output", .sdp = "aGk="};
    EXPECT_TRUE(targets.sendOutput(output));
    EXPECT_EQ(countSent("terminal terminal_output"), 0) << "the terminal channel is not open";

    open(*control, "terminal");
    EXPECT_TRUE(targets.sendOutput(output));
    peer->buffered = RemoteControl::terminalHighWater + 1;
    EXPECT_FALSE(targets.sendOutput(output)) << "the client is not keeping up";
    EXPECT_EQ(countSent("terminal terminal_output"), 2);
    loop.runPending();
    loop.advance(200ms);
    EXPECT_EQ(std::count(targets.calls.begin(), targets.calls.end(), "terminal drained"), 0);
    peer->buffered = RemoteControl::terminalLowWater;
    loop.advance(RemoteControl::drainPoll);
    EXPECT_EQ(std::count(targets.calls.begin(), targets.calls.end(), "terminal drained"), 1);
    loop.advance(1s);
    EXPECT_EQ(std::count(targets.calls.begin(), targets.calls.end(), "terminal drained"), 1);
}

TEST_F(RemoteControlTest, ARevokedDeviceIsToldAndItsSessionEnds) {
    auto control = make();
    open(*control, "control");
    authorise(*control);
    center.post(TrustedDeviceStore::revokedNotification, "SOMEONE-ELSE");
    loop.runPending();
    EXPECT_TRUE(std::find(targets.calls.begin(), targets.calls.end(), "end session") == targets.calls.end());
    center.post(TrustedDeviceStore::revokedNotification, "D1");
    loop.runPending();
    SignalingMessage last;
    {
        std::lock_guard lock(peer->mutex);
        last = peer->sent.back().second;
    }
    EXPECT_EQ(last.type, "auth_result");
    EXPECT_EQ(json::parse(*last.sdp).value()["state"], "revoked");
    EXPECT_EQ(targets.calls.back(), "end session");
}

} // namespace
