// The ICE servers of a new connection: credentials from the backend's "iceServers" function (a
// loopback stub that checks the caller's ID token at the Firebase Auth emulator), their cache and
// refresh on the loop's clock, and the "config/ice" document read from the Cloud Firestore
// emulator into the settings.
#include "cloud/firebase_auth.hpp"
#include "cloud/firestore_fixture.hpp"
#include "core/file_secret_store.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "remote/ice_configuration.hpp"
#include "support/http_stub.hpp"

#include <mutex>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

class IceConfigurationTest : public FirestoreTest {
protected:
    void SetUp() override {
        FirestoreTest::SetUp();
        if (IsSkipped() || HasFailure()) {
            return;
        }
        PELORN_NEED_AUTH_EMULATOR(found);
        authHost = *found;
        auth = std::make_unique<FirebaseAuth>(FirebaseAuth::Dependencies{
            loop, pool, secrets, "fake-api-key", authEmulatorEndpoints(authHost), performHttp});
        auto user = startSignedIn(loop, *auth, googleIdToken(uniqueName("sub"), email, "Ann Example"));
        ASSERT_TRUE(std::holds_alternative<CloudUser>(user)) << std::get<std::string>(user);
    }

    // The backend's function: only for a caller the Auth emulator knows; answers as `reply` says.
    HttpStub::Reply function(const HttpStub::Request& request) {
        if (request.method != "POST" || request.target != "/iceServers") {
            return {400, "{}"};
        }
        if (!knownCaller(authHost, request.authorization)) {
            return {401, R"({"error":"unauthenticated"})"};
        }
        std::lock_guard lock(mutex);
        return reply;
    }

    IceConfiguration::Dependencies dependencies(Firestore* database = nullptr) {
        return {loop,
                pool,
                settings,
                auth.get(),
                database,
                stub.url(),
                {"stun:one.test:3478", "stun:two.test:3478"},
                [this](const HttpRequest& request) {
                    auto sent = request;
                    {
                        std::lock_guard lock(mutex);
                        timeouts.push_back(request.timeout);
                        // Against a function that never answers, the wait is cut short.
                        if (reply.never) {
                            sent.timeout = std::chrono::seconds(2);
                        }
                    }
                    return performHttp(sent);
                }};
    }
    void answer(HttpStub::Reply r) {
        std::lock_guard lock(mutex);
        reply = std::move(r);
    }
    // Credentials valid for `left` from the loop's clock, as the function would give them.
    std::string groups(std::chrono::seconds left) {
        auto expiresAt = std::chrono::duration<double>(loop.wallNow().time_since_epoch() + left).count();
        return nlohmann::json{{"iceServers",
                               {{{"urls", {"turn:relay.test:3478?transport=udp", "turns:relay.test:443"}},
                                 {"username", "1700000000:ann"},
                                 {"credential", "secret"}},
                                {{"urls", {"stun:relay.test:3478"}}, {"username", ""}, {"credential", "x"}},
                                {{"urls", nlohmann::json::array()}},
                                {{"username", "no-urls"}}}},
                              {"expiresAt", expiresAt}}
            .dump();
    }
    bool settled(IceConfiguration& ice) {
        return pumpUntil(
            loop, [&] { return !ice.isFetching(); }, 15s);
    }

    std::string authHost;
    LogCapture lines;
    TempDir dir;
    FileSecretStore secrets{dir / "secrets"};
    Settings settings{std::nullopt};
    TaskPool pool{2};
    std::unique_ptr<FirebaseAuth> auth;
    std::mutex mutex;
    HttpStub::Reply reply;
    std::vector<std::chrono::seconds> timeouts;
    HttpStub stub{[this](const HttpStub::Request& r) { return function(r); }};
};

TEST_F(IceConfigurationTest, FetchedCredentialsServeTheNextConnection) {
    answer({200, groups(3630s)});
    IceConfiguration ice(dependencies());
    // Nothing cached: STUN only, and one fetch for the next connection however often it is asked.
    auto first = ice.iceServers();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].urls, (std::vector<std::string>{"stun:one.test:3478", "stun:two.test:3478"}));
    EXPECT_TRUE(ice.isFetching());
    ice.iceServers();
    ASSERT_TRUE(settled(ice));
    EXPECT_EQ(stub.requests(), 1);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(timeouts, std::vector<std::chrono::seconds>{12s});
    }
    EXPECT_TRUE(lines.contains("🧭 ICE credentials refreshed - 4 server group(s), valid 60 min"));

    // Groups without URLs are skipped; one without a user name is a URL-only server.
    auto next = ice.iceServers();
    ASSERT_EQ(next.size(), 2u);
    EXPECT_EQ(next[0].urls,
              (std::vector<std::string>{"turn:relay.test:3478?transport=udp", "turns:relay.test:443"}));
    EXPECT_EQ(next[0].username, "1700000000:ann");
    EXPECT_EQ(next[0].credential, "secret");
    EXPECT_EQ(next[1].urls, std::vector<std::string>{"stun:relay.test:3478"});
    EXPECT_EQ(next[1].username, "");
    EXPECT_EQ(next[1].credential, "");
    EXPECT_EQ(stub.requests(), 1) << "an hour of validity asks for nothing";
}

// Cached credentials by what is left of them: used as they are, used while new ones are fetched,
// or passed over for STUN while new ones are fetched.
TEST_F(IceConfigurationTest, TheCacheIsUsedWhileValidAndRefreshedBelowThirtyMinutes) {
    struct Case {
        std::chrono::seconds left;
        bool used;
        bool fetched;
    };
    IceConfiguration ice(dependencies());
    for (const auto& c : {Case{40min, true, false}, Case{20min, true, true}, Case{-1s, false, true}}) {
        answer({200, groups(3600s)});
        ice.setCredentials(IceConfiguration::Credentials{nlohmann::json::parse(groups(3600s))["iceServers"],
                                                         loop.wallNow() + c.left});
        auto before = stub.requests();
        auto servers = ice.iceServers();
        EXPECT_EQ(servers.size(), c.used ? 2u : 1u) << c.left.count();
        ASSERT_TRUE(settled(ice));
        EXPECT_EQ(stub.requests() - before, c.fetched ? 1 : 0) << c.left.count();
    }
}

// A failed fetch says so and keeps what was cached: an error, a body of the wrong shape, a caller
// the function does not know, and a function that never answers (the client gives up).
TEST_F(IceConfigurationTest, AFailedFetchKeepsTheCacheAndSaysStunOnly) {
    IceConfiguration ice(dependencies());
    IceConfiguration::Credentials old{nlohmann::json::array({{{"urls", {"turn:old.test"}}}}),
                                      loop.wallNow() + 10min};
    for (const auto& failure :
         {HttpStub::Reply{500, R"({"error":"internal"})"}, HttpStub::Reply{200, R"({"iceServers":"turn:x"})"},
          HttpStub::Reply{200, R"({"iceServers":[],"expiresAt":"soon"})"}, HttpStub::Reply{200, "not json"},
          HttpStub::Reply{.never = true}}) {
        answer(failure);
        ice.setCredentials(old);
        lines.clear();
        ice.iceServers();
        ASSERT_TRUE(settled(ice));
        EXPECT_TRUE(lines.contains("⚠️ ICE credentials unavailable - STUN only for this connection"))
            << failure.status << " " << failure.body;
        ASSERT_TRUE(ice.credentials());
        EXPECT_EQ(ice.credentials()->iceServers, old.iceServers);
    }

    // Signed out, nothing is asked for.
    auto before = stub.requests();
    auth->signOut();
    ice.setCredentials(std::nullopt);
    EXPECT_EQ(ice.iceServers().size(), 1u);
    EXPECT_FALSE(ice.isFetching());
    EXPECT_EQ(stub.requests(), before);
}

// "config/ice" is read once a process; what it holds of use replaces the cached copy and the next
// connection's STUN list comes from it.
TEST_F(IceConfigurationTest, TheConfigDocumentIsReadOnceAndCached) {
    auto admin = make("owner"); // the project's administrators write it
    auto cached = [&] { return settings.value(IceConfiguration::configCacheKey).value_or(nullptr); };
    struct Case {
        Fields document;
        nlohmann::json cache;   // afterwards
        std::string fieldsLine; // empty: nothing said
    };
    nlohmann::json onlyUser = {{"turnUsername", "static-user"}};
    for (const auto& c : std::vector<Case>{
             {{{"turnUsername", "static-user"}, {"turnCredential", 7}}, onlyUser, "turnUsername"},
             {{{"stun", firestore::Array{}}}, onlyUser, ""},
             {{{"stun", firestore::Array{"stun:a.test:1", "stun:b.test:2"}},
               {"turnUrls", firestore::Array{"turn:c.test:3"}},
               {"turnUsername", "u"},
               {"turnCredential", "p"}},
              {{"stun", {"stun:a.test:1", "stun:b.test:2"}},
               {"turnUrls", {"turn:c.test:3"}},
               {"turnUsername", "u"},
               {"turnCredential", "p"}},
              "stun, turnCredential, turnUrls, turnUsername"}}) {
        std::optional<std::optional<Error>> removed;
        admin->deleteDocument("config/ice", [&](const std::optional<Error>& e) { removed = e; });
        ASSERT_TRUE(pumpUntil(loop, [&] { return removed.has_value(); }));
        ASSERT_EQ(*removed, std::nullopt);
        ASSERT_EQ(set(*admin, "config/ice", c.document), std::nullopt);
        lines.clear();
        auto before = db->usage().documentReads;
        IceConfiguration ice(dependencies(db.get())); // a new process
        ice.iceServers();
        ASSERT_TRUE(pumpUntil(
            loop, [&] { return db->usage().documentReads > before; }, 10s));
        loop.runPending();
        EXPECT_EQ(cached(), c.cache);
        auto line = "🧭 ICE config refreshed from Firestore (fields: " + c.fieldsLine +
                    ") - applies to the next connection";
        EXPECT_EQ(lines.contains(line), !c.fieldsLine.empty()) << line;
        auto reads = db->usage().documentReads;
        auto servers = ice.iceServers();
        EXPECT_EQ(db->usage().documentReads, reads) << "read once";
        if (c.cache.contains("stun")) {
            ASSERT_FALSE(servers.empty());
            EXPECT_EQ(servers.back().urls, (std::vector<std::string>{"stun:a.test:1", "stun:b.test:2"}));
        }
    }
}

} // namespace
