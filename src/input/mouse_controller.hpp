#pragma once

#include "input/input_device.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace pelorn {

// The client's pointer messages as real pointer, button and wheel events. One thread at a time (the input
// thread in the host).
class MouseController {
public:
    // The client scrolls in pixels and X in wheel notches: this many pixels make one notch (a
    // notch scrolls about three lines in most toolkits, so 40 px of finger travel stays close to
    // the distance the finger moved). What is left over waits for the next message.
    static constexpr std::int64_t pixelsPerWheelStep = 40;
    // A message never turns more notches than this; the rest is dropped, so one absurd delta
    // cannot keep the host posting events for minutes.
    static constexpr std::int64_t maxWheelStepsPerMessage = 100;

    explicit MouseController(InputDevice& device);
    static MouseController& shared();

    void handleMouseEvent(const std::string& action, double x, double y,
                          const std::optional<std::string>& button, std::optional<double> deltaY);
    // Whether synthetic events reach the display; logs the answer.
    bool requestAccessibilityTrust();

    ScreenPoint screenPoint(double x, double y);
    ScreenPoint currentCursorLocation();
    ScreenPoint clampToMainScreen(ScreenPoint point);
    void postClick(MouseButton button, ScreenPoint at);
    void postDoubleClick(ScreenPoint at);
    void postScroll(std::optional<double> deltaY);

private:
    ScreenSize mainScreen();

    InputDevice& mDevice;
    std::int64_t mScrollRemainder = 0; // pixels, less than one notch either way
};

} // namespace pelorn
