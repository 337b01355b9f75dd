// The update checker against a manifest served on loopback, through the real HTTP client, on a
// manual clock.
#include "account/update_checker.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "support/http_stub.hpp"
#include "support/test_support.hpp"

#include <future>
#include <gtest/gtest.h>

using namespace pelorn;
using namespace std::chrono_literals;

namespace {

TEST(Versions, CompareAsDottedNumbers) {
    struct Case {
        const char* a;
        const char* b;
        int expected;
    };
    for (auto [a, b, expected] : std::vector<Case>{{"1.10", "1.9", 1},
                                                   {"1.2", "1.2.0", 0},
                                                   {"1.2.0", "1.2", 0},
                                                   {"1..2", "1.2", 0},
                                                   {"1.a", "1.0", 0},
                                                   {"1.0.1", "1", 1},
                                                   {"2", "1.99.99", 1},
                                                   {"0.9", "0.10", -1},
                                                   {"", "0", 0},
                                                   {"1.99999999999999999999999", "1.5", 1}}) {
        EXPECT_EQ(compareVersions(a, b), expected) << a << " vs " << b;
    }
}

TEST(Versions, TheManifestNeedsAVersionAndAUrlOfTheRightTypes) {
    EXPECT_EQ(decodeRelease(
                  R"({"version":"1.4.2","build":42,"url":"https://x/d","notes":"n","minimumVersion":"1.0"})"),
              (Release{"1.4.2", 42, "https://x/d", "n", "1.0"}));
    EXPECT_EQ(decodeRelease(R"({"version":"1.4","url":"https://x/d","notes":null,"extra":1})"),
              (Release{"1.4", std::nullopt, "https://x/d", std::nullopt, std::nullopt}));
    for (const char* bad : {R"({"url":"https://x"})", R"({"version":"1.4"})", R"({"version":1.4,"url":"u"})",
                            R"({"version":"1","url":"u","build":"42"})",
                            R"({"version":"1","url":"u","minimumVersion":1})", R"([])", "not json"}) {
        EXPECT_EQ(decodeRelease(bad), std::nullopt) << bad;
    }
}

TEST(Versions, TheWebsiteIsHttpsOrThisMachine) {
    struct Case {
        std::optional<std::string> variable;
        const char* built;
        std::optional<std::string> expected;
    };
    for (const auto& [variable, built, expected] :
         std::vector<Case>{{std::nullopt, "", std::nullopt},
                           {std::nullopt, "https://built.example", "https://built.example"},
                           {"https://env.example", "https://built.example", "https://env.example"},
                           {"http://127.0.0.1:8080", "", "http://127.0.0.1:8080"},
                           {"http://evil.example", "https://built.example", std::nullopt},
                           {"ftp://x", "", std::nullopt},
                           {"http://127.0.0.1.evil.example", "", std::nullopt}}) {
        std::vector<std::string> problems;
        auto site = websiteUrl([&](const char*) { return variable; }, built, problems);
        EXPECT_EQ(site, expected) << variable.value_or("(unset)") << " / " << built;
        EXPECT_EQ(problems.size(), !expected && variable ? 1u : 0u);
    }
}

struct CheckerTest : ::testing::Test {
    UpdateChecker& make(const std::string& running) {
        checker =
            std::make_unique<UpdateChecker>(loop, pool, settings, performHttp, stub.url() + "/", running);
        return *checker;
    }
    // Serves `body` (status 200) from now on.
    void serve(std::string body, int status = 200) {
        std::lock_guard lock(mutex);
        reply = {status, std::move(body)};
    }
    void checked(UpdateChecker& c, bool userInitiated) {
        c.check(userInitiated);
        ASSERT_TRUE(test::pumpUntil(
            loop, [&] { return !c.checking().get(); }, 20s));
    }

    HostLoop loop{HostLoop::TimeMode::Manual};
    Settings settings{std::nullopt};
    TaskPool pool{1};
    std::mutex mutex;
    test::HttpStub::Reply reply;
    std::vector<std::string> targets;
    std::promise<void> held;
    bool holding = false;
    test::HttpStub stub{[this](const test::HttpStub::Request& request) {
        std::unique_lock lock(mutex);
        targets.push_back(request.target);
        if (holding) {
            auto released = held.get_future();
            lock.unlock();
            released.wait();
            lock.lock();
        }
        return reply;
    }};
    std::unique_ptr<UpdateChecker> checker;
};

TEST_F(CheckerTest, ANewerReleaseIsOfferedAndTheSameOneIsUpToDate) {
    serve(R"({"version":"1.10","url":"https://example.org/pelorn-1.10.deb"})");
    auto& c = make("1.9");
    checked(c, false);
    EXPECT_EQ(targets, std::vector<std::string>{"/mac/latest.json"});
    ASSERT_TRUE(c.available().get());
    EXPECT_EQ(c.available().get()->url, "https://example.org/pelorn-1.10.deb");
    EXPECT_EQ(c.status().get(), "Pelorn 1.10 is available.");
    EXPECT_FALSE(c.required().get());

    auto& same = make("1.2.0");
    serve(R"({"version":"1.2","url":"u"})");
    checked(same, false);
    EXPECT_FALSE(same.available().get());
    EXPECT_EQ(same.status().get(), "Pelorn 1.2.0 is up to date.");
}

TEST_F(CheckerTest, ASkippedVersionStaysHiddenUnlessTheUpdateIsRequired) {
    serve(R"({"version":"1.1","url":"u","minimumVersion":"1.0"})");
    auto& c = make("1.0");
    checked(c, false);
    ASSERT_TRUE(c.available().get());
    c.skip();
    EXPECT_FALSE(c.available().get());
    EXPECT_EQ(settings.string(UpdateChecker::skippedKey), "1.1");
    checked(c, false);
    EXPECT_FALSE(c.available().get());
    EXPECT_EQ(c.status().get(), "Pelorn 1.1 is available.");

    // No longer supported: offered although skipped, and it cannot be skipped.
    serve(R"({"version":"1.1","url":"u","minimumVersion":"1.1"})");
    checked(c, false);
    EXPECT_TRUE(c.required().get());
    ASSERT_TRUE(c.available().get());
    c.skip();
    EXPECT_TRUE(c.available().get());
    EXPECT_EQ(UpdateChecker::windowText(c.required().get()),
              "This version is no longer supported. Update to keep using Pelorn.");

    // A later version is offered again.
    serve(R"({"version":"1.2","url":"u"})");
    checked(c, false);
    EXPECT_FALSE(c.required().get());
    EXPECT_EQ(c.available().get()->version, "1.2");
    EXPECT_EQ(UpdateChecker::windowText(false), "A newer version is ready to download.");
}

TEST_F(CheckerTest, AFailedCheckKeepsTheOfferAndSpeaksOnlyWhenAsked) {
    serve(R"({"version":"2.0","url":"u"})");
    auto& c = make("1.0");
    c.check(true);
    EXPECT_EQ(c.status().get(), "…"); // while the owner waits
    ASSERT_TRUE(test::pumpUntil(
        loop, [&] { return !c.checking().get(); }, 20s));
    ASSERT_TRUE(c.available().get());
    for (auto [status, body] : std::vector<std::pair<int, std::string>>{
             {500, R"({"version":"3.0","url":"u"})"}, {200, "{}"}, {200, "<html>"}, {404, ""}}) {
        serve(body, status);
        checked(c, false);
        EXPECT_EQ(c.status().get(), "") << status << " " << body;
        EXPECT_EQ(c.available().get()->version, "2.0");
        checked(c, true);
        EXPECT_EQ(c.status().get(), "Couldn't check for updates right now.");
    }
    // Nothing listening at all.
    UpdateChecker nowhere(loop, pool, settings, performHttp, "http://127.0.0.1:1", "1.0");
    checked(nowhere, true);
    EXPECT_EQ(nowhere.status().get(), "Couldn't check for updates right now.");
}

TEST_F(CheckerTest, OneCheckAtATimeAndOnceADayFromTheStart) {
    serve(R"({"version":"1.0","url":"u"})");
    holding = true;
    auto& c = make("1.0");
    c.start();
    c.check(true);
    EXPECT_EQ(c.status().get(), ""); // the second was ignored while the first runs
    ASSERT_TRUE(test::pumpUntil(loop, [&] {
        std::lock_guard lock(mutex);
        return targets.size() == 1;
    }));
    {
        std::lock_guard lock(mutex);
        holding = false;
    }
    held.set_value();
    ASSERT_TRUE(test::pumpUntil(
        loop, [&] { return !c.checking().get(); }, 20s));
    EXPECT_EQ(c.status().get(), "Pelorn 1.0 is up to date.");

    loop.advance(UpdateChecker::interval - 1s);
    EXPECT_FALSE(c.checking().get());
    // The day's check is held at the stub, so it is seen running however fast the answer would be.
    {
        std::lock_guard lock(mutex);
        held = {};
        holding = true;
    }
    loop.advance(1s);
    EXPECT_TRUE(c.checking().get());
    {
        std::lock_guard lock(mutex);
        holding = false;
    }
    held.set_value();
    ASSERT_TRUE(test::pumpUntil(
        loop, [&] { return !c.checking().get(); }, 20s));
    EXPECT_EQ(targets.size(), 2u);
}

} // namespace
