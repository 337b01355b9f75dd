#pragma once

#include "webrtc/h264_encoders.hpp"
#include "webrtc/webrtc_engine.hpp"

namespace pelorn {

class HostLoop;

// The WebRTC engine on GStreamer's webrtcbin (with libnice for ICE): per peer connection one
// pipeline, NV12 frames → scaling to the fitted size → x264 (constrained baseline, zero latency)
// → RTP → webrtcbin, send-only. webrtcbin's own threads raise its events; each is posted to the
// host loop, where the caller's handlers run.
class GstWebRTCEngine final : public WebRTCEngine {
public:
    explicit GstWebRTCEngine(HostLoop& loop);
    // Whether GStreamer has every element a peer connection needs; the reason when not.
    static std::optional<std::string> missingElements();
    // The H.264 encoder of every peer connection: the first of the list that opens here.
    static const H264Encoder& videoEncoder();

    std::vector<VideoCodec> supportedVideoCodecs() const override;
    void setPreferredVideoCodec(const VideoCodec& codec) override;
    std::unique_ptr<PeerConnection> createPeerConnection(const PeerConfiguration& configuration,
                                                         PeerConnection::Events events) override;

private:
    HostLoop& mLoop;
};

} // namespace pelorn
