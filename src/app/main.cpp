// pelorn-host: the remote-access host. Runs offline until the owner goes online.
#include "access/session_authenticator.hpp"
#include "account/auth_manager.hpp"
#include "activity/event_log.hpp"
#include "app/app_delegate.hpp"
#include "app/control/access_commands.hpp"
#include "app/control/account_commands.hpp"
#include "app/control/control_protocol.hpp"
#include "app/control/power_commands.hpp"
#include "app/control/terminal_commands.hpp"
#include "app/host_services.hpp"
#include "app/server_controller.hpp"
#include "cloud/firebase_auth.hpp"
#include "core/host_identity.hpp"
#include "core/host_loop.hpp"
#include "core/notification_center.hpp"
#include "core/settings.hpp"
#include "lan/signaling_server.hpp"
#include "net/io_thread.hpp"
#include "power/closed_lid_mode_manager.hpp"
#include "power/power_manager.hpp"
#include "privacy/x11_gamma_blackout.hpp"
#include "terminal/terminal_session_store.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string_view>
#include <thread>

using namespace pelorn;

namespace {

// Delivered only to the signal thread, to end it.
constexpr int stopSignal = SIGUSR2;

// Every thread the host starts inherits this mask, so SIGINT/SIGTERM reach only the signal
// thread, which turns them into an orderly quit on the host loop.
sigset_t blockTerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, stopSignal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return set;
}

int usage(FILE* out) {
    std::fprintf(out, "usage: pelorn-host [--headless]\n"
                      "  --headless  run without the tray icon and window\n");
    return out == stderr ? 64 : 0;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return usage(stdout);
        }
        // The window and tray are not part of this build yet, so every run is headless.
        if (arg != "--headless") {
            std::fprintf(stderr, "pelorn-host: unknown option %s\n", argv[i]);
            return usage(stderr);
        }
    }
    sigset_t signals = blockTerminationSignals();
    // A crash must not leave the owner's displays blacked out by the privacy screen.
    installFatalSignalRestore();
    HostLoop& loop = HostLoop::shared();
    loop.attachToCurrentThread();

    std::thread signalThread([&loop, signals] {
        for (;;) {
            int received = 0;
            if (sigwait(&signals, &received) != 0 || received == stopSignal) {
                return;
            }
            loop.quit();
        }
    });

    // Before anything builds the services: which of them exist depends on it.
    configureCloudBackend();
    AppDelegate delegate({loop, IoThread::shared().context(), Settings::shared(), EventLog::shared(),
                          ServerController::shared(), HostIdentity::shared(), HostServices::shared(),
                          controlSocketPath()},
                         [&loop] { loop.quit(); });
    auto approvalAnnouncements = registerAccessCommands(delegate.commands(), AuthServices::shared());
    registerAccountCommands(delegate.commands(), {AuthManager::shared(), FirebaseAuth::shared()});
    registerPowerCommands(delegate.commands(), {PowerManager::shared(), ClosedLidModeManager::shared(),
                                                ServerController::shared()});
    registerTerminalCommands(delegate.commands(), {loop, TerminalSessionStore::shared(), Settings::shared(),
                                                   NotificationCenter::shared(), EventLog::shared()});
    // Connections still in their handshake: a crowd of them is something the owner should see.
    delegate.commands().addStatusPart([](nlohmann::json& data, std::string& text) {
        auto newcomers = SignalingServer::shared().newcomerCount();
        data["unauthenticatedConnections"] = newcomers;
        text += "\nunauthenticated connections: " + std::to_string(newcomers);
    });
    delegate.applicationDidFinishLaunching();
    loop.run();
    delegate.applicationWillTerminate();

    pthread_kill(signalThread.native_handle(), stopSignal);
    signalThread.join();
    return 0;
}
