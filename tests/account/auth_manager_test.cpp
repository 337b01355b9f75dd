// Google sign-in end to end: a fake of Google's OAuth endpoints on loopback, the test playing the
// browser against the real loopback server, and the real Firebase Auth emulator for the cloud part.
#include "account/auth_manager.hpp"
#include "cloud/firebase_auth.hpp"
#include "core/file_secret_store.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "net/io_thread.hpp"
#include "support/emulators.hpp"
#include "support/fake_google.hpp"
#include "support/test_support.hpp"

#include <future>
#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

class GoogleSignInTest : public ::testing::Test {
protected:
    void SetUp() override {
        endpoints.googleAuthorize = google.authorize();
        endpoints.googleToken = google.token();
        endpoints.googleUserInfo = google.userInfo();
    }

    std::unique_ptr<AuthManager> make(FirebaseAuth* cloud = nullptr,
                                      std::optional<std::string> browserError = {}) {
        return std::make_unique<AuthManager>(AuthManager::Dependencies{
            loop, io.context(), pool, settings, OAuthClient{FakeGoogle::clientId, FakeGoogle::clientSecret},
            endpoints, cloud, performHttp, [browserError](const std::string&) { return browserError; },
            [this] { ++cloudSignIns; }});
    }

    void nextSignIn(const std::string& plan) { google.next(plan); }

    // A blocking request made while the loop keeps running (the loopback server lives on it).
    HttpResponse fetch(const std::string& url) {
        auto reply = std::async(std::launch::async, [url] { return performHttp({"GET", url, {}, {}}); });
        EXPECT_TRUE(pumpUntil(loop, [&] { return reply.wait_for(0s) == std::future_status::ready; }));
        return reply.get();
    }

    struct Attempt {
        std::optional<std::string> url;
        std::optional<bool> result;
    };
    std::shared_ptr<Attempt> start(AuthManager& auth) {
        auto attempt = std::make_shared<Attempt>();
        auth.signIn([attempt](const std::string& url) { attempt->url = url; },
                    [attempt](bool ok) { attempt->result = ok; });
        EXPECT_TRUE(pumpUntil(loop, [&] { return attempt->url.has_value(); }));
        return attempt;
    }

    // The browser: Google's page redirects to the loopback server, whose page is returned.
    std::string browse(Attempt& attempt) {
        auto consent = fetch(attempt.url.value_or(""));
        EXPECT_EQ(consent.status, 302) << consent.body;
        auto page = fetch(consent.body);
        EXPECT_EQ(page.status, 200);
        EXPECT_TRUE(pumpUntil(loop, [&] { return attempt.result.has_value(); }));
        return page.body;
    }

    HostLoop loop{HostLoop::TimeMode::Manual};
    IoThread io;
    LogCapture logs;
    TempDir dir;
    Settings settings{std::nullopt};
    FileSecretStore secrets{dir / "secrets"};
    CloudEndpoints endpoints;
    FakeGoogle google;
    int cloudSignIns = 0;
    TaskPool pool{2};
};

TEST_F(GoogleSignInTest, SignsInWithGoogleAndThenTheCloud) {
    PELORN_NEED_AUTH_EMULATOR(emulator);
    endpoints.identityToolkit = "http://" + *emulator + "/identitytoolkit.googleapis.com";
    endpoints.secureToken = "http://" + *emulator + "/securetoken.googleapis.com";
    FirebaseAuth cloud({loop, pool, secrets, "fake-api-key", endpoints});
    auto auth = make(&cloud);
    auto email = uniqueName("owner") + "@example.com";
    nextSignIn(R"({"email":")" + email + R"(","name":"Ann Owner"})");

    auto attempt = start(*auth);
    // The authorisation request as Google documents it for installed apps (the fake checks it too).
    auto url = *attempt->url;
    EXPECT_TRUE(url.starts_with(endpoints.googleAuthorize + "?client_id=42-pelorn.apps.googleusercontent.com&"
                                                            "redirect_uri=http%3A%2F%2F127.0.0.1%3A"))
        << url;
    EXPECT_NE(
        url.find("&response_type=code&scope=openid%20https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fuserinfo.email"
                 "%20https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fuserinfo.profile&access_type=offline&"
                 "prompt=consent&state="),
        std::string::npos)
        << url;
    EXPECT_TRUE(url.ends_with("&code_challenge_method=S256")) << url;

    auto page = browse(*attempt);
    EXPECT_NE(page.find("Signed in to Pelorn"), std::string::npos);
    EXPECT_EQ(attempt->result, true);
    EXPECT_TRUE(auth->isAuthenticated());
    EXPECT_EQ(auth->userEmail(), email);
    EXPECT_EQ(auth->userName(), "Ann Owner");
    ASSERT_TRUE(pumpUntil(loop, [&] { return !auth->userUID().empty(); }));
    EXPECT_EQ(cloud.currentUser()->uid, auth->userUID());
    EXPECT_TRUE(logs.contains("✅ Firebase signed in (Mac), uid=" + auth->userUID()));
    EXPECT_EQ(cloudSignIns, 1);
    EXPECT_TRUE(
        logs.contains("🔐 OAuth callback server listening on 127.0.0.1:" +
                      url.substr(url.find("127.0.0.1%3A") + 12,
                                 url.find('&', url.find("127.0.0.1%3A")) - url.find("127.0.0.1%3A") - 12)));

    auth->signOut();
    EXPECT_FALSE(auth->isAuthenticated());
    EXPECT_EQ(auth->userEmail(), "");
    EXPECT_EQ(auth->userName(), "");
    EXPECT_EQ(auth->userUID(), "");
    EXPECT_EQ(cloud.currentUser(), std::nullopt);
}

TEST_F(GoogleSignInTest, EachWayASignInEndsIsReportedOnceAndLeavesNoAttemptBehind) {
    // The cloud's sign-in is configured but unreachable: only the bridge's own lines matter here.
    CloudEndpoints nowhere;
    nowhere.identityToolkit = "http://127.0.0.1:1";
    FirebaseAuth cloud({loop, pool, secrets, "k", nowhere});
    struct Case {
        std::string plan;
        bool succeeds;
        std::string line;     // in the log
        std::string userName; // when it succeeds
    };
    for (const auto& c : std::vector<Case>{
             {R"({"deny":true})", false, "❌ Sign-in failed: Google returned access_denied", ""},
             {R"({"noIdToken":true})", true,
              "⚠️ Firebase bridge skipped - no id_token (ensure 'openid' scope).", "Ann Owner"},
             {R"({"noName":true})", true, "⚠️ Firebase sign-in failed: ", "User"},
             {R"({"badProfile":true})", false, "", ""},
         }) {
        SCOPED_TRACE(c.plan);
        logs.clear();
        settings.set("userUID", "uid-of-an-earlier-account");
        auto auth = make(&cloud);
        nextSignIn(c.plan);
        auto attempt = start(*auth);
        browse(*attempt);
        EXPECT_EQ(attempt->result, c.succeeds);
        if (!c.line.empty()) {
            EXPECT_TRUE(pumpUntil(loop, [&] {
                auto lines = logs.lines();
                return std::any_of(lines.begin(), lines.end(),
                                   [&](auto& l) { return l.starts_with(c.line); });
            })) << c.line;
        }
        if (c.succeeds) {
            EXPECT_EQ(auth->userName(), c.userName);
            EXPECT_EQ(auth->userUID(), ""); // nothing bridged, and the old uid is not this account's
        } else {
            auto lines = logs.lines();
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.starts_with("❌"); }),
                      c.line.empty() ? 0 : 1);
        }
        EXPECT_FALSE(auth->hasPendingSignIn());
    }
}

TEST_F(GoogleSignInTest, ARedirectThatIsNotThisAttemptsFailsIt) {
    for (auto [query, line] : std::vector<std::pair<std::string, std::string>>{
             {"state=forged&code=abc", "❌ Sign-in failed: state mismatch - ignoring an unexpected redirect"},
             {"STATE&code=", "❌ Sign-in failed: no authorization code in the redirect"},
             {"STATE&code=not-issued", "❌ Token exchange failed: invalid_grant: Bad Request"},
         }) {
        logs.clear();
        auto auth = make();
        auto attempt = start(*auth);
        auto url = *attempt->url;
        auto state = url.substr(url.find("&state=") + 1,
                                url.find('&', url.find("&state=") + 1) - url.find("&state=") - 1);
        if (query.starts_with("STATE")) {
            query.replace(0, 5, state);
        }
        auto redirect = url.substr(url.find("redirect_uri=") + 13,
                                   url.find('&', url.find("redirect_uri=")) - url.find("redirect_uri=") - 13);
        redirect.replace(0, redirect.find("127.0.0.1"), "http://");
        redirect.replace(redirect.find("%3A"), 3, ":");
        auto page = fetch(redirect + "/?" + query);
        EXPECT_EQ(page.status, 200) << query; // the browser still gets its page
        ASSERT_TRUE(pumpUntil(loop, [&] { return attempt->result.has_value(); }));
        EXPECT_EQ(attempt->result, false);
        EXPECT_TRUE(logs.contains(line)) << line;
    }
}

TEST_F(GoogleSignInTest, TimeoutsCancellationAndAStartThatCannotHappen) {
    auto auth = make();
    // Nobody comes back from the browser.
    auto waiting = start(*auth);
    loop.advance(AuthManager::serverTimeout);
    ASSERT_TRUE(pumpUntil(loop, [&] { return waiting->result.has_value(); }));
    EXPECT_EQ(waiting->result, false);
    EXPECT_TRUE(logs.contains("❌ Sign-in failed: Sign-in timed out. Please try again."));

    // A second sign-in cancels the first, which hears false once; the second goes through.
    auto first = start(*auth);
    auto second = start(*auth);
    loop.runPending();
    EXPECT_EQ(first->result, false);
    EXPECT_TRUE(logs.contains("↩️ Pending sign-in cancelled"));
    browse(*second);
    EXPECT_EQ(second->result, true);
    EXPECT_EQ(first->result, false);
    loop.advance(AuthManager::safetyNet); // the first's safety net finds nothing to cancel
    loop.runPending();
    auto lines = logs.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "↩️ Pending sign-in cancelled"), 1);

    // The browser cannot be opened.
    auto headless = make(nullptr, std::string("xdg-open failed: no method available for opening 'http://…'"));
    std::optional<bool> result;
    headless->signIn(nullptr, [&](bool ok) { result = ok; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
    EXPECT_EQ(result, false);
    EXPECT_TRUE(logs.contains(
        "❌ Sign-in could not start: xdg-open failed: no method available for opening 'http://…'"));

    // No OAuth client configured.
    AuthManager unconfigured(
        {loop, io.context(), pool, settings, std::nullopt, endpoints, nullptr, performHttp, {}, {}});
    result.reset();
    unconfigured.signIn(nullptr, [&](bool ok) { result = ok; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
    EXPECT_EQ(result, false);
    EXPECT_TRUE(
        logs.contains("❌ Sign-in could not start: no Google OAuth client is configured (oauth-client.json)"));
}

} // namespace
