// Which store keeps the host's secrets, against a real gnome-keyring in each state a desktop
// session leaves it in. Each case needs a process of its own (CTest runs them so): GLib keeps the
// first session-bus connection for the whole process.

#include "core/file_secret_store.hpp"
#include "core/glib_thread.hpp"
#include "core/libsecret_secret_store.hpp"
#include "core/settings.hpp"
#include "support/private_keyring.hpp"
#include "support/private_servers.hpp"
#include "support/test_support.hpp"

#include <atomic>
#include <fstream>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <thread>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;
using Login = PrivateKeyring::Login;

namespace {

const std::string service = "com.tamberlind.pelorn.host.master-password";

std::vector<std::uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

bool startsWith(const std::string& line, const std::string& prefix) {
    return line.rfind(prefix, 0) == 0;
}

// A host's settings and data folder, its keyring on a bus of its own, and the choice as the host
// makes it, with waits short enough for a test.
class SecretChoice : public ::testing::Test {
protected:
    void useKeyring(Login login) {
        keyring = std::make_unique<PrivateKeyring>(dir / "data", login);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", keyring->address().c_str(), 1);
        // GLib ends a process whose session bus goes away; this one outlives its bus.
        bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        ASSERT_TRUE(bus);
        g_dbus_connection_set_exit_on_close(bus, FALSE);
    }
    void TearDown() override {
        keyring.reset();
        if (bus) {
            g_object_unref(bus);
        }
    }
    std::unique_ptr<SecretStore> choose() { return chooseSecretStore(settings, glib, choice); }
    std::optional<nlohmann::json> remembered() { return settings.value("secretStore"); }
    bool logged(const std::string& prefix) const {
        auto lines = log.lines();
        return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return startsWith(l, prefix); });
    }

    TempDir dir;
    Settings settings{dir / "settings.json"};
    GlibThread glib;
    LogCapture log;
    SecretStoreChoice choice{dir / "data/Pelorn/secrets", 2s, 1s, 100ms, {}};
    std::unique_ptr<PrivateKeyring> keyring;
    GDBusConnection* bus = nullptr;
};

struct Unusable {
    Login login;
    std::string why;
};

void PrintTo(const Unusable& state, std::ostream* out) {
    *out << state.why;
}

class UnusableKeyring : public SecretChoice, public ::testing::WithParamInterface<Unusable> {};

} // namespace

TEST_F(SecretChoice, AnUnlockedKeyringIsUsedAndRememberedOnceItHoldsASecret) {
    ::unsetenv("DISPLAY");
    useKeyring(Login::Unlocked);
    auto store = choose();
    ASSERT_STREQ(store->backendName(), "secret-service");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(store->read(service, "verifier").status, SecretStore::Status::NotFound);
    EXPECT_FALSE(remembered()) << "nothing is stored yet";
    ASSERT_TRUE(store->write(service, "verifier", bytes("v")).ok);
    EXPECT_EQ(remembered(), "secret-service");
    // The probe cleans up after itself.
    EXPECT_EQ(store->read("com.tamberlind.pelorn.host.probe", "probe").status, SecretStore::Status::NotFound);
}

// Without a desktop nobody can be asked for the keyring's password, so no prompt is tried.
TEST_P(UnusableKeyring, GivesTheFileStoreAtOnce) {
    ::unsetenv("DISPLAY");
    useKeyring(GetParam().login);
    auto started = std::chrono::steady_clock::now();
    auto store = choose();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    ASSERT_STREQ(store->backendName(), "file");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(startsWith(log.lines()[0],
                           "⚠️ PELORN SECRETS: no usable Secret Service (" + GetParam().why + ")"))
        << log.lines()[0];
    EXPECT_TRUE(log.systemFlags()[0]);
    ASSERT_TRUE(store->write(service, "verifier", bytes("v")).ok);
    EXPECT_EQ(remembered(), "file");
}

INSTANTIATE_TEST_SUITE_P(States, UnusableKeyring,
                         ::testing::Values(Unusable{Login::Locked, "its default keyring is locked"},
                                           Unusable{Login::Absent, "it has no default keyring"}),
                         [](const auto& param) {
                             return param.param.login == Login::Locked ? "Locked" : "Absent";
                         });

TEST_F(SecretChoice, ALockedKeyringOnADesktopIsOfferedToThePersonFirst) {
    PrivateXvfb display;
    useKeyring(Login::Locked);
    auto started = std::chrono::steady_clock::now();
    auto store = choose();
    EXPECT_GE(std::chrono::steady_clock::now() - started, choice.promptTimeout);
    EXPECT_STREQ(store->backendName(), "file");
    EXPECT_TRUE(
        logged("⚠️ PELORN SECRETS: no usable Secret Service (its default keyring is locked and the "
               "prompt to unlock it was not answered)"));
}

TEST_F(SecretChoice, ItemsAlreadyInFilesKeepTheFileStore) {
    ::unsetenv("DISPLAY");
    useKeyring(Login::Unlocked);
    ASSERT_TRUE(FileSecretStore(choice.fileFolder).write(service, "verifier", bytes("kept")).ok);
    auto store = choose();
    ASSERT_STREQ(store->backendName(), "file");
    EXPECT_EQ(store->read(service, "verifier").data, bytes("kept"));
    EXPECT_EQ(remembered(), "file");
}

TEST_F(SecretChoice, ARememberedFileStoreIsUsedWithoutAsking) {
    settings.set("secretStore", "file");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir / "no-bus").string()).c_str(), 1);
    EXPECT_STREQ(choose()->backendName(), "file");
    EXPECT_TRUE(log.lines().empty());
}

// The secrets are in the keyring: starting without them would show no master password.
TEST_F(SecretChoice, ARememberedKeyringIsWaitedForUntilItIsUnlocked) {
    ::unsetenv("DISPLAY");
    useKeyring(Login::Unlocked);
    ASSERT_TRUE(choose()->write(service, "verifier", bytes("kept")).ok);
    keyring->lock();

    std::unique_ptr<SecretStore> store;
    std::atomic<bool> chosen{false};
    std::thread launch([&] {
        store = choose();
        chosen = true;
    });
    for (int i = 0;
         i < 100 && !logged("⚠️ PELORN SECRETS: this host's secrets are in the Secret Service"); ++i) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(
        logged("⚠️ PELORN SECRETS: this host's secrets are in the Secret Service, which cannot be used "
               "now (its default keyring is locked) - waiting for it before starting"));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(chosen) << "chosen while still locked";
    keyring->unlock();
    launch.join();
    ASSERT_STREQ(store->backendName(), "secret-service");
    EXPECT_TRUE(logged("🔐 PELORN SECRETS: the Secret Service is ready after "));
    EXPECT_EQ(store->read(service, "verifier").data, bytes("kept"));
}

TEST_F(SecretChoice, WaitingForTheKeyringEndsWhenTheHostQuits) {
    ::unsetenv("DISPLAY");
    useKeyring(Login::Locked);
    settings.set("secretStore", "secret-service");
    std::atomic<bool> quitting{false};
    choice.stopWaiting = [&] { return quitting.load(); };
    std::atomic<bool> chosen{false};
    std::thread launch([&] {
        choose();
        chosen = true;
    });
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(chosen);
    quitting = true;
    launch.join();
    EXPECT_TRUE(logged("⚠️ PELORN SECRETS: this host's secrets are in the Secret Service"));
}
