#pragma once

#include "screen/video_frame.hpp"

#include <optional>
#include <string>
#include <variant>

namespace pelorn {

// The display as the capture sees it, in pixels.
struct DisplayGeometry {
    int width = 0;
    int height = 0;
    double scale = 1.0; // pixels per point
};

struct CaptureFailure {
    bool noDisplay = false; // there is no display to capture at all
    std::string error;
};

// The size frames are delivered at: the long edge capped at `longEdgeCap` (rounded half away
// from zero), then each side made even.
struct FrameSize {
    int width = 0;
    int height = 0;
};
FrameSize deliveredSize(int nativeWidth, int nativeHeight, int longEdgeCap = 2880);

// The platform's screen capture, used from one capture thread.
class ScreenSource {
public:
    virtual ~ScreenSource() = default;

    // Connects and prepares to grab.
    virtual std::variant<DisplayGeometry, CaptureFailure> open() = 0;
    // The display's current size (it may change while capturing).
    virtual DisplayGeometry geometry() const = 0;
    // Whether anything visible (screen content or the pointer) changed since the last render;
    // an error text when the display was lost.
    virtual std::variant<bool, std::string> poll() = 0;
    // Draws the current screen with the pointer into `frame`, scaled to the frame's size.
    virtual void render(VideoFrame& frame) = 0;
    // A descriptor that becomes readable when the display may have changed, so a change can be
    // grabbed at once instead of at the next tick; -1 when changes are found only by polling.
    virtual int changeNotifier() const { return -1; }
    // A notice already read ahead by the source, which the descriptor will not show.
    virtual bool noticeWaiting() { return false; }
};

} // namespace pelorn
