#include "access/auth_throttle.hpp"
#include "access/device_approval_coordinator.hpp"
#include "access/master_password_store.hpp"
#include "access/session_authenticator.hpp"
#include "access/trusted_device_store.hpp"
#include "activity/event_log.hpp"
#include "core/base64.hpp"
#include "core/file_secret_store.hpp"
#include "core/host_loop.hpp"
#include "core/json.hpp"
#include "core/notification_center.hpp"
#include "core/task_pool.hpp"
#include "signaling/signaling_message.hpp"
#include "support/access_host.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace std::chrono_literals;
using Kind = LoggedEvent::Kind;

namespace {

constexpr auto testRounds = test::AccessHost::testRounds;
const std::string password = test::AccessHost::password;
using Host = test::AccessHost;

// One client connection: what the authenticator sent, and the client's side of the computations.
struct Client {
    Client(Host& owner, Transport transport = Transport::Lan, std::string id = "IPAD-1",
           std::string name = "iPad")
        : host(owner), deviceId(std::move(id)), deviceName(std::move(name)) {
        auth = SessionAuthenticator::create(
            transport, [this](const SignalingMessage& m) { sent.push_back(m); }, owner.services);
        auth->sendChallenge();
    }

    nlohmann::json lastPayload() const { return *json::parse(*sent.back().sdp); }
    Bytes currentNonce() const {
        for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
            auto payload = *json::parse(*it->sdp);
            if (payload.contains("nonce")) {
                return *base64::decode(payload["nonce"].get<std::string>());
            }
        }
        return {};
    }
    nlohmann::json challenge() const { return *json::parse(*sent.front().sdp); }

    std::string proofFor(const std::string& pw, const Bytes& nonce) const {
        auto c = challenge();
        auto key = deriveVerifierKey(pw, *base64::decode(c["salt"].get<std::string>()),
                                     c["rounds"].get<std::uint32_t>());
        return base64::encode(keyedProof(key, masterProofLabel, nonce));
    }

    void respond(const std::string& pw, std::optional<Bytes> token = std::nullopt,
                 std::optional<Bytes> nonce = {}) {
        auto n = nonce.value_or(currentNonce());
        nlohmann::json r = {{"v", 1},
                            {"proof", proofFor(pw, n)},
                            {"deviceId", deviceId},
                            {"deviceName", deviceName},
                            {"deviceModel", "iPad13,1"}};
        if (token) {
            r["deviceProof"] = base64::encode(keyedProof(*token, deviceProofLabel, n));
        }
        respondRaw(r);
    }
    void respondRaw(const nlohmann::json& payload) {
        EXPECT_TRUE(auth->handle(SignalingMessage{.type = "auth_response", .sdp = payload.dump()}));
    }
    std::string lastState() const { return lastPayload()["state"]; }

    Host& host;
    std::string deviceId;
    std::string deviceName;
    std::shared_ptr<SessionAuthenticator> auth;
    std::vector<SignalingMessage> sent;
};

std::vector<Kind> kinds(const EventLog& log) {
    std::vector<Kind> out;
    for (auto& e : log.events().get()) {
        out.insert(out.begin(), e.kind);
    }
    return out;
}

} // namespace

TEST(AuthHandshake, ChallengeCarriesTheVerifierParametersAndAFreshNonce) {
    Host host;
    Client client(host);
    auto c = client.challenge();
    EXPECT_EQ(client.sent[0].type, "auth_challenge");
    EXPECT_EQ(c["v"], 1);
    EXPECT_EQ(c["macId"], "MAC-ID");
    EXPECT_EQ(c["macName"], "Studio");
    EXPECT_EQ(c["masterSet"], true);
    EXPECT_EQ(c["rounds"], testRounds);
    EXPECT_EQ(base64::decode(c["salt"].get<std::string>())->size(), 32u);
    EXPECT_EQ(base64::decode(c["nonce"].get<std::string>())->size(), 32u);
    Client other(host);
    EXPECT_NE(other.challenge()["nonce"], c["nonce"]);
}

TEST(AuthHandshake, WithoutAPasswordEveryResponseIsNoMasterPassword) {
    Host host(false);
    Client client(host);
    auto c = client.challenge();
    EXPECT_EQ(c["masterSet"], false);
    EXPECT_EQ(c["salt"], "");
    EXPECT_EQ(c["rounds"], 600000);
    client.respondRaw(
        {{"v", 1}, {"proof", "AAAA"}, {"deviceId", "x"}, {"deviceName", "n"}, {"deviceModel", "m"}});
    EXPECT_EQ(client.lastPayload(), nlohmann::json({{"state", "no_master_password"}}));
    EXPECT_EQ(host.throttle.attemptsLeft(), 5);
}

TEST(AuthHandshake, WrongPasswordsCountDownWithTheirTextsThenLock) {
    Host host;
    Client client(host);
    test::LogCapture lines;
    std::vector<std::int64_t> left;
    for (int i = 0; i < 4; ++i) {
        host.loop.advance(2s); // apart, or the log folds them into one
        auto before = client.currentNonce();
        if (i == 0) { // a proof that is not even base64 counts as a wrong one
            client.respondRaw({{"v", 1},
                               {"proof", "not base64!"},
                               {"deviceId", "x"},
                               {"deviceName", "n"},
                               {"deviceModel", "m"}});
        } else {
            client.respond("wrong");
        }
        EXPECT_EQ(client.lastState(), "wrong_password");
        EXPECT_NE(client.currentNonce(), before);
        left.push_back(client.lastPayload()["attemptsLeft"]);
    }
    EXPECT_EQ(left, (std::vector<std::int64_t>{4, 3, 2, 1}));
    host.loop.advance(2s);
    client.respond("wrong");
    EXPECT_EQ(client.lastPayload()["state"], "locked");
    EXPECT_EQ(client.lastPayload()["retryAfter"], 300);
    std::vector<std::string> details;
    for (auto& e : host.log->events().get()) {
        details.insert(details.begin(), e.detail.value_or(""));
    }
    EXPECT_EQ(details, (std::vector<std::string>{"4 attempts left", "3 attempts left", "2 attempts left",
                                                 "1 attempt left", "over your network"}));
    EXPECT_EQ(kinds(*host.log).back(), Kind::PasswordLocked);
    EXPECT_TRUE(lines.contains("🔐 PELORN AUTH: wrong password via your network - 1 left"));
    EXPECT_TRUE(lines.contains("🔐 PELORN AUTH: wrong password via your network - locked 300s"));
}

TEST(AuthHandshake, RightPasswordDuringTheLockoutIsRefusedWithTheTimeLeft) {
    Host host;
    Client client(host);
    for (int i = 0; i < 5; ++i) {
        host.loop.advance(2s); // apart, so the log keeps every event
        client.respond("wrong");
    }
    host.loop.advance(299500ms); // since the fifth wrong proof
    client.respond(password);
    EXPECT_EQ(client.lastPayload()["state"], "locked");
    EXPECT_EQ(client.lastPayload()["retryAfter"], 1);
    EXPECT_FALSE(client.auth->isAuthorized());
    host.loop.advance(500ms);
    client.respond(password);
    EXPECT_EQ(client.lastState(), "awaiting_approval");
}

TEST(AuthHandshake, MalformedResponsesGetNoAnswerAtAll) {
    Host host;
    Client client(host);
    auto good = nlohmann::json{{"v", 1},
                               {"proof", client.proofFor(password, client.currentNonce())},
                               {"deviceId", "x"},
                               {"deviceName", "n"},
                               {"deviceModel", "m"}};
    for (const char* drop : {"v", "proof", "deviceId", "deviceName", "deviceModel"}) {
        auto r = good;
        r.erase(drop);
        client.respondRaw(r);
    }
    auto wrongType = good;
    wrongType["deviceProof"] = 5;
    client.respondRaw(wrongType);
    EXPECT_TRUE(client.auth->handle(SignalingMessage{.type = "auth_response", .sdp = "{not json"}));
    EXPECT_TRUE(client.auth->handle(SignalingMessage{.type = "auth_response"}));
    EXPECT_EQ(client.sent.size(), 1u); // only the challenge
}

TEST(AuthHandshake, NewDeviceIsApprovedOnceAndThenLetInWithItsToken) {
    Host host;
    std::string token;
    {
        Client client(host);
        client.respond(password);
        EXPECT_EQ(client.lastPayload(), nlohmann::json({{"state", "awaiting_approval"}}));
        ASSERT_TRUE(host.approvals.pending().get());
        EXPECT_EQ(host.approvals.pending().get()->via, "your network");
        EXPECT_EQ(host.approvals.pending().get()->deviceName, "iPad");
        host.approvals.resolve(true);
        EXPECT_EQ(client.lastState(), "authorized");
        token = client.lastPayload()["deviceToken"];
        EXPECT_TRUE(client.auth->isAuthorized());
        client.auth->invalidate();
    }
    host.loop.advance(5s);
    Client again(host);
    again.respond(password, *base64::decode(token));
    EXPECT_EQ(again.lastPayload(), nlohmann::json({{"state", "authorized"}})); // no new token, nobody asked
    EXPECT_FALSE(host.approvals.pending().get());
    host.loop.runPending();
    EXPECT_EQ(host.devices->connected().get(), std::set<std::string>{"IPAD-1"});
    EXPECT_EQ(kinds(*host.log), (std::vector<Kind>{Kind::DeviceApproved, Kind::DeviceConnected,
                                                   Kind::DeviceDisconnected, Kind::DeviceConnected}));
    EXPECT_EQ(host.log->events().get()[3].detail, "first connection over your network");
}

TEST(AuthHandshake, DeviceProofWithAStaleNonceGoesToApprovalNotToWrongPassword) {
    Host host;
    auto token = host.devices->approve("IPAD-1", "iPad", "iPad13,1");
    Client client(host);
    auto stale = client.currentNonce();
    client.respond("wrong");
    // Right password for the new nonce, but the device proof made over the old one.
    auto n = client.currentNonce();
    client.respondRaw({{"v", 1},
                       {"proof", client.proofFor(password, n)},
                       {"deviceId", "IPAD-1"},
                       {"deviceName", "iPad"},
                       {"deviceModel", "m"},
                       {"deviceProof", base64::encode(keyedProof(token, deviceProofLabel, stale))}});
    EXPECT_EQ(client.lastState(), "awaiting_approval");
    EXPECT_EQ(host.throttle.attemptsLeft(), 5); // the right password cleared the counter
}

TEST(AuthHandshake, HelloResendsTheSameChallengeUntilAuthorised) {
    Host host;
    Client client(host);
    client.auth->handle(SignalingMessage{.type = "auth_hello", .sdp = "ignored"});
    ASSERT_EQ(client.sent.size(), 2u);
    EXPECT_EQ(*client.sent[1].sdp, *client.sent[0].sdp);
    EXPECT_TRUE(client.auth->handle(SignalingMessage{.type = "auth_whatever"}));
    EXPECT_FALSE(client.auth->handle(SignalingMessage{.type = "mouse_event"}));
    EXPECT_EQ(client.sent.size(), 2u);

    // While the owner is asked, responses and hellos do nothing.
    client.respond(password);
    auto sentBefore = client.sent.size();
    client.respond("wrong");
    EXPECT_TRUE(client.auth->handle(SignalingMessage{.type = "auth_hello"}));
    EXPECT_EQ(client.sent.size(), sentBefore);
    EXPECT_EQ(host.throttle.attemptsLeft(), 5);
}

TEST(AuthHandshake, ApprovalTimeoutDeniesWithANewNonce) {
    Host host;
    Client client(host);
    client.respond(password);
    host.loop.advance(60s);
    EXPECT_EQ(client.lastState(), "denied");
    EXPECT_EQ(base64::decode(client.lastPayload()["nonce"].get<std::string>())->size(), 32u);
    EXPECT_EQ(kinds(*host.log), std::vector<Kind>{Kind::DeviceDenied});
    // After a denial the client may try again with the new nonce.
    client.respond(password);
    EXPECT_EQ(client.lastState(), "awaiting_approval");
}

TEST(AuthHandshake, ConnectionClosedWhileAskingWithdrawsTheRequestSilently) {
    Host host;
    Client client(host);
    client.respond(password);
    auto sentBefore = client.sent.size();
    client.auth->invalidate();
    EXPECT_FALSE(host.approvals.pending().get());
    EXPECT_EQ(client.sent.size(), sentBefore);
    EXPECT_TRUE(host.log->events().get().empty());

    // An answer for an authenticator that is gone approves nobody.
    {
        Client gone(host, Transport::Lan, "IPAD-2");
        gone.respond(password);
    }
    host.approvals.resolve(true);
    EXPECT_FALSE(host.devices->device("IPAD-2"));
}

TEST(AuthHandshake, OneThrottleServesEveryConnectionAndTransport) {
    Host host;
    Client lan(host, Transport::Lan);
    for (int i = 0; i < 5; ++i) {
        lan.respond("wrong");
    }
    Client internet(host, Transport::Remote, "IPHONE", "iPhone");
    internet.respond(password);
    EXPECT_EQ(internet.lastState(), "locked");
}
