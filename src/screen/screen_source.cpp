#include "screen/screen_source.hpp"

#include <algorithm>
#include <cmath>

namespace pelorn {

FrameSize deliveredSize(int nativeWidth, int nativeHeight, int longEdgeCap) {
    int w = nativeWidth, h = nativeHeight;
    int longEdge = std::max(w, h);
    if (longEdge > longEdgeCap) {
        double f = static_cast<double>(longEdgeCap) / longEdge;
        w = static_cast<int>(std::round(f * nativeWidth));
        h = static_cast<int>(std::round(f * nativeHeight));
    }
    return {w - w % 2, h - h % 2};
}

} // namespace pelorn
