// The cloud sign-in against the real Firebase Auth emulator: Google and custom-token sign-in, the
// stored user across restarts, token refresh, revocation, and a service that cannot be reached.
#include "cloud/firebase_auth.hpp"
#include "core/file_secret_store.hpp"
#include "core/json.hpp"
#include "core/task_pool.hpp"
#include "support/emulators.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

class FirebaseAuthTest : public ::testing::Test {
protected:
    void SetUp() override {
        PELORN_NEED_AUTH_EMULATOR(host);
        emulator = *host;
        endpoints = authEmulatorEndpoints(emulator);
    }

    std::unique_ptr<FirebaseAuth> make() {
        auto auth = std::make_unique<FirebaseAuth>(FirebaseAuth::Dependencies{
            loop, pool, secrets, "fake-api-key", endpoints, [this](const HttpRequest& request) {
                if (request.url.find("/v1/token") != std::string::npos) {
                    ++refreshes;
                }
                if (failuresLeft > 0) {
                    --failuresLeft;
                    return HttpResponse{0, {}, "Couldn't connect to server"};
                }
                return performHttp(request);
            }});
        auth->addAuthStateListener([this](const std::optional<CloudUser>& user) { heard.push_back(user); });
        return auth;
    }

    FirebaseAuth::Result signIn(FirebaseAuth& auth, const std::string& idToken) {
        std::optional<FirebaseAuth::Result> result;
        auth.signInWithGoogle(idToken, "", [&](const FirebaseAuth::Result& r) { result = r; });
        EXPECT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
        return result.value_or(std::string("no answer"));
    }

    FirebaseAuth::IdToken token(FirebaseAuth& auth, bool force = false) {
        std::optional<FirebaseAuth::IdToken> result;
        auth.getIdToken(force, [&](const FirebaseAuth::IdToken& t) { result = t; });
        EXPECT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
        return result.value_or(FirebaseAuth::IdToken{std::nullopt, "no answer"});
    }

    // Lets every request in flight finish and its reply be handled on the loop.
    void settle() {
        pool.waitIdle();
        loop.runPending();
    }

    void start(FirebaseAuth& auth) {
        auth.start();
        EXPECT_TRUE(pumpUntil(loop, [&] { return auth.state() != FirebaseAuth::State::Starting; }));
    }

    // The claims of a Firebase ID token.
    static json::Value claims(const std::string& idToken) {
        return json::parse(jwtPayload(idToken).value_or("")).value_or(json::Value());
    }

    std::string emulator;
    HostLoop loop{HostLoop::TimeMode::Manual};
    TempDir dir;
    FileSecretStore secrets{dir / "secrets"};
    CloudEndpoints endpoints;
    std::atomic<int> refreshes{0};
    std::atomic<int> failuresLeft{0}; // requests the transport fails before it lets them through
    std::vector<std::optional<CloudUser>> heard;
    TaskPool pool{2}; // last, so it is joined before what its tasks use goes away
};

TEST_F(FirebaseAuthTest, AGoogleSignInSurvivesARestartUntilSignOut) {
    auto email = uniqueName("ann") + "@example.com";
    {
        auto auth = make();
        start(*auth);
        EXPECT_EQ(heard, (std::vector<std::optional<CloudUser>>{std::nullopt}));
        EXPECT_EQ(token(*auth).error, "not signed in");

        auto result = signIn(*auth, googleIdToken(uniqueName("sub"), email, "Ann Example"));
        ASSERT_TRUE(std::holds_alternative<CloudUser>(result)) << std::get<std::string>(result);
        auto user = std::get<CloudUser>(result);
        EXPECT_FALSE(user.uid.empty());
        EXPECT_EQ(user.email, email);
        EXPECT_EQ(user.displayName, "Ann Example");
        EXPECT_EQ(user.providerId, "google.com");
        EXPECT_EQ(heard.back(), user);
        auto id = token(*auth);
        ASSERT_TRUE(id.token) << id.error;
        EXPECT_EQ(claims(*id.token)["user_id"], user.uid);
        EXPECT_EQ(refreshes, 0); // the sign-in's own token is fresh
        pool.waitIdle();         // stored
    }
    heard.clear();
    {
        // A restart: signed in at once with the stored user, and its first token is a refreshed one.
        auto auth = make();
        start(*auth);
        ASSERT_EQ(heard.size(), 1u);
        ASSERT_TRUE(heard[0]);
        EXPECT_EQ(heard[0]->email, email);
        auto id = token(*auth);
        ASSERT_TRUE(id.token) << id.error;
        EXPECT_EQ(claims(*id.token)["user_id"], heard[0]->uid);
        EXPECT_GE(refreshes, 1);

        auth->signOut();
        EXPECT_EQ(heard.back(), std::nullopt);
        EXPECT_EQ(auth->currentUser(), std::nullopt);
        pool.waitIdle();
    }
    heard.clear();
    auto auth = make();
    start(*auth);
    EXPECT_EQ(heard, (std::vector<std::optional<CloudUser>>{std::nullopt}));
    EXPECT_EQ(secrets.read(FirebaseAuth::secretService, FirebaseAuth::secretAccount).status,
              SecretStore::Status::NotFound);
}

TEST_F(FirebaseAuthTest, ATokenIsRefreshedBeforeItExpiresAndWhenForced) {
    auto auth = make();
    start(*auth);
    ASSERT_TRUE(std::holds_alternative<CloudUser>(
        signIn(*auth, googleIdToken(uniqueName("sub"), uniqueName("bo") + "@example.com", "Bo"))));
    auto first = token(*auth);
    ASSERT_TRUE(first.token);
    auto expiry = std::chrono::seconds(claims(*first.token)["exp"].get<std::int64_t>());

    // Well inside its hour nothing is asked; within the margin, a new token is fetched first.
    loop.setWallTime(HostLoop::WallTime(expiry) - FirebaseAuth::refreshMargin - 1min);
    EXPECT_EQ(token(*auth).token, first.token);
    EXPECT_EQ(refreshes, 0);
    loop.setWallTime(HostLoop::WallTime(expiry) - FirebaseAuth::refreshMargin + 1min);
    auto second = token(*auth);
    ASSERT_TRUE(second.token) << second.error;
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(claims(*second.token)["user_id"], claims(*first.token)["user_id"]);
    // A service that refused the token (401) forces another, even a fresh one.
    ASSERT_TRUE(token(*auth, true).token);
    EXPECT_EQ(refreshes, 2);
    // Token refreshes are not changes of user.
    EXPECT_EQ(heard.size(), 2u);
}

TEST_F(FirebaseAuthTest, ADeletedAccountSignsOutButAnUnreachableServiceKeepsTheUser) {
    std::string uid;
    {
        auto auth = make();
        start(*auth);
        auto result =
            signIn(*auth, googleIdToken(uniqueName("sub"), uniqueName("cy") + "@example.com", "Cy"));
        ASSERT_TRUE(std::holds_alternative<CloudUser>(result));
        uid = std::get<CloudUser>(result).uid;
        pool.waitIdle();
    }
    heard.clear();
    {
        // Unreachable at launch: the user stands, and the refresh is tried again, later each time.
        failuresLeft = 2;
        auto auth = make();
        start(*auth);
        ASSERT_EQ(heard.size(), 1u);
        ASSERT_TRUE(heard[0]);
        EXPECT_EQ(heard[0]->uid, uid);
        settle(); // the first try has failed and the next is scheduled
        EXPECT_EQ(refreshes, 1);
        EXPECT_EQ(auth->state(), FirebaseAuth::State::SignedIn);
        loop.advance(FirebaseAuth::firstRetry);
        settle();
        EXPECT_EQ(refreshes, 2);
        loop.advance(FirebaseAuth::firstRetry); // the next wait is twice as long
        settle();
        EXPECT_EQ(refreshes, 2);
        loop.advance(FirebaseAuth::firstRetry);
        auto id = token(*auth);
        ASSERT_TRUE(id.token) << id.error;
        EXPECT_EQ(auth->currentUser()->uid, uid);
        EXPECT_EQ(heard.size(), 1u);

        // The account is deleted elsewhere.
        auto deleted =
            performHttp({"POST",
                         "http://" + emulator + "/identitytoolkit.googleapis.com/v1/accounts:delete?key=k",
                         {"Content-Type: application/json"},
                         "{\"idToken\":\"" + *id.token + "\"}"});
        ASSERT_EQ(deleted.status, 200) << deleted.body;
        pool.waitIdle();
    }
    heard.clear();
    auto auth = make();
    start(*auth);
    ASSERT_FALSE(heard.empty());
    EXPECT_TRUE(heard[0]); // at once, the stored user
    EXPECT_TRUE(pumpUntil(loop, [&] { return auth->state() == FirebaseAuth::State::SignedOut; }));
    EXPECT_EQ(heard.back(), std::nullopt);
    pool.waitIdle();
    EXPECT_EQ(secrets.read(FirebaseAuth::secretService, FirebaseAuth::secretAccount).status,
              SecretStore::Status::NotFound);
}

TEST_F(FirebaseAuthTest, SignInFailuresSayWhyAndChangeNothing) {
    auto auth = make();
    start(*auth);
    auto garbage = signIn(*auth, "not-a-token");
    ASSERT_TRUE(std::holds_alternative<std::string>(garbage));
    EXPECT_TRUE(std::get<std::string>(garbage).starts_with("INVALID_IDP_RESPONSE"))
        << std::get<std::string>(garbage);
    EXPECT_EQ(auth->state(), FirebaseAuth::State::SignedOut);
    EXPECT_EQ(heard.size(), 1u);

    failuresLeft = 1;
    auto unreachable = signIn(*auth, googleIdToken(uniqueName("sub"), "d@example.com", "D"));
    EXPECT_EQ(std::get<std::string>(unreachable), "Couldn't connect to server");
    EXPECT_EQ(heard.size(), 1u);

    // A custom token names an account by uid; one without an e-mail is refused.
    std::optional<FirebaseAuth::Result> custom;
    auth->signInWithCustomToken(customToken(uniqueName("apple")),
                                [&](const FirebaseAuth::Result& r) { custom = r; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return custom.has_value(); }));
    EXPECT_EQ(std::get<std::string>(*custom), "the account has no e-mail address");
    EXPECT_EQ(auth->state(), FirebaseAuth::State::SignedOut);

    // The same account signed in with Google first has one: the lookup finds it.
    auto email = uniqueName("eve") + "@example.com";
    auto google = signIn(*auth, googleIdToken(uniqueName("sub"), email, ""));
    ASSERT_TRUE(std::holds_alternative<CloudUser>(google));
    auth->signOut();
    custom.reset();
    auth->signInWithCustomToken(customToken(std::get<CloudUser>(google).uid),
                                [&](const FirebaseAuth::Result& r) { custom = r; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return custom.has_value(); }));
    ASSERT_TRUE(std::holds_alternative<CloudUser>(*custom)) << std::get<std::string>(*custom);
    EXPECT_EQ(std::get<CloudUser>(*custom).email, email);
    EXPECT_EQ(std::get<CloudUser>(*custom).providerId, "custom");
    EXPECT_EQ(heard.back(), std::get<CloudUser>(*custom));
}

} // namespace
