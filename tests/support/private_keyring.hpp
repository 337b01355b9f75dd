#pragma once

// gnome-keyring on a session bus of the test's own, keeping its files in a folder the test names.
// The bus starts gnome-keyring on first use, as a desktop session's bus does, and passes DISPLAY
// on when it is set, so a prompt the keyring shows goes to the test's X server, where nobody
// answers it.

#include "core/process_runner.hpp"
#include "support/private_servers.hpp"
#include "support/test_support.hpp"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace pelorn::test {

class PrivateKeyring {
public:
    // The login keyring: none yet, present but locked (an autologin, a start over SSH), or unlocked.
    enum class Login { Absent, Locked, Unlocked };
    static constexpr const char* password = "keyring password";

    PrivateKeyring(const std::filesystem::path& dataHome, Login login)
        : mEnvironment(environment(dataHome, mRuntime.path())),
          mBus({"dbus-daemon", "--session", "--nofork", "--nopidfile"}, "--print-address=", &mEnvironment) {
        if (login == Login::Absent) {
            return;
        }
        // Creates the login keyring and unlocks it, as logging in with its password does.
        ProcessOptions options = clientOptions();
        options.input = password;
        auto started = runProcess({"gnome-keyring-daemon", "--unlock", "--components=secrets"}, options);
        EXPECT_TRUE(started.succeeded()) << started.err;
        // Its parent returns before the daemon owns the name; a client arriving in between would
        // have the bus start a second, locked one.
        bool owned = false;
        for (int i = 0; i < 100 && !owned; ++i) {
            owned = runProcess({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                                "--object-path", "/org/freedesktop/DBus", "--method",
                                "org.freedesktop.DBus.NameHasOwner", "org.freedesktop.secrets"},
                               clientOptions())
                        .out.find("true") != std::string::npos;
            if (!owned) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        EXPECT_TRUE(owned) << "gnome-keyring did not take the Secret Service's name";
        if (login == Login::Locked) {
            lock();
        }
    }

    // The daemon started with --unlock outlives its bus, so it is stopped by its pid, which the bus knows.
    ~PrivateKeyring() {
        auto owner =
            runProcess({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                        "/org/freedesktop/DBus", "--method",
                        "org.freedesktop.DBus.GetConnectionUnixProcessID", "org.freedesktop.secrets"},
                       clientOptions());
        // "(uint32 1234,)"
        if (auto at = owner.out.find("uint32 "); at != std::string::npos) {
            if (pid_t pid = std::atoi(owner.out.c_str() + at + 7); pid > 0) {
                ::kill(pid, SIGTERM);
            }
        }
    }

    const std::string& address() const { return mBus.answer(); }

    void lock() const { keyringCommand("lock"); }
    // With the keyring's password, the way the desktop's keyring manager does it.
    void unlock() const { keyringCommand("unlock"); }

private:
    static constexpr const char* script = R"(
import dbus, sys
service = dbus.SessionBus().get_object("org.freedesktop.secrets", "/org/freedesktop/secrets")
secrets = dbus.Interface(service, "org.freedesktop.Secret.Service")
keyring = secrets.ReadAlias("default")
if sys.argv[1] == "lock":
    secrets.Lock([keyring])
else:
    _, session = secrets.OpenSession("plain", dbus.String("", variant_level=1))
    dbus.Interface(service, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface").UnlockWithMasterPassword(
        keyring, (session, dbus.ByteArray(b""), dbus.ByteArray(sys.argv[2].encode()), "text/plain"))
)";

    void keyringCommand(const std::string& command) const {
        auto done = runProcess({"/usr/bin/python3", "-c", script, command, password}, clientOptions());
        EXPECT_TRUE(done.succeeded()) << command << ": " << done.err;
    }

    static std::vector<std::string> environment(const std::filesystem::path& dataHome,
                                                const std::filesystem::path& runtime) {
        std::filesystem::create_directories(runtime / "run");
        std::filesystem::permissions(runtime / "run", std::filesystem::perms::owner_all);
        std::vector<std::string> env{"PATH=/usr/bin:/bin", "HOME=" + runtime.string(),
                                     "XDG_DATA_HOME=" + dataHome.string(),
                                     "XDG_RUNTIME_DIR=" + (runtime / "run").string()};
        if (const char* display = std::getenv("DISPLAY")) {
            env.push_back(std::string("DISPLAY=") + display);
        }
        return env;
    }

    ProcessOptions clientOptions() const {
        ProcessOptions options;
        options.environment = mEnvironment;
        options.environment->push_back("DBUS_SESSION_BUS_ADDRESS=" + address());
        options.timeout = std::chrono::seconds(10);
        return options;
    }

    TempDir mRuntime;
    std::vector<std::string> mEnvironment;
    ReadyProcess mBus;
};

inline void PrintTo(PrivateKeyring::Login login, std::ostream* out) {
    *out << (login == PrivateKeyring::Login::Absent   ? "no login keyring"
             : login == PrivateKeyring::Login::Locked ? "a locked login keyring"
                                                      : "an unlocked login keyring");
}

} // namespace pelorn::test
