#pragma once

#include "webrtc/webrtc_stats.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace pelorn {

// What the host asks of a WebRTC implementation: one peer connection per session, offering,
// with ordered text data channels, one H.264 video track fed with captured frames, sender
// parameters, ICE (restart included) and standard statistics. Every event and completion is
// delivered on the host loop.

struct IceServer {
    std::vector<std::string> urls; // "stun:…", "turn:…?transport=udp", "turns:…"
    std::string username;
    std::string credential;
};

struct PeerConfiguration {
    std::vector<IceServer> iceServers;
    bool relayOnly = false; // only relayed candidates (tests of the relay path)
    // Candidates on the loopback interface too, which ICE agents skip by default: for peers on
    // this machine, as the tests run them.
    bool loopbackCandidates = false;
};

// The numbering every caller relies on.
enum class IceConnectionState : int {
    New = 0,
    Checking = 1,
    Connected = 2,
    Completed = 3,
    Failed = 4,
    Disconnected = 5,
    Closed = 6,
};

enum class DataChannelState : int { Connecting = 0, Open = 1, Closing = 2, Closed = 3 };

struct IceCandidate {
    std::string line; // "candidate:…"
    std::optional<std::string> mid;
    int mLineIndex = 0;
};

// The video sender's encoding parameters.
struct SenderParameters {
    int maxBitrateBps = 0;
    int minBitrateBps = 0;
    int maxFramerate = 0;
    double scaleResolutionDownBy = 1.0;
    int degradationPreference = 3; // 2 maintain resolution, 3 balanced
    bool operator==(const SenderParameters&) const = default;
};

// One captured frame in NV12 (as the capture converts it once for every consumer).
struct VideoFrameView {
    int width = 0;
    int height = 0;
    std::span<const std::uint8_t> y;
    int yStride = 0;
    std::span<const std::uint8_t> uv;
    int uvStride = 0;
};

using Completion = std::function<void(const std::optional<std::string>& error)>;

class PeerConnection {
public:
    struct Events {
        std::function<void(const IceCandidate&)> localCandidate;
        std::function<void(IceConnectionState)> iceConnectionState;
        std::function<void(const std::string& label, DataChannelState)> channelState;
        std::function<void(const std::string& label, const std::string& text)> channelMessage;
    };

    virtual ~PeerConnection() = default;

    // An ordered text channel; false when it cannot be made.
    virtual bool createDataChannel(const std::string& label) = 0;
    virtual DataChannelState channelState(const std::string& label) const = 0;
    virtual bool sendText(const std::string& label, const std::string& text) = 0;
    // Bytes queued on the channel and not yet sent.
    virtual std::uint64_t bufferedAmount(const std::string& label) const = 0;

    // The screen track: frames with their capture time; the output size and frame rate the
    // encoder is fitted to (frames of another size are scaled).
    virtual void pushFrame(const VideoFrameView& frame, std::chrono::nanoseconds timestamp) = 0;
    virtual void adaptOutputFormat(int width, int height, int fps) = 0;
    virtual std::optional<SenderParameters> videoSenderParameters() const = 0;
    virtual void setVideoSenderParameters(const SenderParameters& parameters) = 0;

    // The offer's SDP, or why there is none. With `iceRestart`, new ICE credentials.
    virtual void createOffer(bool iceRestart,
                             std::function<void(std::variant<std::string, std::string>)> done) = 0;
    virtual void setLocalOffer(const std::string& sdp, Completion done) = 0;
    virtual void setRemoteAnswer(const std::string& sdp, Completion done) = 0;
    // Empty until an answer is set.
    virtual std::string remoteDescription() const = 0;
    virtual void addRemoteCandidate(const IceCandidate& candidate, Completion done) = 0;

    virtual void getStats(std::function<void(const StatsReport&)> done) = 0;
    virtual void close() = 0;
};

struct VideoCodec {
    std::string name; // "H264"
    std::vector<std::pair<std::string, std::string>> parameters;
};

class WebRTCEngine {
public:
    virtual ~WebRTCEngine() = default;
    virtual std::vector<VideoCodec> supportedVideoCodecs() const = 0;
    virtual void setPreferredVideoCodec(const VideoCodec& codec) = 0;
    virtual std::unique_ptr<PeerConnection> createPeerConnection(const PeerConfiguration& configuration,
                                                                 PeerConnection::Events events) = 0;
};

} // namespace pelorn
