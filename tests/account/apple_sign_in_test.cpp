// Sign in with Apple through the web: a loopback stub plays Apple's page and the backend behind it
// (checking the authorisation request, redirecting to this program's scheme), the test plays the
// browser and the desktop handing the link back, and the real Firebase Auth emulator takes the
// custom tokens.
#include "account/apple_sign_in.hpp"
#include "account/oauth_callback_server.hpp"
#include "cloud/firebase_auth.hpp"
#include "core/file_secret_store.hpp"
#include "core/task_pool.hpp"
#include "core/uuid.hpp"
#include "support/emulators.hpp"
#include "support/http_stub.hpp"
#include "support/test_support.hpp"

#include <mutex>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;
using Callback = AppleSignIn::Callback;
using Outcome = std::optional<std::optional<std::string>>; // absent until the attempt ends
const Outcome silent{std::in_place};

namespace {

struct AppleTest : ::testing::Test {
    void SetUp() override {
        PELORN_NEED_AUTH_EMULATOR(found);
        authHost = *found;
        cloud = std::make_unique<FirebaseAuth>(FirebaseAuth::Dependencies{
            loop, pool, secrets, "fake-api-key", authEmulatorEndpoints(authHost), performHttp});
        cloud->start();
        ASSERT_TRUE(pumpUntil(loop, [&] { return cloud->state() == FirebaseAuth::State::SignedOut; }));
    }

    AppleSignIn& make(FirebaseAuth* withCloud) {
        apple = std::make_unique<AppleSignIn>(AppleSignIn::Dependencies{
            loop, pool, withCloud, stub.url() + "/auth/authorize", "https://auth.pelorn.test/apple/callback",
            [this](const std::string& url) -> std::optional<std::string> {
                std::lock_guard lock(mutex);
                opened.push_back(url);
                return browserFailure;
            },
            [this](const std::string& email, const std::string& name, const std::string& uid) {
                account = email + " / " + name + " / " + uid;
            }});
        return *apple;
    }
    // Starts an attempt; the authorisation URL the browser got.
    std::string start(AppleSignIn& a) {
        outcome.reset();
        {
            std::lock_guard lock(mutex);
            opened.clear();
        }
        a.start(nullptr, [this](std::optional<std::string> message) { outcome = std::move(message); });
        EXPECT_TRUE(pumpUntil(loop, [&] {
            std::lock_guard lock(mutex);
            return !opened.empty();
        }));
        std::lock_guard lock(mutex);
        return opened.empty() ? "" : opened.back();
    }
    // The browser at Apple's page: where the backend sends it back to.
    std::string visit(const std::string& url, const std::string& query) {
        {
            std::lock_guard lock(mutex);
            answer = query;
        }
        auto page = performHttp({"GET", url, {}, {}, 10s});
        EXPECT_EQ(page.status, 302) << page.body;
        return page.body;
    }
    // The link handed back; what the attempt said.
    Outcome handBack(AppleSignIn& a, const std::string& link) {
        EXPECT_EQ(a.handleCallback(link), Callback::Taken) << link;
        EXPECT_TRUE(pumpUntil(
            loop, [&] { return outcome.has_value(); }, 20s));
        return outcome;
    }

    std::string authHost;
    HostLoop loop{HostLoop::TimeMode::Manual};
    TempDir dir;
    FileSecretStore secrets{dir / "secrets"};
    std::unique_ptr<FirebaseAuth> cloud;
    std::mutex mutex;
    std::vector<std::string> opened;
    std::optional<std::string> browserFailure;
    std::string answer; // the callback's query, "STATE" standing for the request's state
    // Apple's page and the backend: the request as Apple documents it, then the redirect.
    HttpStub stub{[this](const HttpStub::Request& request) {
        auto query = queryOf(request.target);
        if (request.target.rfind("/auth/authorize?", 0) != 0 || !query ||
            *query != OAuthCallbackServer::Query{{"client_id", "in.pelorn.signin"},
                                                 {"redirect_uri", "https://auth.pelorn.test/apple/callback"},
                                                 {"response_type", "code"},
                                                 {"response_mode", "form_post"},
                                                 {"scope", "name email"},
                                                 {"state", query->at("state")}}) {
            return HttpStub::Reply{400, "not an authorisation request: " + request.target, "text/plain"};
        }
        std::lock_guard lock(mutex);
        auto back = answer;
        if (auto at = back.find("STATE"); at != std::string::npos) {
            back.replace(at, 5, query->at("state"));
        }
        return HttpStub::Reply{302, "com.tamberlind.pelorn.host://apple" + back, "text/plain"};
    }};
    Outcome outcome;
    std::string account;
    std::unique_ptr<AppleSignIn> apple;
    TaskPool pool{2}; // last, so it is joined before what its tasks use goes away
};

TEST_F(AppleTest, TheTokenComingBackSignsTheCloudAndTheAccountIn) {
    LogCapture lines;
    auto email = uniqueName("ann") + "@example.com";
    auto uid = emulatorAccount(authHost, email, "Ann Apple");
    ASSERT_FALSE(uid.empty());
    auto& a = make(cloud.get());
    auto url = start(a);
    EXPECT_TRUE(url.starts_with(stub.url() +
                                "/auth/authorize?client_id=in.pelorn.signin&redirect_uri=https%3A%2F%2F"))
        << url;
    auto state = queryOf(url)->at("state");
    EXPECT_EQ(canonicalUuid(state), state) << "an upper-case UUID";
    auto link = visit(url, "?state=STATE&token=" + customToken(uid));
    EXPECT_EQ(handBack(a, link), silent);
    EXPECT_EQ(account, email + " / Ann Apple / " + uid);
    EXPECT_EQ(cloud->currentUser()->uid, uid);
    EXPECT_EQ(a.signIns(), 1u);
    EXPECT_TRUE(lines.contains("✅ Signed in with Apple (Mac, web flow), uid=" + uid));
    // The same link again finds nobody waiting: the state was good once.
    EXPECT_EQ(a.handleCallback(link), Callback::NobodyWaiting);
    EXPECT_EQ(a.handleCallback("https://example.org/?state=x"), Callback::NotOurs);
}

// Each way the link can come back short of a sign-in: its message (nothing for a cancellation),
// and no account.
TEST_F(AppleTest, EachFailedCallbackSaysWhyAndSignsNobodyIn) {
    auto nameless = emulatorAccount(authHost, uniqueName("bo") + "@example.com", "");
    ASSERT_FALSE(nameless.empty());
    struct Case {
        std::string query;
        std::optional<std::string> message;
    };
    for (const auto& c : std::vector<Case>{
             {"?state=" + randomUuid() + "&token=" + customToken(nameless),
              "That sign-in didn't match this request. Please try again."},
             {"?token=" + customToken(nameless), "That sign-in didn't match this request. Please try again."},
             {"?state=STATE&error=user_cancelled", {}},
             {"?state=STATE&error=invalid_client", "Apple refused the sign-in (invalid_client)"},
             {"?state=STATE", "Apple sign-in didn't complete. Please try again."},
             {"?state=STATE&token=", "Apple sign-in didn't complete. Please try again."},
             {"", "Apple sign-in returned nothing. Please try again."},
             {"?state=STATE&token=" + customToken(uniqueName("hidden")),
              "Apple didn't share an email address, and Pelorn needs one to find your devices."},
         }) {
        SCOPED_TRACE(c.query);
        auto& a = make(cloud.get());
        auto link = visit(start(a), c.query);
        EXPECT_EQ(handBack(a, link), Outcome(c.message));
        EXPECT_EQ(account, "");
        EXPECT_EQ(a.signIns(), 0u);
        EXPECT_FALSE(a.isPending());
    }
    EXPECT_FALSE(cloud->currentUser());
}

TEST_F(AppleTest, NobodyComingBackEndsSilentlyAndAStartThatCannotHappenSaysWhy) {
    auto& a = make(cloud.get());
    auto url = start(a);
    loop.advance(AppleSignIn::flowTimeout - 1s);
    EXPECT_FALSE(outcome);
    loop.advance(1s);
    EXPECT_EQ(outcome, silent);
    EXPECT_EQ(a.handleCallback(visit(url, "?state=STATE&token=x")), Callback::NobodyWaiting);

    browserFailure = "xdg-open failed: no method available";
    start(a);
    ASSERT_TRUE(pumpUntil(loop, [&] { return outcome.has_value(); }));
    EXPECT_EQ(outcome, Outcome("Couldn't open Apple's sign-in page."));

    auto& unconfigured = make(nullptr);
    unconfigured.start(nullptr, [this](std::optional<std::string> m) { outcome = std::move(m); });
    EXPECT_EQ(outcome, Outcome("Sign-in is not available in this build."));
}

} // namespace
