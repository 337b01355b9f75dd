#pragma once

#include "screen/video_frame.hpp"

#include <cstdint>
#include <vector>

namespace pelorn {

// A captured frame in NV12 (BT.601, limited range, as libyuv converts), for encoders that take it;
// the buffers are kept from one frame to the next. Odd sides are cropped to even ones.
struct Nv12Frame {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> y;  // width bytes a row
    std::vector<std::uint8_t> uv; // width bytes a row, height / 2 rows

    void convert(const VideoFrame& bgra);
};

} // namespace pelorn
