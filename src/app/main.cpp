// pelorn-host: the remote-access host. Runs offline until the owner goes online.
#include "access/device_approval_coordinator.hpp"
#include "access/master_password_store.hpp"
#include "access/session_authenticator.hpp"
#include "access/trusted_device_store.hpp"
#include "account/account_deletion.hpp"
#include "account/apple_sign_in.hpp"
#include "account/auth_manager.hpp"
#include "account/update_checker.hpp"
#include "activity/event_log.hpp"
#include "app/app_delegate.hpp"
#include "app/autostart.hpp"
#include "app/control/access_commands.hpp"
#include "app/control/account_commands.hpp"
#include "app/control/control_client.hpp"
#include "app/control/control_protocol.hpp"
#include "app/control/desktop_commands.hpp"
#include "app/control/power_commands.hpp"
#include "app/control/terminal_commands.hpp"
#include "app/host_services.hpp"
#include "app/server_controller.hpp"
#include "app/window_host.hpp"
#include "cloud/firebase_auth.hpp"
#include "core/host_identity.hpp"
#include "core/host_loop.hpp"
#include "core/log.hpp"
#include "core/notification_center.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "lan/signaling_server.hpp"
#include "net/io_thread.hpp"
#include "power/closed_lid_mode_manager.hpp"
#include "power/power_manager.hpp"
#include "privacy/privacy_screen_controller.hpp"
#include "privacy/x11_gamma_blackout.hpp"
#include "terminal/terminal_session_store.hpp"
#include "ui/ui_host.hpp"
#include "x11/x11_display.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <future>
#include <pthread.h>
#include <string_view>
#include <thread>
#include <vector>

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
    std::fprintf(out, "usage: pelorn-host [--headless | --version]\n"
                      "  --headless  run without the tray icon and window\n"
                      "  --version   print the version\n");
    return out == stderr ? 64 : 0;
}

// The window's module, on a desktop: beside the program in the build tree, else where it is
// installed. Absent (headless, no X display, no module) the host runs without a window and never
// loads Qt.
UiRunFunction loadWindow() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        return nullptr;
    }
    // Qt ends the process when it cannot reach the display: make sure it can first.
    if (!X11Connection()) {
        Log::shared().info(std::string("⚠️ PELORN: display ") + display +
                           " cannot be opened - running without the window");
        return nullptr;
    }
    std::vector<std::filesystem::path> candidates;
    std::error_code ignored;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ignored);
    if (!self.empty()) {
        candidates.push_back(self.parent_path().parent_path() / "lib/pelorn/pelorn-ui.so");
    }
    candidates.emplace_back(PELORN_MODULE_DIR "/pelorn-ui.so");
    std::string why = "not found";
    for (const auto& path : candidates) {
        if (!std::filesystem::exists(path)) {
            continue;
        }
        if (void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            if (auto run = reinterpret_cast<UiRunFunction>(dlsym(module, uiRunSymbol))) {
                return run;
            }
        }
        why = dlerror() ? dlerror() : "unusable";
        break;
    }
    Log::shared().info("⚠️ PELORN: the window's module could not be loaded (" + why +
                       ") - running without the window");
    return nullptr;
}

// Started again from the launcher while a host with a window runs: that window comes to the front
// and this process ends, leaving the running host (and its clients' sessions) alone. A headless
// host has no window to show, so it is replaced as always.
bool showRunningHostsWindow() {
    auto result = sendControlRequest(controlSocketPath(), ControlRequest{"show", {}, std::nullopt},
                                     std::chrono::seconds(5));
    auto* response = std::get_if<ControlResponse>(&result);
    if (!response || !response->ok) {
        return false;
    }
    std::printf("pelorn-host: the running host's window was brought to the front\n");
    return true;
}

// Builds the services, launches, runs the host loop until the host quits and terminates. With a
// window, the window's view of the host is made once launched and handed over through `window`.
void serve(HostLoop& loop, std::unique_ptr<WindowHost>* window, std::promise<void>* windowReady) {
    loop.attachToCurrentThread();
    // Before anything builds the services: which of them exist depends on it.
    configureCloudBackend();
    AppDelegate delegate({loop, IoThread::shared().context(), Settings::shared(), EventLog::shared(),
                          ServerController::shared(), HostIdentity::shared(), HostServices::shared(),
                          controlSocketPath()},
                         [&loop] { loop.quit(); });
    auto approvalAnnouncements = registerAccessCommands(delegate.commands(), AuthServices::shared());
    registerAccountCommands(delegate.commands(), {AuthManager::shared(), FirebaseAuth::shared(),
                                                  UpdateChecker::shared(), &AccountDeletionService::shared(),
                                                  &AppleSignIn::shared(), PELORN_PACKAGED != 0});
    static const Autostart autostart = Autostart::forThisUser();
    registerDesktopCommands(delegate.commands(), autostart, [window] {
        if (!window || !*window) {
            return false;
        }
        (*window)->bringToFront();
        return true;
    });
    registerDisplayCommand(delegate.commands(), Settings::shared(), desktopMonitors);
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
    // What works on this desktop, and what needs the owner at the screen.
    delegate.commands().addStatusPart([](nlohmann::json& data, std::string& text) {
        data["desktop"] = desktopDescription();
        text += "\ndesktop: " + desktopDescription();
        auto privacy = PrivacyScreenController::shared().unavailableReason();
        data["privacyScreen"] = privacy ? "unavailable: " + *privacy : "available";
        if (privacy) {
            text += "\nprivacy screen: unavailable (" + *privacy + ")";
        }
    });
    delegate.applicationDidFinishLaunching();
    if (window) {
        auto& controller = ServerController::shared();
        auto& closedLid = ClosedLidModeManager::shared();
        *window = std::make_unique<WindowHost>(WindowHost::Dependencies{
            loop,
            Settings::shared(),
            delegate.commands(),
            controller.isOnline(),
            controller.lastError(),
            MasterPasswordStore::shared(),
            TrustedDeviceStore::shared(),
            DeviceApprovalCoordinator::shared(),
            EventLog::shared(),
            closedLid.isRequested(),
            closedLid.lastError(),
            [] { return PowerManager::shared().keepAwakeRequested(); },
            [] { return desktopScreenAvailable(); },
            [] { return desktopInputAvailable(); },
            TerminalSessionStore::shared(),
            Tmux::shared(),
            UpdateChecker::shared(),
            &AccountDeletionService::shared().busy(),
            WindowHost::configuredLinks(),
            [] { return autostart.isOn(); },
            [](const std::string& url) {
                TaskPool::shared().submit([url] {
                    if (auto failure = AuthManager::openWithXdgOpen(url)) {
                        Log::shared().info("⚠️ PELORN: could not open " + url + " - " + *failure);
                    }
                });
            }});
        windowReady->set_value();
    }
    loop.run();
    delegate.applicationWillTerminate();
    if (window) {
        (*window)->hostEnded();
    }
    // What the pool still has to do (the secret store's write of a sign-out just before quitting)
    // finishes before the process's services are torn down under it.
    TaskPool::shared().waitIdle();
}

} // namespace

int main(int argc, char** argv) {
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            return usage(stdout);
        }
        if (arg == "--version") {
            std::printf("pelorn-host %s\n", PELORN_VERSION);
            return 0;
        }
        if (arg != "--headless") {
            std::fprintf(stderr, "pelorn-host: unknown option %s\n", argv[i]);
            return usage(stderr);
        }
        headless = true;
    }
    const char* display = std::getenv("DISPLAY");
    if (!headless && display && *display && showRunningHostsWindow()) {
        return 0;
    }
    sigset_t signals = blockTerminationSignals();
    // A crash must not leave the owner's displays blacked out by the privacy screen.
    installFatalSignalRestore();
    HostLoop& loop = HostLoop::shared();

    std::thread signalThread([&loop, signals] {
        for (;;) {
            int received = 0;
            if (sigwait(&signals, &received) != 0 || received == stopSignal) {
                return;
            }
            loop.quit();
        }
    });

    int status = 0;
    if (auto runWindow = headless ? nullptr : loadWindow()) {
        // The window owns the main thread, as the toolkit wants; the host loop gets its own.
        std::unique_ptr<WindowHost> window;
        std::promise<void> ready;
        auto launched = ready.get_future();
        std::thread host([&] { serve(loop, &window, &ready); });
        launched.wait();
        status = runWindow(window.get(), argc, argv);
        loop.quit(); // the window may have ended first
        host.join();
    } else {
        serve(loop, nullptr, nullptr);
    }

    pthread_kill(signalThread.native_handle(), stopSignal);
    signalThread.join();
    return status;
}
