#pragma once

#include <cstdint>
#include <string>

namespace pelorn {

// How the H.264 stream is shaped for a path: a cap on the output size (aspect kept, never scaled
// up), a frame rate, a bitrate window and what gives first when bandwidth runs short.
struct VideoQualityProfile {
    enum class Degradation : int { MaintainResolution = 2, Balanced = 3 };

    std::string name;
    std::int32_t maxWidth;
    std::int32_t maxHeight;
    int fps;
    int maxBitrateBps;
    int minBitrateBps;
    Degradation degradation;

    bool operator==(const VideoQualityProfile&) const = default;

    // The selected candidate pair has no relay candidate.
    static const VideoQualityProfile direct;
    // At the start of every session, and whenever the path is relayed.
    static const VideoQualityProfile relay;
};

struct VideoSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool operator==(const VideoSize&) const = default;
};

// The output size for a source of the given size under the profile's cap: the aspect ratio kept,
// never larger than the source, both sides even.
VideoSize fittedSize(const VideoQualityProfile& profile, VideoSize source);

// "🎚️ PELORN QUALITY: DIRECT profile - 1800p @ 40 Mbps (path change)"
std::string profileLine(const VideoQualityProfile& profile, const std::string& reason);

} // namespace pelorn
