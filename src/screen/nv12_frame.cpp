#include "screen/nv12_frame.hpp"

#include <libyuv/convert_from_argb.h>

namespace pelorn {

void Nv12Frame::convert(const VideoFrame& bgra) {
    width = bgra.width & ~1;
    height = bgra.height & ~1;
    y.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    uv.resize(y.size() / 2);
    // libyuv's "ARGB" is blue, green, red, alpha in memory: the capture's order.
    libyuv::ARGBToNV12(bgra.pixels.data(), bgra.stride, y.data(), width, uv.data(), width, width, height);
}

} // namespace pelorn
