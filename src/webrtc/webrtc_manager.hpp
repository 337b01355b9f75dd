#pragma once

#include "core/host_loop.hpp"
#include "core/lifetime.hpp"
#include "signaling/lan_targets.hpp"
#include "webrtc/video_quality_profile.hpp"
#include "webrtc/webrtc_engine.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pelorn {

struct AuthServices;
class ConnectionTelemetry;
class EventLog;
class NotificationCenter;
class RemoteControl;
struct SignalingMessage;

// The host's one WebRTC peer: it offers, sends the screen as H.264 and carries control and terminal
// traffic on two data channels; it watches the connection (ICE state, restarts, the path the media
// takes) and fits the video to that path. Its offer and candidates go to the installed signal
// sender (the LAN signaling connection by default); answers and the client's candidates come back
// through WebRTCTarget. Host loop, except pushFrame.
class WebRTCManager final : public WebRTCTarget {
public:
    using FrameSink = std::function<void(const VideoFrameView& frame, std::chrono::nanoseconds timestamp)>;
    struct Dependencies {
        HostLoop& loop;
        WebRTCEngine& engine;
        ConnectionTelemetry& telemetry;
        EventLog& log;
        // The ICE servers of a new session.
        std::function<std::vector<IceServer>()> iceServers;
        // Starts the screen capture with frames to `sink` (on the capture's thread); stops it.
        std::function<void(FrameSink sink)> startCapture;
        std::function<void()> stopCapture;
        std::function<void()> turnOffPrivacy;
        std::function<void()> stopScreenLimit;
        // The default signal sender: the LAN signaling connection.
        std::function<void(const SignalingMessage&)> lanSend;
        // Candidates on loopback too (peers on this machine, as in tests).
        bool loopbackCandidates = false;
        // What the client drives once authorised on "control"; without them, nothing is.
        AuthServices* auth = nullptr;
        NotificationCenter* notifications = nullptr;
        InputTarget* input = nullptr;
        TerminalTarget* terminal = nullptr;
        std::function<void()> privacyOn = {};
    };

    static constexpr int maxIceRestartAttempts = 3;
    static constexpr auto disconnectGrace = std::chrono::milliseconds(4000);
    static constexpr auto statsPollInterval = std::chrono::milliseconds(3000);
    static constexpr auto pairDiagnosticsInterval = std::chrono::milliseconds(1500);
    static constexpr auto pairDiagnosticsLength = std::chrono::milliseconds(15000);
    // webrtcbin never notices a client that stopped (asleep, frozen, gone without a word): the
    // client's receiver reports are what does. Polls in a row in which video went out and no
    // report came back before the connection counts as stalled.
    static constexpr int silentPollsBeforeRestart = 2;

    explicit WebRTCManager(Dependencies deps);
    ~WebRTCManager() override;
    static WebRTCManager& shared();

    // Launch: the ready line and the telemetry summary; picks the engine's H.264 codec.
    void setUp();
    void startStream();
    // Safe without a session; the signal sender stays as it is.
    void stopStream();
    // Where offers and candidates go (the cloud's signalling during an internet session); an empty
    // sender restores the LAN one.
    void setSignalSender(std::function<void(const SignalingMessage&)> sender);

    // WebRTCTarget: the client's answer and candidates.
    void applyAnswer(const std::string& sdp) override;
    void addRemoteCandidate(const std::string& line, const std::string& sdpMid,
                            std::int32_t sdpMLineIndex) override;

    // One captured frame (NV12); any thread.
    void pushFrame(const VideoFrameView& frame, std::chrono::nanoseconds timestamp);
    void startScreen();
    void stopScreen();

    void applyProfile(const VideoQualityProfile& profile, const std::string& reason);
    void restartIce();

    // The client's data channels: dropped while they are not open.
    void sendControlMessage(const SignalingMessage& message);
    void sendHostOffline();
    // Any thread; false when the client is not keeping up.
    bool sendTerminalOutput(const SignalingMessage& output);
    bool isRemoteAuthorized() const;

    bool hasSession() const { return mPeer != nullptr; }
    int iceRestartAttempts() const { return mIceRestartAttempts; }
    const std::optional<VideoQualityProfile>& currentProfile() const { return mProfile; }
    const std::optional<std::string>& activePath() const { return mActivePath; }

    WebRTCManager(const WebRTCManager&) = delete;
    WebRTCManager& operator=(const WebRTCManager&) = delete;

private:
    void send(const SignalingMessage& message);
    void offer(bool iceRestart);
    void remoteAnswerApplied(const std::optional<std::string>& error);
    void flushCandidates();
    void addNow(const IceCandidate& candidate);
    void adaptSource();

    void onLocalCandidate(const IceCandidate& candidate);
    void onIceState(IceConnectionState state);
    void startStatsPoll();
    void classify(const StatsReport& report);
    void watchReceiverReports(const StatsReport& report);
    void pathChanged(const PathClassification& path);
    void logOutgoingVideo();
    void startPairDiagnostics();
    void dumpPairs();

    Dependencies mDeps;
    std::function<void(const SignalingMessage&)> mSignalSender;
    std::shared_ptr<PeerConnection> mPeer;
    std::optional<VideoQualityProfile> mProfile;
    std::vector<IceCandidate> mPendingCandidates;
    int mIceRestartAttempts = 0;
    bool mConnected = false;
    // webrtcbin cannot take an offer back: a restart waits while the client owes an answer.
    bool mOfferUnanswered = false;
    std::optional<ReceiverProgress> mLastProgress;
    int mSilentPolls = 0;
    bool mStallGaveUp = false;
    std::optional<std::string> mActivePath;
    bool mRecordedTelemetry = false;
    bool mPairDiagnosticsStarted = false;
    HostLoop::TimePoint mPairDiagnosticsStart{};
    Timer mDisconnectTimer;
    Timer mStatsPoll;
    Timer mPairDiagnostics;
    std::vector<HostLoop::TimerId> mVideoLogTimers;
    std::uint64_t mSession = 0; // moves with each session; late completions of older ones are dropped
    bool mCapturing = false;

    // The session's peer as other threads see it: frames from the capture's thread, terminal
    // output from a reading thread. Shared, so a late caller never reaches a manager that is gone.
    struct FramePath {
        std::mutex mutex; // guards the fields below
        std::shared_ptr<PeerConnection> peer;
        std::int32_t width = 0;
        std::int32_t height = 0;
        std::uint64_t pushed = 0;
    };
    std::shared_ptr<FramePath> mFrames = std::make_shared<FramePath>();

    std::unique_ptr<RemoteControl> mRemote; // after the frame path, which its terminal output uses
    Lifetime<WebRTCManager> mLifetime{this};
};

} // namespace pelorn
