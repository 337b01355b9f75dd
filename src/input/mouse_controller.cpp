#include "input/mouse_controller.hpp"

#include "core/log.hpp"
#include "input/input_device.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pelorn {

namespace {

constexpr ScreenSize fallbackScreen{1920, 1080};

MouseButton buttonNamed(const std::optional<std::string>& button) {
    return button == "right" ? MouseButton::Right : MouseButton::Left;
}

// Truncated toward zero; nothing for a value no 32-bit integer holds.
std::optional<std::int32_t> wheelPixels(double deltaY) {
    if (!std::isfinite(deltaY)) {
        return std::nullopt;
    }
    double truncated = std::trunc(deltaY);
    if (truncated < std::numeric_limits<std::int32_t>::min() ||
        truncated > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(truncated);
}

} // namespace

MouseController::MouseController(InputDevice& device) : mDevice(device) {
}

bool MouseController::requestAccessibilityTrust() {
    bool trusted = mDevice.isTrusted();
    Log::shared().info(std::string("🔐 PELORN Accessibility trusted: ") + (trusted ? "true" : "false"));
    return trusted;
}

ScreenSize MouseController::mainScreen() {
    return mDevice.mainScreen().value_or(fallbackScreen);
}

ScreenPoint MouseController::screenPoint(double x, double y) {
    auto screen = mainScreen();
    return {x * screen.width, y * screen.height};
}

ScreenPoint MouseController::currentCursorLocation() {
    if (auto location = mDevice.cursorLocation()) {
        return *location;
    }
    auto screen = mainScreen();
    return {screen.width * 0.5, screen.height * 0.5};
}

ScreenPoint MouseController::clampToMainScreen(ScreenPoint point) {
    auto screen = mainScreen();
    // A NaN fails both comparisons and would pass through; it goes to the edge instead.
    auto clamp = [](double v, double high) { return std::isnan(v) ? 0.0 : std::min(std::max(v, 0.0), high); };
    return {clamp(point.x, screen.width - 1), clamp(point.y, screen.height - 1)};
}

void MouseController::postClick(MouseButton button, ScreenPoint at) {
    mDevice.postButton(button, true, at);
    mDevice.postButton(button, false, at);
}

void MouseController::postDoubleClick(ScreenPoint at) {
    // X has no click count: applications count two clicks close together in time and place.
    postClick(MouseButton::Left, at);
    postClick(MouseButton::Left, at);
}

void MouseController::postScroll(std::optional<double> deltaY) {
    auto pixels = wheelPixels(deltaY.value_or(0));
    if (!pixels || *pixels == 0 || mDevice.postPixelScroll(*pixels)) {
        return;
    }
    std::int64_t total = mScrollRemainder + *pixels;
    std::int64_t steps = total / pixelsPerWheelStep;
    mScrollRemainder = total % pixelsPerWheelStep;
    steps = std::clamp(steps, -maxWheelStepsPerMessage, maxWheelStepsPerMessage);
    if (steps != 0) {
        mDevice.postWheel(static_cast<int>(steps));
    }
}

void MouseController::handleMouseEvent(const std::string& action, double x, double y,
                                       const std::optional<std::string>& button,
                                       std::optional<double> deltaY) {
    if (!mDevice.isTrusted()) {
        Log::shared().info("⛔️ PELORN: No Accessibility permission - cursor will NOT move");
    }
    auto which = buttonNamed(button);
    if (action == "move") {
        mDevice.movePointer(screenPoint(x, y));
    } else if (action == "move_rel") {
        auto here = currentCursorLocation();
        mDevice.movePointer(clampToMainScreen({here.x + x, here.y + y}));
    } else if (action == "down") {
        mDevice.postButton(which, true, screenPoint(x, y));
    } else if (action == "up") {
        mDevice.postButton(which, false, screenPoint(x, y));
    } else if (action == "click") {
        postClick(which, screenPoint(x, y));
    } else if (action == "click_here") {
        postClick(which, currentCursorLocation());
    } else if (action == "doubleclick") {
        postDoubleClick(screenPoint(x, y));
    } else if (action == "scroll") {
        postScroll(deltaY);
    }
}

} // namespace pelorn
