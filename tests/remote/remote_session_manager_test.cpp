// Session requests and their negotiation through the Cloud Firestore emulator, under the project's
// rules: the manager and its signalling against a companion that is a second database client of
// the same account, with the peer recorded and the wall clock the test's.
#include "cloud/firestore_fixture.hpp"
#include "core/settings.hpp"
#include "remote/remote_session_manager.hpp"
#include "signaling/signaling_message.hpp"

using namespace pelorn;
using namespace pelorn::test;
using namespace pelorn::firestore;
using namespace std::chrono_literals;

namespace {

struct RecordingPeer final : SessionPeer {
    void setSignalSender(std::function<void(const SignalingMessage&)> s) override {
        calls.push_back(s ? "sender cloud" : "sender lan");
        sender = std::move(s);
    }
    void startStream() override { calls.push_back("start"); }
    void stopStream() override { calls.push_back("stop"); }
    void applyAnswer(const std::string& sdp) override { calls.push_back("answer " + sdp); }
    void addRemoteCandidate(const std::string& line, const std::string& mid, std::int32_t index) override {
        calls.push_back("candidate " + line + " [" + mid + "] " + std::to_string(index));
    }
    std::vector<std::string> taken() { return std::exchange(calls, {}); }

    std::vector<std::string> calls;
    std::function<void(const SignalingMessage&)> sender;
};

class RemoteSessionTest : public FirestoreTest {
protected:
    void SetUp() override {
        FirestoreTest::SetUp();
        if (IsSkipped() || HasFailure()) {
            return;
        }
        // The account as the settings spell it; the documents carry it in lower case.
        settings.set("userEmail", "Ann." + email);
        email = "ann." + email;
        token = firebaseIdToken(uniqueName("uid"), email);
        db = make(token);
        companion = make(token);
        admin = make("owner");
        manager = std::make_unique<RemoteSessionManager>(
            RemoteSessionManager::Dependencies{loop, settings, db.get(), [this] { return deviceId; }, peer});
        // Whole seconds: the database keeps microseconds, and 120 s must stay exactly 120 s.
        loop.setWallTime(std::chrono::floor<std::chrono::seconds>(loop.wallNow()));
    }

    // A request from the companion, made `age` before now (none: without "createdAt"). Ids carry
    // the test's own prefix: an emulator that lives on keeps earlier runs' documents.
    void request(const std::string& name, std::optional<std::chrono::seconds> age = 0s) {
        auto id = sid(name);
        Fields fields{{"ownerEmail", email}, {"macDeviceId", deviceId}};
        if (age) {
            fields.emplace("createdAt", Timestamp(loop.wallNow() - *age));
        }
        ASSERT_EQ(set(*companion, "sessions/" + id, fields), std::nullopt) << id;
    }
    std::string sid(const std::string& name) const { return prefix + name; }
    // The emulator, shared with the other cloud suites running beside this one, can take well over
    // ten seconds to deliver a change when the machine is busy.
    bool peerDid(const std::string& call) {
        return pumpUntil(
            loop, [&] { return std::find(peer.calls.begin(), peer.calls.end(), call) != peer.calls.end(); },
            30s);
    }
    std::vector<Document> candidates(const std::string& id, const std::string& side) {
        std::optional<Result<std::vector<Document>>> result;
        admin->getDocuments(FirestoreQuery("sessions/" + id + "/" + side),
                            [&](const Result<std::vector<Document>>& r) { result = r; });
        EXPECT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
        auto* documents = result ? std::get_if<std::vector<Document>>(&*result) : nullptr;
        return documents ? *documents : std::vector<Document>{};
    }
    void addCandidate(Firestore& by, const std::string& id, Fields fields) {
        std::optional<Result<std::string>> added;
        by.add("sessions/" + id + "/iosCandidates", fields, [&](const Result<std::string>& r) { added = r; });
        ASSERT_TRUE(pumpUntil(loop, [&] { return added.has_value(); }));
        ASSERT_TRUE(std::holds_alternative<std::string>(*added)) << std::get<Error>(*added).description();
    }
    // Lets every snapshot the database has sent so far arrive.
    void settle() {
        ASSERT_TRUE(db->flushWrites(10s));
        auto until = std::chrono::steady_clock::now() + 300ms;
        pumpUntil(loop, [&] { return std::chrono::steady_clock::now() > until; });
    }

    LogCapture lines;
    Settings settings{std::nullopt};
    std::string deviceId = uniqueName("DEVICE-");
    std::string prefix = uniqueName("r") + "-";
    std::unique_ptr<Firestore> companion;
    std::unique_ptr<Firestore> admin;
    RecordingPeer peer;
    std::unique_ptr<RemoteSessionManager> manager;
};

TEST_F(RemoteSessionTest, ARequestRunsItsSessionThroughItsDocumentUntilTheCompanionRemovesIt) {
    manager->startListening();
    EXPECT_TRUE(lines.contains("📡 Remote session listener started"));
    request("S1");
    ASSERT_TRUE(peerDid("start"));
    EXPECT_EQ(peer.taken(), (std::vector<std::string>{"stop", "sender cloud", "start"}));
    EXPECT_TRUE(lines.contains("🔗 Remote session " + sid("S1") + " - starting WebRTC offer"));

    // The peer's offer and candidates land in the document; anything else is not the cloud's.
    peer.sender(SignalingMessage{.type = "offer", .sdp = "offer-1"});
    peer.sender(
        SignalingMessage{.type = "candidate", .sdp = "candidate:1", .sdpMid = "video0", .sdpMLineIndex = 0});
    peer.sender(SignalingMessage{.type = "candidate", .sdp = "candidate:2"});
    peer.sender(SignalingMessage{.type = "host_offline"});
    ASSERT_TRUE(db->flushWrites(10s));
    auto session = existing("sessions/" + sid("S1"));
    EXPECT_EQ(*session.field("offer"), Value(Map{{"sdp", "offer-1"}}));
    EXPECT_EQ(*session.field("ownerEmail"), Value(email));
    EXPECT_EQ(session.fields.size(), 4u) << "the companion's fields stay";
    std::map<std::string, Fields> written; // by candidate
    for (const auto& c : candidates(sid("S1"), "macCandidates")) {
        written.emplace(c.string("sdp") ? *c.string("sdp") : "", c.fields);
    }
    EXPECT_EQ(
        written,
        (std::map<std::string, Fields>{
            {"candidate:1",
             {{"sdp", "candidate:1"}, {"sdpMid", "video0"}, {"sdpMLineIndex", 0}, {"ownerEmail", email}}},
            {"candidate:2",
             {{"sdp", "candidate:2"}, {"sdpMid", ""}, {"sdpMLineIndex", 0}, {"ownerEmail", email}}},
        }));

    // An answer reaches the peer once, however often the document changes around it; a new one
    // (after an ICE restart) does again.
    ASSERT_EQ(set(*companion, "sessions/" + sid("S1"), {{"answer", Map{{"sdp", "answer-1"}}}}), std::nullopt);
    ASSERT_TRUE(peerDid("answer answer-1"));
    peer.sender(SignalingMessage{.type = "offer", .sdp = "offer-2"});
    ASSERT_EQ(set(*companion, "sessions/" + sid("S1"), {{"answer", Map{{"sdp", "answer-2"}}}}), std::nullopt);
    ASSERT_TRUE(peerDid("answer answer-2"));

    // The companion's candidates, each once, read as far as they can be; another owner's are never
    // seen, and changes to one already handed on are not news.
    addCandidate(*companion, sid("S1"),
                 {{"sdp", "c1"}, {"sdpMid", "0"}, {"sdpMLineIndex", 1}, {"ownerEmail", email}});
    addCandidate(*companion, sid("S1"), {{"sdp", "c2"}, {"sdpMid", ""}, {"ownerEmail", email}});
    addCandidate(*companion, sid("S1"), {{"sdp", 5}, {"ownerEmail", email}});
    addCandidate(
        *companion, sid("S1"),
        {{"sdp", "c3"}, {"sdpMid", 7}, {"sdpMLineIndex", std::int64_t{1} << 40}, {"ownerEmail", email}});
    addCandidate(*admin, sid("S1"), {{"sdp", "theirs"}, {"ownerEmail", "mallory@example.com"}});
    addCandidate(*companion, sid("S1"),
                 {{"sdp", "c4"}, {"sdpMid", 7}, {"sdpMLineIndex", "2"}, {"ownerEmail", email}});
    ASSERT_TRUE(peerDid("candidate c4 [] 0"));
    for (const auto& c : candidates(sid("S1"), "iosCandidates")) {
        if (*c.field("sdp") == Value("c1")) {
            ASSERT_EQ(set(*admin, c.path, {{"sdpMLineIndex", 3}}), std::nullopt);
        }
    }
    settle();
    EXPECT_EQ(peer.taken(),
              (std::vector<std::string>{"answer answer-1", "answer answer-2", "candidate c1 [0] 1",
                                        "candidate c2 [] 0", "candidate c4 [] 0"}));

    // Listening afresh reports the running request again: it is the same session.
    manager->startListening();
    settle();
    EXPECT_TRUE(peer.taken().empty());

    ASSERT_EQ(remove("sessions/" + sid("S1")), std::nullopt);
    ASSERT_TRUE(peerDid("stop"));
    EXPECT_EQ(peer.taken(), (std::vector<std::string>{"sender lan", "stop"}));
    EXPECT_TRUE(lines.contains("🛑 Remote session " + sid("S1") + " ended by iPad - stopping stream"));
    EXPECT_FALSE(manager->activeSessionId());
    EXPECT_EQ(candidates(sid("S1"), "macCandidates").size(), 2u) << "the host leaves what was written";
}

// Requests older than two minutes when first seen are left alone, wherever they are found; a newer
// request replaces the running one; removing another request, or one that never ran, changes
// nothing; going offline ends the session at once.
TEST_F(RemoteSessionTest, FreshRequestsStartAndReplaceEachOtherUntilTheHostGoesOffline) {
    request("old", 121s);
    manager->startListening();
    request("edge", 120s);
    ASSERT_TRUE(peerDid("start"));
    EXPECT_EQ(manager->activeSessionId(), sid("edge"));
    request("late", 121s);
    request("timeless", std::nullopt);
    ASSERT_TRUE(pumpUntil(loop, [&] { return peer.calls.size() == 6; }));
    EXPECT_EQ(peer.taken(),
              (std::vector<std::string>{"stop", "sender cloud", "start", "stop", "sender cloud", "start"}));
    EXPECT_EQ(manager->activeSessionId(), sid("timeless"));
    for (const char* id : {"old", "late"}) {
        EXPECT_FALSE(lines.contains("🔗 Remote session " + sid(id) + " - starting WebRTC offer"));
    }

    // The replaced session's signalling has stopped listening.
    ASSERT_EQ(set(*companion, "sessions/" + sid("edge"), {{"answer", Map{{"sdp", "for-edge"}}}}),
              std::nullopt);
    for (const char* id : {"old", "edge", "late"}) {
        ASSERT_EQ(remove("sessions/" + sid(id)), std::nullopt);
    }
    settle();
    EXPECT_TRUE(peer.taken().empty());
    EXPECT_EQ(manager->activeSessionId(), sid("timeless"));

    manager->stopListening();
    EXPECT_EQ(peer.taken(), (std::vector<std::string>{"sender lan", "stop"}));
    EXPECT_FALSE(manager->isListening());
    request("after");
    settle();
    EXPECT_TRUE(peer.taken().empty());
}

// Requests found together when listening starts give one peer, the last one's.
TEST_F(RemoteSessionTest, RequestsFoundTogetherStartOnePeer) {
    request("A");
    request("B");
    manager->startListening();
    ASSERT_TRUE(peerDid("start"));
    settle();
    EXPECT_EQ(std::count(peer.calls.begin(), peer.calls.end(), "start"), 1);
    EXPECT_EQ(manager->activeSessionId(), sid("B"));
}

TEST_F(RemoteSessionTest, NothingIsAskedWithoutAnAccountOrACloudAndARefusalIsReported) {
    settings.set("userEmail", "");
    manager->startListening();
    EXPECT_EQ(lines.lines(),
              std::vector<std::string>{"⚠️ Remote sessions skipped - no signed-in account."});
    RemoteSessionManager withoutCloud({loop, settings, nullptr, [] { return "D"; }, peer});
    settings.set("userEmail", email);
    withoutCloud.startListening();
    EXPECT_FALSE(withoutCloud.isListening());
    settle();
    EXPECT_EQ(db->usage().documentReads, 0u);
    EXPECT_TRUE(peer.calls.empty());

    // The signed-in user asks for someone else's requests: the rules refuse the query.
    settings.set("userEmail", "someone-else@example.com");
    lines.clear();
    manager->startListening();
    ASSERT_TRUE(pumpUntil(loop, [&] { return lines.lines().size() == 2; }));
    EXPECT_TRUE(lines.lines()[1].starts_with("⚠️ Remote sessions listen failed: ")) << lines.lines()[1];
}

} // namespace
