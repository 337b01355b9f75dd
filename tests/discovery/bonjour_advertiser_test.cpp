// The signaling listener and its announcement: a recording publisher for the advertiser's own
// rules, real avahi-daemon (loopback only) for the announcement itself.
#include "core/process_runner.hpp"
#include "discovery/avahi_publisher.hpp"
#include "discovery/bonjour_advertiser.hpp"
#include "net/io_thread.hpp"
#include "net/tcp_connection.hpp"
#include "support/avahi.hpp"
#include "support/test_support.hpp"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace pelorn;
using namespace std::chrono_literals;

namespace {

struct RecordingPublisher : ServicePublisher {
    struct Handle : Registration {
        RecordingPublisher& owner;
        explicit Handle(RecordingPublisher& o) : owner(o) {}
        ~Handle() override { ++owner.withdrawn; }
    };
    std::unique_ptr<Registration> publish(DnsService s, Events e) override {
        services.push_back(s);
        events = e;
        return std::make_unique<Handle>(*this);
    }
    std::vector<DnsService> services;
    Events events;
    int withdrawn = 0;
};

bool canConnect(std::uint16_t port) {
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    asio::error_code error;
    socket.connect({asio::ip::address_v4::loopback(), port}, error);
    return !error;
}

struct AdvertiserTest : ::testing::Test {
    HostLoop loop{HostLoop::TimeMode::Manual};
    RecordingPublisher publisher;
    test::LogCapture logs;
    std::vector<std::shared_ptr<TcpConnection>> accepted;
    BonjourAdvertiser advertiser{{loop, IoThread::shared().context(), publisher,
                                  [] { return std::string("DEV-1"); }, [] { return std::string("Studio"); },
                                  [this](std::shared_ptr<TcpConnection> c) { accepted.push_back(c); }},
                                 0};
};

TEST_F(AdvertiserTest, EmptyOwnerSkipsWithoutListening) {
    advertiser.start("");
    EXPECT_TRUE(logs.contains("⚠️ Bonjour advertising skipped - no signed-in account."));
    EXPECT_FALSE(advertiser.isListening());
    EXPECT_TRUE(publisher.services.empty());
}

TEST_F(AdvertiserTest, AnnouncesTheListenerAndHandsOverConnections) {
    advertiser.start("owner@example.org");
    ASSERT_TRUE(advertiser.listeningPort());
    auto port = *advertiser.listeningPort();
    ASSERT_EQ(publisher.services.size(), 1u);
    const auto& service = publisher.services[0];
    EXPECT_EQ(service.name, "Pelorn-Studio");
    EXPECT_EQ(service.type, "_pelorn._tcp");
    EXPECT_EQ(service.port, port);
    EXPECT_EQ(service.txt, (std::vector<std::pair<std::string, std::string>>{{"owner", "owner@example.org"},
                                                                             {"deviceId", "DEV-1"}}));

    publisher.events.onEstablished("Pelorn-Studio");
    EXPECT_TRUE(logs.contains("✅ Bonjour advertising started on port " + std::to_string(port)));
    publisher.events.onRenamed("Pelorn-Studio", "Pelorn-Studio #2");
    EXPECT_TRUE(
        logs.contains("⚠️ Bonjour name \"Pelorn-Studio\" is taken; advertising as \"Pelorn-Studio #2\""));
    publisher.events.onFailed("Daemon not running");
    EXPECT_TRUE(logs.contains("❌ Bonjour failed: Daemon not running"));

    ASSERT_TRUE(canConnect(port));
    ASSERT_TRUE(canConnect(port));
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return accepted.size() == 2; }));
    EXPECT_EQ(logs.count("📱 iPhone connected!"), 2);
    EXPECT_EQ(accepted[0]->peerHost(), "::ffff:127.0.0.1");
}

TEST_F(AdvertiserTest, StopClosesThePortAndAStartReplacesTheAnnouncement) {
    advertiser.start("owner@example.org");
    auto port = *advertiser.listeningPort();
    advertiser.stop();
    EXPECT_FALSE(advertiser.isListening());
    EXPECT_EQ(publisher.withdrawn, 1);
    EXPECT_FALSE(canConnect(port));

    advertiser.start("a@example.org");
    advertiser.start("b@example.org"); // one listener, the newer owner announced
    ASSERT_TRUE(advertiser.listeningPort());
    EXPECT_TRUE(canConnect(*advertiser.listeningPort()));
    EXPECT_EQ(publisher.withdrawn, 2);
    EXPECT_EQ(publisher.services.back().txt[0].second, "b@example.org");
}

TEST_F(AdvertiserTest, PortInUseLogsTheFailureAndListensNowhere) {
    asio::io_context io;
    asio::ip::tcp::acceptor taken(io, {asio::ip::tcp::v6(), 0});
    taken.listen();
    BonjourAdvertiser second({loop, IoThread::shared().context(), publisher, [] { return std::string("D"); },
                              [] { return std::string("S"); }, [](std::shared_ptr<TcpConnection>) {}},
                             taken.local_endpoint().port());
    second.start("owner@example.org");
    EXPECT_TRUE(logs.contains("❌ Failed to create listener: Address already in use"));
    EXPECT_FALSE(second.isListening());
    EXPECT_TRUE(publisher.services.empty());
}

TEST(BonjourAdvertiser, InstanceNameFitsOneDnsLabel) {
    EXPECT_EQ(BonjourAdvertiser::instanceName("Studio"), "Pelorn-Studio");
    EXPECT_EQ(BonjourAdvertiser::instanceName(""), "Pelorn-Mac");
    // 8 bytes before 30 two-byte characters: a cut at 63 bytes would split the 28th.
    std::string name = "x";
    for (int i = 0; i < 30; ++i) {
        name += "é";
    }
    auto cut = BonjourAdvertiser::instanceName(name);
    EXPECT_EQ(cut.size(), 62u);
    EXPECT_EQ(cut, "Pelorn-" + name.substr(0, 55));
}

TEST(BonjourAdvertiser, PortComesFromTheEnvironmentOnlyWhenItIsAPort) {
    test::LogCapture logs;
    ::unsetenv("PELORN_SIGNALING_PORT");
    EXPECT_EQ(BonjourAdvertiser::configuredPort(), 8765);
    ::setenv("PELORN_SIGNALING_PORT", "9123", 1);
    EXPECT_EQ(BonjourAdvertiser::configuredPort(), 9123);
    ::setenv("PELORN_SIGNALING_PORT", "0", 1);
    EXPECT_EQ(BonjourAdvertiser::configuredPort(), 0);
    for (const char* bad : {"70000", "12ab", "-1"}) {
        ::setenv("PELORN_SIGNALING_PORT", bad, 1);
        EXPECT_EQ(BonjourAdvertiser::configuredPort(), 8765) << bad;
    }
    EXPECT_EQ(logs.count("⚠️ PELORN_SIGNALING_PORT is not a port number: 12ab; using 8765"), 1);
    ::unsetenv("PELORN_SIGNALING_PORT");
}

// Against the loopback-only avahi-daemon the test environment starts.
struct AvahiTest : ::testing::Test {
    void SetUp() override {
        if (!test::haveLoopbackAvahi()) {
            GTEST_SKIP() << "no loopback-only avahi-daemon (run the tests through scripts/test-env)";
        }
    }
    std::vector<std::string> browse() { return test::browsePelornServices(); }
    HostLoop loop{HostLoop::TimeMode::Manual};
    AvahiPublisher publisher{loop};
    // A name of this test's own, so parallel tests and earlier runs never collide with it.
    std::string name = "Pelorn-Test-" + std::to_string(::getpid());
};

TEST_F(AvahiTest, ServiceIsBrowsableWithItsTxtRecord) {
    std::optional<std::string> established;
    auto registration = publisher.publish(
        {name, "_pelorn._tcp", 45123, {{"owner", "owner@example.org"}, {"deviceId", "DEV-1"}}},
        {[&](const std::string& n) { established = n; }, {}, {}});
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return established.has_value(); }));
    EXPECT_EQ(*established, name);

    auto lines = browse();
    auto mine = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find(";" + name + ";") != std::string::npos;
    });
    ASSERT_NE(mine, lines.end());
    EXPECT_NE(mine->find(";45123;"), std::string::npos) << *mine;
    EXPECT_NE(mine->find("\"owner=owner@example.org\""), std::string::npos) << *mine;
    EXPECT_NE(mine->find("\"deviceId=DEV-1\""), std::string::npos) << *mine;

    // Withdrawn: the daemon's own cache forgets it within a second of the goodbye.
    registration.reset();
    auto deadline = std::chrono::steady_clock::now() + 10s;
    bool gone = false;
    while (!gone && std::chrono::steady_clock::now() < deadline) {
        lines = browse();
        gone = std::none_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(";" + name + ";") != std::string::npos;
        });
    }
    EXPECT_TRUE(gone);
}

TEST_F(AvahiTest, TakenNameIsReplacedByAvahisAlternative) {
    std::vector<std::string> established;
    std::vector<std::pair<std::string, std::string>> renamed;
    ServicePublisher::Events events{
        [&](const std::string& n) { established.push_back(n); },
        [&](const std::string& a, const std::string& b) { renamed.emplace_back(a, b); },
        {}};
    auto first = publisher.publish({name, "_pelorn._tcp", 45124, {}}, events);
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return established.size() == 1; }));
    auto second = publisher.publish({name, "_pelorn._tcp", 45125, {}}, events);
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return established.size() == 2; }));
    ASSERT_EQ(renamed.size(), 1u);
    EXPECT_EQ(renamed[0].first, name);
    EXPECT_EQ(renamed[0].second, name + " #2");
    EXPECT_EQ(established[1], name + " #2");
}

TEST_F(AvahiTest, NoDaemonReportsTheFailureOnce) {
    // A bus address with nothing behind it stands for a machine without avahi-daemon.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/pelorn-bus", 1);
    std::vector<std::string> failures;
    auto registration = publisher.publish({name, "_pelorn._tcp", 45126, {}},
                                          {{}, {}, [&](const std::string& e) { failures.push_back(e); }});
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return !failures.empty(); }));
    loop.runPending();
    EXPECT_EQ(failures, std::vector<std::string>{"Daemon not running"});
}

TEST(ServicePublisher, TurnedOffFailsEveryRegistration) {
    ::setenv("PELORN_DNS_SD", "off", 1);
    HostLoop loop{HostLoop::TimeMode::Manual};
    auto publisher = systemServicePublisher(loop);
    std::optional<std::string> failure;
    auto registration = publisher->publish({"x", "_pelorn._tcp", 1, {}},
                                           {{}, {}, [&](const std::string& e) { failure = e; }});
    loop.runPending();
    EXPECT_EQ(failure, "DNS-SD is turned off (PELORN_DNS_SD=off)");
    ::unsetenv("PELORN_DNS_SD");
}

} // namespace
