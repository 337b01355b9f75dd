// Terminal sessions driven by the reference client over real TCP against the real pelorn-host,
// with a real tmux server private to each test.
#include "core/base64.hpp"
#include "integration/online_host.hpp"
#include "signaling/signaling_message.hpp"

#include <fstream>
#include <thread>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

class TerminalOverLan : public ::testing::Test {
protected:
    void SetUp() override {
        credentials = h.device("ipad.json");
        ASSERT_TRUE(credentials);
        c = h.authorised(*credentials);
        ASSERT_TRUE(c);
    }

    void send(SignalingMessage m) { ASSERT_TRUE(c->connection().send(m)); }

    // The next message of `type`; terminal output in between is collected into `screen`.
    std::optional<SignalingMessage> next(const std::string& type, std::chrono::milliseconds limit = 10s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            auto m = c->next(std::max(left, 1ms));
            if (!m) {
                return std::nullopt;
            }
            seen.push_back(m->type);
            if (m->type == "terminal_output" && m->sdp) {
                auto bytes = base64::decode(*m->sdp);
                EXPECT_TRUE(bytes);
                if (bytes) {
                    screen.append(bytes->begin(), bytes->end());
                }
            }
            if (m->type == type) {
                return m;
            }
        }
        return std::nullopt;
    }

    bool sawOnScreen(const std::string& text, std::chrono::milliseconds limit = 10s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (screen.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            next("terminal_output", 1s);
        }
        return true;
    }

    std::string tmux(std::vector<std::string> args) {
        ProcessOptions options;
        options.environment = h.home.env();
        args.insert(args.begin(), "tmux");
        return runProcess(args, options).out;
    }

    OnlineHost h;
    std::unique_ptr<client::Credentials> credentials;
    std::unique_ptr<client::Session> c;
    std::string screen;
    std::vector<std::string> seen;
};

// Sizes, pausing and a session that ends by itself are checked on the attachment and the peer.
TEST_F(TerminalOverLan, AttachTypeReplaceAndDetach) {
    tmux({"new-session", "-d", "-s", "work"});
    tmux({"new-session", "-d", "-s", "other"});
    send({.type = "term_attach", .sdp = "work", .x = 100.7, .y = 30});
    auto attached = next("term_attached");
    ASSERT_TRUE(attached);
    EXPECT_EQ(*attached->sdp, "work");

    send({.type = "terminal_input", .sdp = base64::encode("echo hi-$((6*7))\r")});
    EXPECT_TRUE(sawOnScreen("hi-42"));
    auto listing = ctl(h.home, {"sessions"});
    EXPECT_NE(listing.out.find("work  Attached · iPad"), std::string::npos) << listing.out;
    // Made by hand, so no idle line.
    EXPECT_NE(("\n" + listing.out).find("\nother  Detached\n"), std::string::npos) << listing.out;

    // The old attachment's end reaches the client before the new one's start.
    seen.clear();
    send({.type = "term_attach", .sdp = "other", .x = 80, .y = 24});
    auto replaced = next("term_detached");
    ASSERT_TRUE(replaced);
    EXPECT_EQ(*replaced->sdp, "work");
    EXPECT_EQ(*replaced->key, "replaced");
    ASSERT_TRUE(next("term_attached"));
    EXPECT_LT(std::find(seen.begin(), seen.end(), "term_detached"),
              std::find(seen.begin(), seen.end(), "term_attached"));

    send({.type = "term_detach"});
    auto detached = next("term_detached");
    ASSERT_TRUE(detached);
    EXPECT_EQ(*detached->key, "detached");
    EXPECT_EQ(tmux({"list-sessions", "-F", "#{session_name}"}), "other\nwork\n");
}

// A client that stops reading while a program floods its terminal is neither cut off nor allowed
// to make the host grow: the host stops reading the terminal until the client catches up.
TEST_F(TerminalOverLan, SlowReaderHoldsBackOutputInsteadOfLosingIt) {
    tmux({"new-session", "-d", "-s", "work"});
    send({.type = "term_attach", .sdp = "work", .x = 200, .y = 50});
    ASSERT_TRUE(next("term_attached"));
    auto before = residentKiB(h.host.pid());
    ASSERT_GT(before, 0);
    send({.type = "terminal_input", .sdp = base64::encode("yes pelorn-flood-line\r")});
    std::this_thread::sleep_for(3s); // the client reads nothing while yes runs flat out
    auto during = residentKiB(h.host.pid());
    ASSERT_GT(during, 0);
    EXPECT_LT(during - before, 16 * 1024) << "host grew from " << before << " to " << during << " KiB";
    EXPECT_FALSE(h.host.output().find("it stopped reading") != std::string::npos);

    // Reading again, the client gets an unbroken stream and the connection is still there.
    send({.type = "terminal_input", .sdp = base64::encode("\x03")});
    send({.type = "terminal_input", .sdp = base64::encode("echo flood-$((40+2))-over\r")});
    EXPECT_TRUE(sawOnScreen("flood-42-over", 60s));
    std::size_t lines = 0;
    for (auto at = screen.find("pelorn-flood-line"); at != std::string::npos;
         at = screen.find("pelorn-flood-line", at + 1)) {
        ++lines;
    }
    EXPECT_GT(lines, 1000u); // far more than one screenful came through
}

} // namespace

namespace {

// The owner's session commands against the real host and its real tmux.
TEST(TerminalCommands, SessionsAndLifetimeFromTheCommandLine) {
    Home home;
    HostProcess host{home, "host"};
    waitUntilServing(home, host.pid());
    auto run = [&](std::vector<std::string> args) { return ctl(home, std::move(args)); };

    auto empty = run({"sessions"});
    EXPECT_TRUE(empty.succeeded()) << empty.err;
    EXPECT_EQ(empty.out, "no sessions\n");

    auto made = run({"sessions", "new", "work"});
    EXPECT_TRUE(made.succeeded()) << made.err;
    EXPECT_EQ(made.out, "created work\n");
    auto suggested = run({"--json", "sessions", "new"});
    ASSERT_TRUE(suggested.succeeded()) << suggested.err;
    auto name = nlohmann::json::parse(suggested.out)["name"].get<std::string>();
    EXPECT_NE(name.find('-'), std::string::npos); // adjective-noun

    auto bad = run({"sessions", "new", "a.b"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find("Session names can't contain “:” or “.”"), std::string::npos) << bad.err;

    auto listing = run({"sessions"});
    EXPECT_NE(listing.out.find("work  Detached  idle · ends in 11h 59m\n"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find(name + "  Detached  idle · ends in 11h 59m"), std::string::npos)
        << listing.out;

    EXPECT_EQ(run({"lifetime"}).out, "12 h\n");
    EXPECT_EQ(run({"lifetime", "5"}).exitCode, 1);
    EXPECT_EQ(run({"lifetime", "never"}).out, "idle sessions end after: never\n");
    EXPECT_EQ(run({"sessions"}).out.find("idle"), std::string::npos); // no idle line without a lifetime
    EXPECT_EQ(run({"lifetime", "1"}).out, "idle sessions end after: 1 h\n");
    auto settings = nlohmann::json::parse(*readWholeFile(home.settings()));
    EXPECT_EQ(settings["terminalSessionLifetimeHours"], 1);

    auto ended = run({"sessions", "end", "work"});
    EXPECT_TRUE(ended.succeeded()) << ended.err;
    auto again = run({"sessions", "end", "work"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("can't find session: work"), std::string::npos) << again.err;
    EXPECT_EQ(run({"sessions", "frobnicate"}).exitCode, 1);

    ProcessOptions options;
    options.environment = home.env();
    runProcess({"tmux", "kill-server"}, options);
}

} // namespace
