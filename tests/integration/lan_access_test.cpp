// A companion client on the LAN against the real pelorn-host: the reference client over real TCP,
// the owner's answers through the real pelornctl.
#include "client/reference_client.hpp"
#include "integration/online_host.hpp"

#include <future>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

TEST(LanAccess, NewDeviceIsApprovedOnceAndKnownAfterwards) {
    OnlineHost h;
    auto tokenFile = h.home.dir / "ipad.json";
    auto loaded = client::Credentials::load(tokenFile, "iPad", "iPad13,4");
    ASSERT_TRUE(std::holds_alternative<client::Credentials>(loaded));
    auto& ipad = std::get<client::Credentials>(loaded);

    auto first = h.connect(ipad);
    ASSERT_TRUE(first);
    auto result = std::async(std::launch::async, [&] { return first->authenticate(password); });
    auto asked = h.approveWhenAsked();
    EXPECT_EQ(asked["deviceName"], "iPad");
    EXPECT_EQ(asked["deviceModel"], "iPad13,4");
    EXPECT_EQ(asked["via"], "your network");
    auto answer = result.get();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->state, AuthResult::State::Authorized);
    ASSERT_EQ(first->results().size(), 2u);
    EXPECT_EQ(first->results()[0].state, AuthResult::State::AwaitingApproval);
    EXPECT_TRUE(h.logged("🔔 PELORN: \"iPad\" (iPad13,4) asks to connect over your network"));

    // The token is on disk: a fresh client from the file goes straight in, no owner involved.
    auto reloaded = client::Credentials::load(tokenFile, "iPad", "iPad13,4");
    auto& again = std::get<client::Credentials>(reloaded);
    EXPECT_EQ(again.deviceId(), ipad.deviceId());
    ASSERT_TRUE(again.token());
    auto second = h.connect(again);
    auto known = second->authenticate(password, 1s);
    ASSERT_TRUE(known);
    EXPECT_EQ(known->state, AuthResult::State::Authorized);
    EXPECT_EQ(second->results().size(), 1u);
    EXPECT_TRUE(first->connection().waitForClose()); // replaced by the newer connection

    auto devices = nlohmann::json::parse(ctl(h.home, {"--json", "devices"}).out);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["id"], ipad.deviceId());
    EXPECT_EQ(devices[0]["connected"], true);

    // The command-line client does the same from the token file.
    auto cli = runProcess({(binDir() / "pelorn-client").string(), "--port", std::to_string(h.port), "--token",
                           tokenFile.string()},
                          {password + "\n", 30s, std::nullopt, std::nullopt});
    EXPECT_EQ(cli.exitCode, 0) << cli.err;
    EXPECT_EQ(cli.err, "auth: authorized\n");
    auto wrong = runProcess({(binDir() / "pelorn-client").string(), "--port", std::to_string(h.port),
                             "--token", tokenFile.string()},
                            {"horse battery\n", 30s, std::nullopt, std::nullopt});
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.err, "auth: wrong_password\npelorn-client: not authorised\n");
}

TEST(LanAccess, OfflineHostRefusesConnections) {
    OnlineHost h;
    EXPECT_TRUE(ctl(h.home, {"offline"}).succeeded());
    EXPECT_TRUE(statusJson(h.home)["signalingPort"].is_null());
    EXPECT_TRUE(std::holds_alternative<std::string>(client::Connection::open("127.0.0.1", h.port)));
}

} // namespace
