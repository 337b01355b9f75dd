// The real pelorn-host in a desktop session whose keyring nobody unlocked (an autologin, a window
// manager without a keyring login, a host started over SSH with a display): the owner can still set
// the master password, and the host keeps finding it.
#include "integration/online_host.hpp"
#include "support/private_keyring.hpp"
#include "support/private_servers.hpp"

#include <future>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;
using Login = PrivateKeyring::Login;

namespace {

class DesktopKeyring : public ::testing::TestWithParam<Login> {};

TEST_P(DesktopKeyring, ThePasswordCanBeSetAndOutlivesARestart) {
    PrivateXvfb display; // the keyring's unlock prompt goes here, where nobody answers it
    Home home;
    PrivateKeyring keyring(home.dir / "data", GetParam());
    home.sessionBus = keyring.address();
    home.signIn("owner@example.com");
    {
        HostProcess host(home, "first");
        // A locked keyring is first offered to the person at the display, which takes a while.
        waitUntilServing(home, host.pid(), 60s);
        auto set = ctl(home, {"password", "set"}, password + "\n");
        ASSERT_TRUE(set.succeeded()) << set.err << host.output();
        EXPECT_NE(host.output().find("⚠️ PELORN SECRETS: no usable Secret Service ("), std::string::npos)
            << host.output();
        host.signal(SIGTERM);
        EXPECT_EQ(host.waitForExit(), 0);
    }

    HostProcess host(home, "second");
    waitUntilServing(home, host.pid());
    EXPECT_EQ(host.output().find("PELORN SECRETS"), std::string::npos) << "the store is remembered";
    ASSERT_TRUE(ctl(home, {"online"}).succeeded());
    auto port = statusJson(home)["signalingPort"].get<std::uint16_t>();
    auto credentials = client::Credentials::load(home.dir / "ipad.json", "iPad", "iPad13,4");
    ASSERT_TRUE(std::holds_alternative<client::Credentials>(credentials));
    auto opened = client::Connection::open("127.0.0.1", port);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<client::Connection>>(opened));
    client::Session session(std::move(std::get<std::unique_ptr<client::Connection>>(opened)),
                            std::get<client::Credentials>(credentials));
    auto result = std::async(std::launch::async, [&] { return session.authenticate(password); });
    approveWhenAsked(home);
    auto answer = result.get();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->state, AuthResult::State::Authorized);
}

INSTANTIATE_TEST_SUITE_P(States, DesktopKeyring, ::testing::Values(Login::Absent, Login::Locked),
                         [](const auto& param) {
                             return param.param == Login::Locked ? "Locked" : "Absent";
                         });

} // namespace
