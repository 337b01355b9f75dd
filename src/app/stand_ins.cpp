#include "access/session_authenticator.hpp"
#include "activity/event_log.hpp"
#include "app/host_identity.hpp"
#include "app/host_services.hpp"
#include "availability/avahi_publisher.hpp"
#include "availability/bonjour_advertiser.hpp"
#include "core/host_loop.hpp"
#include "core/notification_center.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "input/remote_input.hpp"
#include "input/text_focus_watcher.hpp"
#include "net/io_thread.hpp"
#include "signaling/connection_telemetry.hpp"
#include "signaling/lan_targets.hpp"
#include "signaling/signaling_server.hpp"
#include "terminal/session_reaper.hpp"
#include "terminal/terminal_peer.hpp"
#include "terminal/terminal_session_store.hpp"

namespace pelorn {

// The services not built yet. Each does nothing; when a subsystem lands, its real service takes
// the stand-in's place in HostServices::shared() and the stand-in is deleted.
namespace {

// What an authorised LAN client drives besides terminals and input: screen and WebRTC answers.
// Sharing starts and stops the text-focus watcher, as capture will.
class StandInLanTargets final : public ScreenTarget, public WebRTCTarget {
public:
    void startSharing(std::function<void()>) override { TextFocusWatcher::shared().start(); }
    void stopSharing() override { TextFocusWatcher::shared().stop(); }
    void privacyOn() override {}
    void privacyOff() override {}
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

class StandInOnlinePower final : public OnlinePower {
public:
    void beginOnlineAvailability() override {}
    void endOnlineAvailability() override {}
};

class StandInClosedLid final : public ClosedLid {
public:
    void engageIfRequested() override {}
    bool disengage() override { return true; }
};

class StandInScreenStreaming final : public ScreenStreaming {
public:
    void stop() override { TextFocusWatcher::shared().stop(); }
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

HostServices& HostServices::shared() {
    auto& loop = HostLoop::shared();
    static StandInLanTargets lanTargets;
    static TerminalPeers terminals(
        {loop, TerminalSessionStore::shared(), Tmux::shared(), EventLog::shared()});
    static SignalingServer signaling(loop, NotificationCenter::shared(), AuthServices::shared(),
                                     {RemoteInput::shared(), lanTargets, lanTargets, terminals});
    static auto publisher = systemServicePublisher(loop);
    static BonjourAdvertiser advertiser(
        {loop, IoThread::shared().context(), *publisher, [] { return HostIdentity::shared().deviceId(); },
         [] { return computerName(); },
         [](std::shared_ptr<TcpConnection> connection) { signaling.accept(std::move(connection)); }},
        BonjourAdvertiser::configuredPort());
    static StandInPresence presence;
    static StandInRemoteSessions remoteSessions;
    static StandInWebRTCPeer webrtc;
    static StandInOnlinePower power;
    static StandInClosedLid closedLid;
    static StandInScreenStreaming screen;
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
