#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace pelorn {

// An H.264 encoder the WebRTC track can use: a GStreamer element and the settings that make it
// fit a live screen (no B-frames, constant rate, a keyframe at least every 120 frames). Each is
// applied only where the element has that property, so an element of another version still builds.
struct H264Encoder {
    std::string element;
    std::string name; // for the log
    bool hardware = false;
    std::vector<std::pair<std::string, std::string>> settings;
};

// Hardware first, the families in the order the LAN's HEVC chain tries them (NVIDIA, VA-API,
// Intel Quick Sync), x264 last, which every host has.
const std::vector<H264Encoder>& h264Encoders();

// The first encoder `usable` accepts; x264 when it accepts none.
const H264Encoder& chooseH264Encoder(const std::function<bool(const H264Encoder&)>& usable);

} // namespace pelorn
