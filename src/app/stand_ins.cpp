#include "app/host_services.hpp"
#include "signaling/connection_telemetry.hpp"

namespace pelorn {

// The services not built yet. Each does nothing; when a subsystem lands, its real service takes
// the stand-in's place in HostServices::shared() and the stand-in is deleted.
namespace {

class StandInAdvertiser final : public Advertiser {
public:
    void start(const std::string&) override {}
    void stop() override {}
};

class StandInLanSignaling final : public LanSignaling {
public:
    void send(const SignalingMessage&) override {}
    void disconnect() override {}
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
    static StandInAdvertiser advertiser;
    static StandInLanSignaling signaling;
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
