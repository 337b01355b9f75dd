// A Secret Service that owns its bus name but never answers (a keyring stuck behind a prompt).
// Debian's python3 (with python3-dbus) plays it. Its own executable: GLib keeps the first
// session-bus connection for the whole process.

#include "core/atomic_file.hpp"
#include "core/glib_thread.hpp"
#include "core/libsecret_secret_store.hpp"
#include "core/process_runner.hpp"
#include "support/test_support.hpp"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

using namespace pelorn;
using namespace std::chrono_literals;

namespace {

constexpr const char* silentService = R"(
import dbus, sys, time
bus = dbus.SessionBus()
bus.request_name("org.freedesktop.secrets")
print("ready", flush=True)
time.sleep(120)
)";

struct SilentSecretService {
    SilentSecretService() {
        auto daemon = runProcess({"dbus-daemon", "--session", "--fork", "--print-pid=1",
                                  "--address=unix:path=" + (dir / "bus").string()});
        busPid = std::atoi(daemon.out.c_str());
        address = "unix:path=" + (dir / "bus").string();
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        auto script = dir / "silent.py";
        std::ofstream(script) << silentService;
        auto started = runProcess(
            {"sh", "-c",
             "/usr/bin/python3 " + script.string() + " > " + (dir / "ready").string() + " 2>&1 & echo $!"});
        servicePid = std::atoi(started.out.c_str());
        for (int i = 0;
             i < 200 && readWholeFile(dir / "ready").value_or("").find("ready") == std::string::npos; ++i) {
            std::this_thread::sleep_for(25ms);
        }
        ready = readWholeFile(dir / "ready").value_or("").find("ready") != std::string::npos;
    }
    ~SilentSecretService() {
        if (servicePid > 0) {
            ::kill(servicePid, SIGKILL);
        }
        if (busPid > 0) {
            ::kill(busPid, SIGTERM);
        }
    }

    test::TempDir dir;
    std::string address;
    pid_t busPid = 0;
    pid_t servicePid = 0;
    bool ready = false;
};

} // namespace

TEST(LibsecretTimeout, AServiceThatNeverAnswersIsGivenUpOnWithinTheTimeout) {
    SilentSecretService service;
    ASSERT_TRUE(service.ready) << readWholeFile(service.dir / "ready").value_or("");
    GlibThread glib;
    std::string why;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(LibsecretSecretStore::isUsable(glib, {300ms}, why));
    EXPECT_EQ(why, "the Secret Service did not answer in time");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    LibsecretSecretStore store(glib, 300ms);
    start = std::chrono::steady_clock::now();
    auto read = store.read("com.tamberlind.pelorn.host.master-password", "verifier");
    EXPECT_EQ(read.status, SecretStore::Status::Failed);
    EXPECT_EQ(read.message, "the Secret Service did not answer in time");
    std::vector<std::uint8_t> data{1, 2, 3};
    EXPECT_FALSE(store.write("s", "a", data).ok);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}
