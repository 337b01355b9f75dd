// One client's terminal peer with senders of the test's own, against a real tmux server.
#include "activity/event_log.hpp"
#include "core/base64.hpp"
#include "core/host_loop.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "signaling/signaling_message.hpp"
#include "support/private_tmux.hpp"
#include "terminal/terminal_peer.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace std::chrono_literals;

namespace {

class PeerTest : public ::testing::Test, protected test::PrivateTmux {
protected:
    ~PeerTest() override {
        peer.reset();
        pool.waitIdle();
        loop.runPending();
    }
    std::unique_ptr<TerminalPeer> makePeer(const Tmux& with, TerminalSessionStore* storeToUse = nullptr) {
        return std::make_unique<TerminalPeer>(
            TerminalPeer::Services{loop, storeToUse ? *storeToUse : store, with, *log}, "iPad",
            [this](const SignalingMessage& m) { sent.push_back(m); },
            [this](const SignalingMessage& m) {
                EXPECT_EQ(m.type, "terminal_output");
                auto bytes = base64::decode(m.sdp.value_or(""));
                EXPECT_TRUE(bytes);
                std::lock_guard lock(mutex);
                output.append(bytes->begin(), bytes->end());
                return true;
            });
    }
    // Keystrokes as the client sends them.
    void type(const std::string& text) {
        peer->handle({.type = "terminal_input", .sdp = base64::encode(text)});
    }
    std::vector<std::string> types() const {
        std::vector<std::string> out;
        for (const auto& m : sent) {
            out.push_back(m.type);
        }
        return out;
    }
    bool outputHas(const std::string& text, std::chrono::milliseconds limit = 10s) {
        return test::pumpUntil(
            loop,
            [&] {
                std::lock_guard lock(mutex);
                return output.find(text) != std::string::npos;
            },
            limit);
    }
    void settle() {
        test::pumpUntil(loop, [&] { return !store.isRefreshing(); });
        pool.waitIdle();
        loop.runPending();
    }

    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
    Settings settings{std::nullopt};
    std::shared_ptr<EventLog> log = EventLog::create(loop, pool, std::nullopt);
    TerminalSessionStore store{loop, pool, tmux, settings, [](const auto&) { return std::nullopt; }};
    std::vector<SignalingMessage> sent;
    std::mutex mutex;
    std::string output; // guarded by mutex: written on the reading thread
    std::unique_ptr<TerminalPeer> peer = makePeer(tmux);
};

TEST_F(PeerTest, ListAnswersEveryTimeAndPushesOnlyChanges) {
    peer->handle({.type = "term_list"});
    peer->handle({.type = "term_list"});
    EXPECT_EQ(types(), (std::vector<std::string>{"term_sessions", "term_sessions"}));
    settle();
    loop.advance(2s);
    settle();
    EXPECT_EQ(sent.size(), 2u); // nothing changed, nothing pushed
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    loop.advance(2s);
    settle();
    ASSERT_EQ(sent.size(), 3u);
    auto payload = nlohmann::json::parse(*sent[2].sdp).get<TermSessionsPayload>();
    ASSERT_EQ(payload.sessions.size(), 1u);
    EXPECT_EQ(payload.sessions[0].name, "work");
    peer->handle({.type = "term_warp"}); // unknown: nothing
    settle();
    EXPECT_EQ(sent.size(), 3u);
}

TEST_F(PeerTest, WithoutTmuxEveryRequestFailsWithTheText) {
    Tmux none({"/nonexistent/tmux"}, "/nonexistent/own");
    TerminalSessionStore without{loop, pool, none, settings, [](const auto&) { return std::nullopt; }};
    peer = makePeer(none, &without);
    peer->handle({.type = "term_attach", .sdp = "work", .x = 80, .y = 24});
    peer->handle({.type = "term_create", .sdp = "work"});
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return sent.size() == 2; }));
    for (const auto& m : sent) {
        EXPECT_EQ(m, (SignalingMessage{.type = "term_error", .sdp = "tmux is not available on this Mac."}));
    }
    EXPECT_FALSE(peer->attachment());
}

TEST_F(PeerTest, AttachDefaultsToTheSmallestWindowAndIgnoresBadSizes) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    peer->handle({.type = "term_attach", .sdp = "work", .x = std::nan(""), .y = 24});
    peer->handle({.type = "term_attach", .sdp = "work", .x = 1e30, .y = 24});
    peer->handle({.type = "term_attach", .x = 80, .y = 24}); // no name
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(peer->attachment());

    peer->handle({.type = "term_attach", .sdp = "work"});
    ASSERT_TRUE(peer->attachment());
    EXPECT_EQ(peer->attachment()->windowSize(), std::pair(20, 5));
    EXPECT_EQ(sent.back(), (SignalingMessage{.type = "term_attached", .sdp = "work"}));
    EXPECT_EQ(store.holderLabels("work"), std::vector<std::string>{"iPad"});
    EXPECT_EQ(log->events().get().front().kind, LoggedEvent::Kind::SessionOpened);
    EXPECT_EQ(log->events().get().front().detail, "iPad");

    type("echo peer-$((20+3))\r");
    EXPECT_TRUE(outputHas("peer-23"));
    peer->handle({.type = "terminal_resize", .x = 90, .y = 30});
    peer->handle({.type = "terminal_resize", .x = 1e300, .y = 30}); // not a size: ignored
    peer->handle({.type = "terminal_input", .sdp = "not base64"});  // ignored
    EXPECT_EQ(peer->attachment()->windowSize(), std::pair(90, 30));

    peer->handle({.type = "term_detach"});
    EXPECT_FALSE(peer->attachment());
    EXPECT_EQ(sent.back(), (SignalingMessage{.type = "term_detached", .sdp = "work", .key = "detached"}));
    EXPECT_EQ(log->events().get().front().kind, LoggedEvent::Kind::SessionClosed);
    EXPECT_TRUE(store.holders().get().empty());
    type("ignored\r"); // without an attachment: nothing
    peer->handle({.type = "terminal_resize", .x = 10, .y = 10});
}

TEST_F(PeerTest, StopDetachesUnsubscribesAndLeavesTheSession) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    peer->handle({.type = "term_list"});
    peer->handle({.type = "term_attach", .sdp = "work", .x = 80, .y = 24});
    EXPECT_TRUE(peer->isSubscribed());
    EXPECT_EQ(store.watchers(), 1);
    auto attachment = peer->attachment();
    peer->stop();
    EXPECT_FALSE(peer->attachment());
    EXPECT_FALSE(attachment->isOpen());
    EXPECT_FALSE(peer->isSubscribed());
    EXPECT_EQ(store.watchers(), 0);
    EXPECT_FALSE(store.isPolling());
    auto listed = tmux.listSessions();
    EXPECT_EQ(std::get<std::vector<Tmux::Session>>(listed).size(), 1u);
}

TEST_F(PeerTest, KillFailureAnswersAndPushesTheList) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("keep")));
    peer->handle({.type = "term_list"});
    settle();
    peer->handle({.type = "term_kill", .sdp = "nothing"});
    peer->handle({.type = "term_kill"}); // no name: nothing
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return sent.back().type == "term_error"; }));
    EXPECT_EQ(sent.back().sdp, "can't find session: nothing");
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const auto& m) { return m.type == "term_error"; }),
              1);
    peer->handle({.type = "term_create", .sdp = " made "});
    settle();
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return store.sessions().get().size() == 2; }));
    EXPECT_EQ(sent.back().type, "term_sessions");
    EXPECT_EQ(log->events().get().front().kind, LoggedEvent::Kind::SessionCreated);
    EXPECT_EQ(log->events().get().front().subject, "made");
}

} // namespace
