#include "app/app_delegate.hpp"

#include "activity/event_log.hpp"
#include "app/control/control_client.hpp"
#include "app/control/control_server.hpp"
#include "app/control/host_commands.hpp"
#include "app/host_services.hpp"
#include "app/server_controller.hpp"
#include "cloud/cloud_config.hpp"
#include "core/host_loop.hpp"
#include "core/log.hpp"
#include "core/text.hpp"
#include "signaling/lan_protocol.hpp"
#include "signaling/signaling_message.hpp"

#include <mutex>
#include <optional>
#include <thread>

namespace pelorn {

namespace {

// How long a new host waits for the one it replaces to let go.
constexpr auto replacePause = std::chrono::milliseconds(300);
constexpr auto quitRequestTimeout = std::chrono::milliseconds(2000);
// How long quitting waits for the offline presence record to be written.
constexpr auto presenceWriteLimit = std::chrono::milliseconds(3000);

// Set once at launch; read by every cloud feature.
std::optional<CloudConfig> gCloudConfig;
std::once_flag gCloudConfigured;

} // namespace

void configureCloudBackend() {
    std::call_once(gCloudConfigured, [] {
        auto load = loadCloudConfig(cloudConfigFolders(), processEnvironment());
        for (const auto& problem : load.problems) {
            Log::shared().info("⚠️ Firebase: " + shownText(problem, 512));
        }
        if (!load.config) {
            Log::shared().info("⚠️ Firebase: GoogleService-Info.plist not found - remote features "
                               "disabled. Add it to the "
                               "pelorn (macOS) target to enable presence/signaling.");
            return;
        }
        // Nothing from the cloud is cached on disk: the clients keep what they read in memory only.
        gCloudConfig = std::move(load.config);
        Log::shared().info("✅ Firebase configured (Mac)");
    });
}

bool isCloudConfigured() {
    return cloudConfig() != nullptr;
}

const CloudConfig* cloudConfig() {
    return gCloudConfig ? &*gCloudConfig : nullptr;
}

AppDelegate::AppDelegate(Wiring wiring, std::function<void()> quit)
    : mWiring(std::move(wiring)), mQuit(std::move(quit)) {
    registerHostCommands(mCommands, {mWiring.loop, mWiring.controller, mWiring.log, mWiring.identity,
                                     mWiring.services.advertiser, [this] { mWiring.loop.post(mQuit); }});
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    configureCloudBackend();
    mWiring.services.profile.installAuthListener();
    terminateOtherInstances();
    startControlServer();
    mWiring.services.webrtc.setUp();
    mWiring.services.reaper.start();
    mWiring.services.inputTrust.requestAccessibilityTrust();
    mWiring.services.textFocus.setOnChange([this](bool focused) { handleTextFocusChange(focused); });
    mWiring.services.updates.start();
    Log::shared().info("✅ Pelorn Mac daemon started (offline)");
}

void AppDelegate::applicationWillTerminate() {
    if (mTerminated) {
        return;
    }
    mTerminated = true;
    mWiring.controller.goOffline();
    // The owner's phone must not go on seeing this computer online.
    mWiring.services.presence.finishWrites(presenceWriteLimit);
    // Let the deferred screen stop and pending work run, then make sure the log reached the disk.
    mWiring.loop.runPending();
    mWiring.log.finishWrites();
    if (mControlServer) {
        mControlServer->stop();
    }
}

void AppDelegate::handleTextFocusChange(bool focused) {
    Log::shared().system(std::string("⌨️ PELORN: remote keyboard ") +
                         (focused ? "up (text field focused)" : "down"));
    SignalingMessage message = msg::bare(focused ? msg::textFocus : msg::textBlur);
    mWiring.services.webrtc.sendControlMessage(message);
    mWiring.services.signaling.send(message);
}

void AppDelegate::terminateOtherInstances() {
    auto result = sendControlRequest(mWiring.controlSocket, ControlRequest{"quit", {}, std::nullopt},
                                     quitRequestTimeout);
    if (std::holds_alternative<ControlClientFailure>(result) &&
        std::get<ControlClientFailure>(result).error == ControlClientError::NotRunning) {
        return;
    }
    Log::shared().info("🔁 PELORN: asked the running host to quit");
    std::this_thread::sleep_for(replacePause);
}

void AppDelegate::startControlServer() {
    mControlServer = std::make_unique<ControlServer>(mWiring.loop, mWiring.io, mCommands);
    if (auto error = mControlServer->start(mWiring.controlSocket)) {
        Log::shared().info("❌ PELORN CONTROL: " + *error);
        mControlServer.reset();
    }
}

} // namespace pelorn
