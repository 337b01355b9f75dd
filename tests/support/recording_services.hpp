#pragma once

// The host's services as the controller and the launch sequence see them, each writing what was
// asked of it into one shared journal.
#include "app/host_services.hpp"
#include "signaling/signaling_message.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pelorn::test {

// The tests look only at what a client or the owner would notice, not at the order of the steps.
struct Journal {
    std::vector<std::string> calls;
    void add(std::string call) { calls.push_back(std::move(call)); }
};

struct RecordingServices : Advertiser,
                           LanSignaling,
                           Presence,
                           UserProfile,
                           RemoteSessions,
                           WebRTCPeer,
                           OnlinePower,
                           ClosedLid,
                           ScreenStreaming,
                           IdleSessionReaper,
                           InputTrust,
                           TextFocusSource,
                           UpdateCheck {
    Journal& j;
    std::function<void(bool)> onFocus;
    explicit RecordingServices(Journal& journal) : j(journal) {}

    void start(const std::string& owner) override { j.add("advertiser.start " + owner); }
    void stop() override { j.add("stop"); }
    void start() override { j.add("start"); }
    void send(const SignalingMessage& m) override { j.add("lan.send " + *m.encode()); }
    void disconnect() override { j.add("lan.disconnect"); }
    std::optional<std::string> peerHost() const override { return std::nullopt; }
    void publish(bool online) override {
        j.add(std::string("presence.publish ") + (online ? "true" : "false"));
    }
    void startHeartbeat() override { j.add("presence.startHeartbeat"); }
    void stopHeartbeat() override { j.add("presence.stopHeartbeat"); }
    void cleanupStaleRecords() override { j.add("presence.cleanupStaleRecords"); }
    bool finishWrites(std::chrono::milliseconds) override {
        j.add("presence.finishWrites");
        return true;
    }
    void installAuthListener() override { j.add("profile.installAuthListener"); }
    void startListening() override { j.add("remote.startListening"); }
    void stopListening() override { j.add("remote.stopListening"); }
    void setUp() override { j.add("webrtc.setUp"); }
    void sendHostOffline() override { j.add("webrtc.sendHostOffline"); }
    void sendControlMessage(const SignalingMessage& m) override { j.add("webrtc.send " + *m.encode()); }
    void beginOnlineAvailability() override { j.add("power.begin"); }
    void endOnlineAvailability() override { j.add("power.end"); }
    void engageIfRequested() override { j.add("closedLid.engage"); }
    bool disengage() override {
        j.add("closedLid.disengage");
        return true;
    }
    void requestAccessibilityTrust() override { j.add("input.requestTrust"); }
    void setOnChange(std::function<void(bool)> f) override {
        j.add("textFocus.setOnChange");
        onFocus = std::move(f);
    }

    HostServices services() {
        // stop() serves the advertiser and the screen, start() the reaper and the update
        // checker; the journal's order tells them apart.
        return HostServices{*this, *this, *this, *this, *this, *this, *this,
                            *this, *this, *this, *this, *this, *this};
    }
};

} // namespace pelorn::test
