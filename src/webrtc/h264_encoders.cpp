#include "webrtc/h264_encoders.hpp"

namespace pelorn {

const std::vector<H264Encoder>& h264Encoders() {
    static const std::vector<H264Encoder> encoders{
        {"nvh264enc",
         "NVIDIA NVENC",
         true,
         {{"preset", "low-latency-hq"},
          {"rc-mode", "cbr"},
          {"zerolatency", "true"},
          {"bframes", "0"},
          {"gop-size", "120"}}},
        {"vah264enc",
         "VA-API",
         true,
         {{"rate-control", "cbr"}, {"b-frames", "0"}, {"key-int-max", "120"}, {"target-usage", "7"}}},
        {"vaapih264enc",
         "VA-API (gstreamer-vaapi)",
         true,
         {{"rate-control", "cbr"}, {"max-bframes", "0"}, {"keyframe-period", "120"}}},
        {"qsvh264enc",
         "Intel Quick Sync",
         true,
         {{"rate-control", "cbr"},
          {"b-frames", "0"},
          {"gop-size", "120"},
          {"low-latency", "true"},
          {"target-usage", "7"}}},
        {"x264enc",
         "x264",
         false,
         {{"tune", "zerolatency"}, {"speed-preset", "ultrafast"}, {"key-int-max", "120"}}},
    };
    return encoders;
}

const H264Encoder& chooseH264Encoder(const std::function<bool(const H264Encoder&)>& usable) {
    for (const auto& encoder : h264Encoders()) {
        if (encoder.hardware && usable(encoder)) {
            return encoder;
        }
    }
    return h264Encoders().back();
}

} // namespace pelorn
