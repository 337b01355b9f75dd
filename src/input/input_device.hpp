#pragma once

#include <optional>
#include <string>

namespace pelorn {

struct ScreenPoint {
    double x = 0, y = 0;
    bool operator==(const ScreenPoint&) const = default;
};

struct ScreenSize {
    double width = 0, height = 0;
};

enum class MouseButton { Left, Right };

// The keys clients name, as they mean here.
enum class NamedKey {
    Return,
    Backspace,
    Tab,
    Escape,
    Up,
    Down,
    Left,
    Right,
    Space,
    Delete,
    C,
    V,
    X,
    A,
    Z,
    S
};

enum class KeyModifier { Control, Alt };

// Genuine input events on this computer's display. One thread at a time.
class InputDevice {
public:
    virtual ~InputDevice() = default;
    // The display is reachable and accepts synthetic events.
    virtual bool isTrusted() = 0;
    virtual std::optional<ScreenSize> mainScreen() = 0;
    virtual std::optional<ScreenPoint> cursorLocation() = 0;
    virtual void movePointer(ScreenPoint at) = 0;
    // At the given point: the pointer moves there first.
    virtual void postButton(MouseButton button, bool down, ScreenPoint at) = 0;
    // Wheel steps at the pointer: positive scrolls up (content moves down), negative down.
    virtual void postWheel(int steps) = 0;
    // Scrolling by pixels, where the display takes it (same sign as wheel steps); false when it
    // only takes wheel steps.
    virtual bool postPixelScroll(double /*pixels*/) { return false; }
    // One down and one up of the key, with the modifier held around it (and released after).
    virtual void pressKey(NamedKey key, std::optional<KeyModifier> modifier = std::nullopt) = 0;
    // One character typed as a key press: a single Unicode code point.
    virtual void typeCodePoint(char32_t codePoint) = 0;
    // The text of one message has been typed.
    virtual void endOfText() {}
    // Puts back whatever typing borrowed from the keyboard layout; called once typing pauses.
    virtual void restoreKeymap() = 0;
};

} // namespace pelorn
