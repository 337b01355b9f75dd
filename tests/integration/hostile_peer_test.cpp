// Peers on the network that do not know the master password, against the real pelorn-host: they
// neither disturb the client being served nor make the host grow.
#include "core/base64.hpp"
#include "integration/online_host.hpp"
#include "signaling/frame.hpp"
#include "signaling/signaling_message.hpp"

#include <fstream>
#include <poll.h>
#include <sys/socket.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

class HostilePeer : public ::testing::Test {
protected:
    void SetUp() override {
        credentials = h.device("ipad.json");
        ASSERT_TRUE(credentials);
        c = h.authorised(*credentials);
        ASSERT_TRUE(c);
        ProcessOptions options;
        options.environment = h.home.env();
        runProcess({"tmux", "new-session", "-d", "-s", "work"}, options);
        ASSERT_TRUE(c->connection().send({.type = "term_attach", .sdp = "work", .x = 80, .y = 24}));
        ASSERT_TRUE(nextOf("term_attached"));
    }

    std::optional<SignalingMessage> nextOf(const std::string& type) {
        for (auto m = c->next(); m; m = c->next()) {
            if (m->type == type) {
                return m;
            }
        }
        return std::nullopt;
    }
    // The served client's terminal still answers.
    bool echoes(const std::string& word) {
        if (!c->connection().send(
                {.type = "terminal_input", .sdp = base64::encode("echo " + word + "-$((1+1))\r")})) {
            return false;
        }
        std::string screen;
        while (screen.find(word + "-2") == std::string::npos) {
            auto m = nextOf("terminal_output");
            if (!m) {
                return false;
            }
            auto bytes = base64::decode(m->sdp.value_or(""));
            screen.append(bytes ? std::string(bytes->begin(), bytes->end()) : "");
        }
        return true;
    }
    std::unique_ptr<client::Connection> stranger() {
        auto opened = client::Connection::open("127.0.0.1", h.port);
        EXPECT_TRUE(std::holds_alternative<std::unique_ptr<client::Connection>>(opened));
        return std::move(std::get<std::unique_ptr<client::Connection>>(opened));
    }

    OnlineHost h;
    std::unique_ptr<client::Credentials> credentials;
    std::unique_ptr<client::Session> c;
};

TEST_F(HostilePeer, StrangersNeitherReplaceNorDisturbTheServedClient) {
    {
        auto silent = stranger();
        auto junk = stranger();
        ASSERT_TRUE(junk->sendRaw(frameText("{not json") + *frameMessage({.type = "screen_stop"}) +
                                  *frameMessage({.type = "term_detach"})));
        auto wrong = std::make_unique<client::Session>(stranger(), *credentials);
        ASSERT_TRUE(wrong->awaitChallenge());
        ASSERT_TRUE(wrong->sendProof(base64::encode(std::string(32, 'x'))));
        ASSERT_TRUE(wrong->nextResult());
        auto status = statusJson(h.home);
        EXPECT_EQ(status["unauthenticatedConnections"], 3) << status.dump();
        EXPECT_TRUE(echoes("during"));
    } // and they leave
    EXPECT_TRUE(echoes("after"));
    EXPECT_EQ(h.host.output().find("term_detached"), std::string::npos);
    auto listing = ctl(h.home, {"sessions"});
    EXPECT_NE(listing.out.find("work  Attached · iPad"), std::string::npos) << listing.out;
}

TEST_F(HostilePeer, FloodsCostTheHostBoundedMemoryAndTheOwnerStillGetsAnswers) {
    auto before = residentKiB(h.host.pid());
    // A frame far beyond any handshake message is refused as soon as its length is read.
    auto big = stranger();
    std::string header = {'\x01', '\x00', '\x00', '\x00'};
    (void)big->sendRaw(header + std::string(1 << 20, 'x')); // fails once the host has closed
    EXPECT_TRUE(big->waitForClose(10s));

    // Tiny frames as fast as the socket takes them, while the owner and the client carry on.
    std::atomic<bool> stop{false};
    auto tiny = stranger();
    std::thread flooder([&] {
        std::string burst;
        while (burst.size() < 1 << 20) {
            burst += *frameMessage({.type = "mouse_event"});
        }
        while (!stop && tiny->sendRaw(burst, 1s)) {
        }
    });
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(ctl(h.home, {"status"}).succeeded());
        EXPECT_TRUE(echoes("flood" + std::to_string(i)));
    }
    stop = true;
    flooder.join();
    auto during = residentKiB(h.host.pid());
    EXPECT_LT(during - before, 64 * 1024) << "host grew from " << before << " to " << during << " KiB";
    // The dropped-message line is written a bounded number of times, not once a message.
    auto out = h.host.output();
    std::size_t dropped = 0;
    for (auto at = out.find("🔒 Dropped mouse_event"); at != std::string::npos;
         at = out.find("🔒 Dropped mouse_event", at + 1)) {
        ++dropped;
    }
    EXPECT_LE(dropped, 16u);
}

TEST_F(HostilePeer, WhatAPeerCallsItselfIsStoredShortAndShownEscaped) {
    auto loaded = client::Credentials::load(h.home.dir / "evil.json",
                                            "\x1b[2J\x1b[31mevil" + std::string(60000, 'n'), "model\x07");
    ASSERT_TRUE(std::holds_alternative<client::Credentials>(loaded));
    auto evil = std::get<client::Credentials>(std::move(loaded));
    client::Session wrong(stranger(), evil);
    auto result = wrong.authenticate("not the password");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->state, AuthResult::State::WrongPassword);

    auto logs = ctl(h.home, {"logs"});
    ASSERT_TRUE(logs.succeeded()) << logs.err;
    auto line = logs.out.substr(0, logs.out.find('\n'));
    EXPECT_NE(line.find("\\x1B[2J\\x1B[31mevil"), std::string::npos) << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    EXPECT_LT(line.size(), 400u);
    EXPECT_EQ(h.host.output().find('\x1b'), std::string::npos);

    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status(h.home.activity()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(h.home.activity().parent_path()).permissions() & fs::perms::all,
              fs::perms::owner_all);
}

// The host writes its log lines from a thread of their own: an output nobody reads costs lines,
// reported once it flows again, never the host's answers.
TEST(HostOutput, AStalledOutputNeverStallsTheHost) {
    Home home;
    HostProcess host{home, "host", true};
    waitUntilServing(home, host.pid());
    home.signIn("owner@example.com");
    ASSERT_TRUE(ctl(home, {"online"}).succeeded());
    auto port = statusJson(home)["signalingPort"].get<std::uint16_t>();
    // Each connection logs a few lines: far more than the pipe and the queue hold.
    for (int i = 0; i < 8000; ++i) {
        auto opened = client::Connection::open("127.0.0.1", port);
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<client::Connection>>(opened));
    }
    auto status = ctl(home, {"status"});
    EXPECT_TRUE(status.succeeded()) << status.err;
    for (int i = 0; i < 500 && statusJson(home)["unauthenticatedConnections"] != 0; ++i) {
        std::this_thread::sleep_for(20ms);
    }

    std::string out;
    char buffer[65536];
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         out.find("log lines dropped") == std::string::npos && std::chrono::steady_clock::now() < deadline;) {
        pollfd readable{host.outputPipe(), POLLIN, 0};
        if (::poll(&readable, 1, 1000) > 0) {
            auto n = ::read(host.outputPipe(), buffer, sizeof buffer);
            out.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        }
    }
    EXPECT_NE(out.find(" log lines dropped - the output was not taking them"), std::string::npos)
        << std::count(out.begin(), out.end(), '\n')
        << " lines: " << out.substr(out.size() > 300 ? out.size() - 300 : 0);
}

} // namespace
