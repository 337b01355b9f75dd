#include "webrtc/video_quality_profile.hpp"

#include <cmath>

namespace pelorn {

const VideoQualityProfile VideoQualityProfile::direct{
    "DIRECT", 2880, 1800, 60, 40'000'000, 2'000'000, Degradation::MaintainResolution};
const VideoQualityProfile VideoQualityProfile::relay{
    "RELAY", 1920, 1080, 60, 24'000'000, 1'500'000, Degradation::Balanced};

VideoSize fittedSize(const VideoQualityProfile& profile, VideoSize source) {
    double aspect = static_cast<double>(source.width) / static_cast<double>(source.height);
    double targetWidth;
    double targetHeight;
    if (profile.maxWidth / aspect > profile.maxHeight) {
        targetWidth = aspect * profile.maxHeight;
        targetHeight = profile.maxHeight;
    } else {
        targetWidth = profile.maxWidth;
        targetHeight = std::round(profile.maxWidth / aspect);
    }
    VideoSize size{static_cast<std::int32_t>(std::round(targetWidth)),
                   static_cast<std::int32_t>(targetHeight)};
    if (targetWidth > source.width) {
        size = source; // never scaled up
    }
    // Even sides, rounding down: the encoder's chroma planes are half size.
    size.width &= ~1;
    size.height &= ~1;
    return size;
}

std::string profileLine(const VideoQualityProfile& profile, const std::string& reason) {
    return "🎚️ PELORN QUALITY: " + profile.name + " profile - " + std::to_string(profile.maxHeight) +
           "p @ " + std::to_string(profile.maxBitrateBps / 1'000'000) + " Mbps (" + reason + ")";
}

} // namespace pelorn
