// The keep-awake and closed-lid switches through pelornctl, on the real host with a fake logind.
#include "integration/host_harness.hpp"
#include "support/fake_logind.hpp"

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

TEST(PowerCommands, KeepAwakeAndClosedLidFromPelornctl) {
    FakeSystemBus bus(true);
    Home home;
    HostProcess host(home, "host");
    waitUntilServing(home, host.pid());
    EXPECT_EQ(statusJson(home)["keepAwake"], false);

    EXPECT_TRUE(ctl(home, {"keep-awake", "on"}).succeeded());
    EXPECT_NE(FakeSystemBus::inhibitors().find("'idle', 'Pelorn', 'Pelorn is active'"), std::string::npos);
    EXPECT_NE(ctl(home, {"status"}).out.find("keep awake: on\n"), std::string::npos);
    EXPECT_TRUE(ctl(home, {"keep-awake", "off"}).succeeded());
    EXPECT_EQ(FakeSystemBus::inhibitors().find("'Pelorn'"), std::string::npos);
    auto wrong = ctl(home, {"keep-awake", "maybe"});
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(wrong.err, "pelornctl: usage: keep-awake on|off\n");

    // Offline, the request is only remembered; nothing asks for a password yet.
    EXPECT_TRUE(ctl(home, {"closed-lid", "on"}).succeeded());
    auto status = statusJson(home);
    EXPECT_EQ(status["closedLid"]["requested"], true);
    EXPECT_EQ(status["closedLid"]["active"], false);
    EXPECT_TRUE(ctl(home, {"closed-lid", "off"}).succeeded());
    EXPECT_EQ(statusJson(home)["closedLid"]["requested"], false);

    EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
    EXPECT_EQ(host.waitForExit(), 0);
    EXPECT_NE(host.output().find("🕯️ Power: Mac will stay awake (assertion "), std::string::npos);
    EXPECT_NE(host.output().find("💤 Power: Mac can now sleep (assertion released)"), std::string::npos);
}
