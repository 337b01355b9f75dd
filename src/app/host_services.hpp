#pragma once

#include "x11/x11_monitors.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pelorn {

struct SignalingMessage;

// The operations the controller and the launch sequence use on the services around them. Each
// subsystem implements its interface; until it exists, stand_ins.cpp supplies one that does
// nothing.

// DNS-SD advertiser whose TCP listener is also the LAN signaling listener.
class Advertiser {
public:
    virtual ~Advertiser() = default;
    virtual void start(const std::string& owner) = 0;
    virtual void stop() = 0;
    // The signaling port while the listener is open.
    virtual std::optional<std::uint16_t> listeningPort() const { return std::nullopt; }
};

// The LAN signaling server, as the controller sees it.
class LanSignaling {
public:
    virtual ~LanSignaling() = default;
    // Dropped when no client is connected.
    virtual void send(const SignalingMessage& message) = 0;
    virtual void disconnect() = 0;
    // The connected client's address without an IPv6 zone; absent when none is connected.
    virtual std::optional<std::string> peerHost() const = 0;
};

// This computer's presence record in the cloud.
class Presence {
public:
    virtual ~Presence() = default;
    virtual void publish(bool online) = 0;
    virtual void startHeartbeat() = 0;
    virtual void stopHeartbeat() = 0;
    virtual void cleanupStaleRecords() = 0;
    // Waits up to `limit` for the records written so far to reach the cloud; false if they did not.
    virtual bool finishWrites(std::chrono::milliseconds) { return true; }
};

// The owner's profile record in the cloud.
class UserProfile {
public:
    virtual ~UserProfile() = default;
    virtual void installAuthListener() = 0;
};

class RemoteSessions {
public:
    virtual ~RemoteSessions() = default;
    virtual void startListening() = 0;
    virtual void stopListening() = 0;
};

class WebRTCPeer {
public:
    virtual ~WebRTCPeer() = default;
    virtual void setUp() = 0;
    virtual void sendHostOffline() = 0;
    // Sent only while the control channel is open.
    virtual void sendControlMessage(const SignalingMessage& message) = 0;
};

class OnlinePower {
public:
    virtual ~OnlinePower() = default;
    virtual void beginOnlineAvailability() = 0;
    virtual void endOnlineAvailability() = 0;
};

class ClosedLid {
public:
    virtual ~ClosedLid() = default;
    virtual void engageIfRequested() = 0;
    // True when the normal sleep policy is in force afterwards.
    virtual bool disengage() = 0;
};

// LAN screen streaming and its session-duration ceiling.
class ScreenStreaming {
public:
    virtual ~ScreenStreaming() = default;
    virtual void stop() = 0;
};

// Ends host-made tmux sessions left idle past the owner's lifetime.
class IdleSessionReaper {
public:
    virtual ~IdleSessionReaper() = default;
    virtual void start() = 0;
};

class InputTrust {
public:
    virtual ~InputTrust() = default;
    virtual void requestAccessibilityTrust() = 0;
};

class TextFocusSource {
public:
    virtual ~TextFocusSource() = default;
    virtual void setOnChange(std::function<void(bool focused)> onChange) = 0;
};

// The daily update check, started at launch.
class UpdateCheck {
public:
    virtual ~UpdateCheck() = default;
    virtual void start() = 0;
};

// The desktop session of this process: whether its screen can be captured and input posted right
// now, and one line on what works there.
bool desktopScreenAvailable();
bool desktopInputAvailable();
std::string desktopDescription();
// The X display's monitors; none when the desktop session is not X11's.
std::optional<std::vector<X11Monitor>> desktopMonitors();

// References to the process's services; the launch sequence and the controller are wired with it.
struct HostServices {
    Advertiser& advertiser;
    LanSignaling& signaling;
    Presence& presence;
    UserProfile& profile;
    RemoteSessions& remoteSessions;
    WebRTCPeer& webrtc;
    OnlinePower& power;
    ClosedLid& closedLid;
    ScreenStreaming& screen;
    IdleSessionReaper& reaper;
    InputTrust& inputTrust;
    TextFocusSource& textFocus;
    UpdateCheck& updates;

    // The services of this process: the real ones where they exist, stand-ins for the rest.
    static HostServices& shared();
};

} // namespace pelorn
