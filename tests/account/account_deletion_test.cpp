// Deleting the account: the backend's "deleteAccount" function played by a loopback stub that
// checks its caller at the Firebase Auth emulator, the user signed in there, the loop's clock manual.
#include "account/account_deletion.hpp"
#include "cloud/firebase_auth.hpp"
#include "core/file_secret_store.hpp"
#include "core/task_pool.hpp"
#include "support/emulators.hpp"
#include "support/http_stub.hpp"
#include "support/test_support.hpp"

#include <mutex>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;
using Failure = AccountDeletionService::Failure;

namespace {

struct DeletionTest : ::testing::Test {
    void SetUp() override {
        PELORN_NEED_AUTH_EMULATOR(found);
        authHost = *found;
        cloud = std::make_unique<FirebaseAuth>(FirebaseAuth::Dependencies{
            loop, pool, secrets, "fake-api-key", authEmulatorEndpoints(authHost), performHttp});
        auto user = startSignedIn(
            loop, *cloud, googleIdToken(uniqueName("sub"), uniqueName("ann") + "@example.com", "Ann"));
        ASSERT_TRUE(std::holds_alternative<CloudUser>(user)) << std::get<std::string>(user);
    }

    AccountDeletionService& make(std::string endpoint = {}) {
        service = std::make_unique<AccountDeletionService>(AccountDeletionService::Dependencies{
            loop, pool, cloud.get(), endpoint.empty() ? stub.url() + "/deleteAccount" : endpoint,
            [this] { steps.push_back(std::string("offline") + (service->busy().get() ? " (busy)" : "")); },
            [this] {
                steps.push_back("signed out");
                cloud->signOut();
            },
            [this](const HttpRequest& request) {
                auto sent = request;
                std::unique_lock lock(mutex);
                timeouts.push_back(request.timeout);
                // Against a function that never answers, the transport gives up soon.
                if (reply.never) {
                    sent.timeout = 2s;
                }
                lock.unlock();
                return performHttp(sent);
            }});
        return *service;
    }
    void answer(HttpStub::Reply r) {
        std::lock_guard lock(mutex);
        reply = std::move(r);
    }
    // Runs a deletion to its end; what it said.
    std::optional<Failure> run(AccountDeletionService& s) {
        std::optional<std::optional<Failure>> outcome;
        s.deleteAccount([&](std::optional<Failure> f) { outcome = f; });
        EXPECT_TRUE(pumpUntil(
            loop, [&] { return outcome.has_value(); }, 20s));
        EXPECT_FALSE(s.busy().get());
        return outcome.value_or(Failure::NotSignedIn);
    }

    std::string authHost;
    HostLoop loop{HostLoop::TimeMode::Manual};
    TempDir dir;
    FileSecretStore secrets{dir / "secrets"};
    std::unique_ptr<FirebaseAuth> cloud;
    std::vector<std::string> steps;
    std::mutex mutex;
    HttpStub::Reply reply;
    std::vector<std::string> calls; // "METHOD target body", of callers the emulator knows
    std::vector<std::chrono::seconds> timeouts;
    HttpStub stub{[this](const HttpStub::Request& request) {
        if (!knownCaller(authHost, request.authorization)) {
            return HttpStub::Reply{401, R"({"error":"unauthenticated"})"};
        }
        std::lock_guard lock(mutex);
        calls.push_back(request.method + " " + request.target + " " + request.body);
        return reply;
    }};
    std::unique_ptr<AccountDeletionService> service;
    TaskPool pool{2}; // last, so it is joined before what its tasks use goes away
};

TEST_F(DeletionTest, TheBackendsConfirmationAloneSignsTheOwnerOut) {
    auto& deletion = make();
    answer({200, R"({"ok":true})"});
    EXPECT_EQ(run(deletion), std::nullopt);
    EXPECT_EQ(steps, (std::vector<std::string>{"offline (busy)", "signed out"}));
    EXPECT_EQ(calls, std::vector<std::string>{"POST /deleteAccount "});
    EXPECT_GE(timeouts.at(0), 45s);
    EXPECT_FALSE(cloud->currentUser());
}

// Every other answer leaves the owner signed in (and the host offline), with the server's text.
TEST_F(DeletionTest, AnyOtherAnswerIsTheServersFailure) {
    for (const auto& r : std::vector<HttpStub::Reply>{{200, R"({"ok":false})"},
                                                      {500, R"({"ok":true})"},
                                                      {200, R"({"ok":"true"})"},
                                                      {200, R"({"deleted":true})"},
                                                      {200, "not json", "text/plain"},
                                                      {200, "[true]"}}) {
        SCOPED_TRACE(r.body);
        steps.clear();
        answer(r);
        EXPECT_EQ(run(make()), Failure::Server);
        EXPECT_EQ(steps, std::vector<std::string>{"offline (busy)"});
        EXPECT_TRUE(cloud->currentUser());
    }
    EXPECT_EQ(AccountDeletionService::text(Failure::Server),
              "Something went wrong deleting your account. Nothing was half-deleted — try again.");
}

TEST_F(DeletionTest, NoAnswerWithinFortyFiveSecondsOrNoServerIsUnreachable) {
    answer({200, R"({"ok":true})", "application/json", true});
    auto& deletion = make();
    std::optional<std::optional<Failure>> outcome;
    deletion.deleteAccount([&](std::optional<Failure> f) { outcome = f; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return stub.requests() == 1; }));
    loop.advance(44s);
    EXPECT_FALSE(outcome);
    // A second request while the first runs joins it.
    std::optional<std::optional<Failure>> joined;
    deletion.deleteAccount([&](std::optional<Failure> f) { joined = f; });
    loop.advance(1s);
    EXPECT_EQ(outcome, std::optional<std::optional<Failure>>(Failure::Unreachable));
    EXPECT_EQ(joined, outcome);
    EXPECT_FALSE(deletion.busy().get());
    EXPECT_TRUE(cloud->currentUser());
    EXPECT_EQ(AccountDeletionService::text(Failure::Unreachable),
              "Couldn't reach Pelorn. Check your connection and try again.");

    EXPECT_EQ(run(make("http://127.0.0.1:1/deleteAccount")), Failure::Unreachable);
}

TEST_F(DeletionTest, WithoutASignedInCloudUserNothingHappens) {
    cloud->signOut();
    auto& deletion = make();
    EXPECT_EQ(run(deletion), Failure::NotSignedIn);
    AccountDeletionService unconfigured(
        {loop, pool, nullptr, "", [this] { steps.push_back("offline"); }, [] {}});
    EXPECT_EQ(run(unconfigured), Failure::NotSignedIn);
    EXPECT_TRUE(steps.empty());
    EXPECT_EQ(stub.requests(), 0);
    EXPECT_EQ(AccountDeletionService::text(Failure::NotSignedIn), "You're not signed in.");
}

} // namespace
