#include "access/session_authenticator.hpp"
#include "activity/event_log.hpp"
#include "app/host_identity.hpp"
#include "app/host_services.hpp"
#include "availability/avahi_publisher.hpp"
#include "availability/bonjour_advertiser.hpp"
#include "availability/closed_lid_mode_manager.hpp"
#include "availability/power_manager.hpp"
#include "availability/privacy_screen_controller.hpp"
#include "core/host_loop.hpp"
#include "core/notification_center.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "input/remote_input.hpp"
#include "input/text_focus_watcher.hpp"
#include "net/io_thread.hpp"
#include "screen/screen_capture_manager.hpp"
#include "screen/screen_stream_manager.hpp"
#include "screen/video_encoder_h265.hpp"
#include "signaling/connection_telemetry.hpp"
#include "signaling/lan_targets.hpp"
#include "signaling/signaling_message.hpp"
#include "signaling/signaling_server.hpp"
#include "terminal/session_reaper.hpp"
#include "terminal/terminal_peer.hpp"
#include "terminal/terminal_session_store.hpp"

namespace pelorn {

// The services not built yet. Each does nothing; when a subsystem lands, its real service takes
// the stand-in's place in HostServices::shared() and the stand-in is deleted.
namespace {

class StandInWebRTCTarget final : public WebRTCTarget {
public:
    void applyAnswer(const std::string&) override {}
    void addRemoteCandidate(const std::string&, const std::string&, std::int32_t) override {}
};

class StandInPresence final : public Presence {
public:
    void publish(bool) override {}
    void startHeartbeat() override {}
    void stopHeartbeat() override {}
    void cleanupStaleRecords() override {}
};

class StandInRemoteSessions final : public RemoteSessions {
public:
    void startListening() override {}
    void stopListening() override {}
};

// Set-up of the peer logs the connection telemetry; that part exists already.
class StandInWebRTCPeer final : public WebRTCPeer {
public:
    void setUp() override { ConnectionTelemetry::shared().logSummary(); }
    void sendHostOffline() override {}
    void sendControlMessage(const SignalingMessage&) override {}
};

// Power and closed-lid mode, as the controller sees them. Made at launch, so a keep-awake
// switch left on holds its inhibition from the start.
class ManagedOnlinePower final : public OnlinePower {
public:
    ManagedOnlinePower() { PowerManager::shared(); }
    void beginOnlineAvailability() override { PowerManager::shared().beginOnlineAvailability(); }
    void endOnlineAvailability() override { PowerManager::shared().endOnlineAvailability(); }
};

class ManagedClosedLid final : public ClosedLid {
public:
    void engageIfRequested() override { ClosedLidModeManager::shared().engageIfRequested(); }
    bool disengage() override { return ClosedLidModeManager::shared().disengage(); }
};

// The LAN screen stream, its ceiling and the privacy screen, as the signaling server and the
// controller drive them.
class LanScreen final : public ScreenTarget, public ScreenStreaming {
public:
    void startSharing(std::function<void()> onLimit) override {
        ScreenStreamManager::shared().start();
        ScreenSessionLimit::shared().start(std::nullopt, [onLimit = std::move(onLimit)] {
            onLimit();
            ScreenStreamManager::shared().stop();
        });
    }
    void stopSharing() override { stop(); }
    void stop() override {
        ScreenStreamManager::shared().stop();
        ScreenSessionLimit::shared().stop();
    }
    void privacyOn() override { PrivacyScreenController::shared().turnOn(); }
    void privacyOff() override { PrivacyScreenController::shared().turnOff(); }
};

// The input services, seen through the interfaces the application uses.
class MouseInputTrust final : public InputTrust {
public:
    void requestAccessibilityTrust() override { RemoteInput::shared().requestAccessibilityTrust(); }
};

class WatcherTextFocus final : public TextFocusSource {
public:
    void setOnChange(std::function<void(bool)> onChange) override {
        TextFocusWatcher::shared().setOnChange(std::move(onChange));
    }
};

class StandInUpdateChecker final : public UpdateChecker {
public:
    void start() override {}
};

} // namespace

ScreenStreamManager& ScreenStreamManager::shared() {
    static ScreenStreamManager manager(
        {HostLoop::shared(), IoThread::shared().context(), EventLog::shared(), ScreenCaptureManager::shared(),
         [] { return std::make_unique<VideoEncoderH265>(); },
         [](const SignalingMessage& m) { HostServices::shared().signaling.send(m); },
         [] { return HostServices::shared().signaling.peerHost(); },
         [] { PrivacyScreenController::shared().turnOff(); }});
    return manager;
}

ScreenSessionLimit& ScreenSessionLimit::shared() {
    static ScreenSessionLimit limit(HostLoop::shared(), EventLog::shared());
    return limit;
}

HostServices& HostServices::shared() {
    auto& loop = HostLoop::shared();
    static LanScreen screen;
    static StandInWebRTCTarget webrtcTarget;
    static TerminalPeers terminals(
        {loop, TerminalSessionStore::shared(), Tmux::shared(), EventLog::shared()});
    static SignalingServer signaling(loop, NotificationCenter::shared(), AuthServices::shared(),
                                     {RemoteInput::shared(), screen, webrtcTarget, terminals});
    static auto publisher = systemServicePublisher(loop);
    static BonjourAdvertiser advertiser(
        {loop, IoThread::shared().context(), *publisher, [] { return HostIdentity::shared().deviceId(); },
         [] { return computerName(); },
         [](std::shared_ptr<TcpConnection> connection) { signaling.accept(std::move(connection)); }},
        BonjourAdvertiser::configuredPort());
    static StandInPresence presence;
    static StandInRemoteSessions remoteSessions;
    static StandInWebRTCPeer webrtc;
    static ManagedOnlinePower power;
    static ManagedClosedLid closedLid;
    static SessionReaper reaper({loop, TaskPool::shared(), Tmux::shared(), Settings::shared(),
                                 NotificationCenter::shared(), TerminalSessionStore::shared(),
                                 EventLog::shared()});
    static MouseInputTrust inputTrust;
    static WatcherTextFocus textFocus;
    static StandInUpdateChecker updates;
    static HostServices services{advertiser, signaling, presence, remoteSessions, webrtc,    power,
                                 closedLid,  screen,    reaper,   inputTrust,     textFocus, updates};
    return services;
}

} // namespace pelorn
