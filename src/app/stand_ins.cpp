#include "access/session_authenticator.hpp"
#include "app/host_identity.hpp"
#include "app/host_services.hpp"
#include "availability/avahi_publisher.hpp"
#include "availability/bonjour_advertiser.hpp"
#include "core/host_loop.hpp"
#include "core/notification_center.hpp"
#include "net/io_thread.hpp"
#include "signaling/connection_telemetry.hpp"
#include "signaling/lan_targets.hpp"
#include "signaling/signaling_server.hpp"

namespace pelorn {

// The services not built yet. Each does nothing; when a subsystem lands, its real service takes
// the stand-in's place in HostServices::shared() and the stand-in is deleted.
namespace {

class StandInTerminalEndpoint final : public TerminalEndpoint {
public:
    void handle(const SignalingMessage&) override {}
    void write(std::string_view) override {}
    void resize(int, int) override {}
    void stop() override {}
};

// What an authorised LAN client drives: input, screen, WebRTC answers and terminals.
class StandInLanTargets final : public InputTarget,
                                public ScreenTarget,
                                public WebRTCTarget,
                                public TerminalTarget {
public:
    void handleMouseEvent(const std::string&, double, double, const std::optional<std::string>&,
                          std::optional<double>) override {}
    void handleKeyEvent(const std::string&) override {}
    void pressCommandShortcut(const std::string&) override {}
    void startSharing(std::function<void()>) override {}
    void stopSharing() override {}
    void privacyOn() override {}
    void privacyOff() override {}
    void applyAnswer(const std::string&) override {}
    void addRemoteCandidate(const std::string&, const std::string&, std::int32_t) override {}
    std::unique_ptr<TerminalEndpoint> createPeer(std::string, std::function<void(const SignalingMessage&)>,
                                                 std::function<void(std::string_view)>) override {
        return std::make_unique<StandInTerminalEndpoint>();
    }
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
    void stop() override {}
};

class StandInSessionReaper final : public SessionReaper {
public:
    void start() override {}
};

class StandInInputTrust final : public InputTrust {
public:
    void requestAccessibilityTrust() override {}
};

class StandInTextFocusSource final : public TextFocusSource {
public:
    void setOnChange(std::function<void(bool)>) override {}
};

class StandInUpdateChecker final : public UpdateChecker {
public:
    void start() override {}
};

} // namespace

HostServices& HostServices::shared() {
    auto& loop = HostLoop::shared();
    static StandInLanTargets lanTargets;
    static SignalingServer signaling(loop, NotificationCenter::shared(), AuthServices::shared(),
                                     {lanTargets, lanTargets, lanTargets, lanTargets});
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
    static StandInSessionReaper reaper;
    static StandInInputTrust inputTrust;
    static StandInTextFocusSource textFocus;
    static StandInUpdateChecker updates;
    static HostServices services{advertiser, signaling, presence, remoteSessions, webrtc,    power,
                                 closedLid,  screen,    reaper,   inputTrust,     textFocus, updates};
    return services;
}

} // namespace pelorn
