#pragma once

#include "input/input_device.hpp"

#include <string>

namespace pelorn {

class MutterRemoteDesktop;

// Input on a GNOME Wayland session through the compositor's remote-desktop session: the pointer on
// the streamed monitor, smooth scrolling in pixels, keys by keysym. A character the keyboard
// layout has no key for would be dropped by the compositor, so it is pasted instead: a run of
// them offered as the clipboard's text and Ctrl+V pressed, and the owner's clipboard text put back
// once typing pauses. Used from one thread at a time.
class MutterInput final : public InputDevice {
public:
    explicit MutterInput(MutterRemoteDesktop& desktop);

    bool isTrusted() override;
    std::optional<ScreenSize> mainScreen() override;
    std::optional<ScreenPoint> cursorLocation() override;
    void movePointer(ScreenPoint at) override;
    void postButton(MouseButton button, bool down, ScreenPoint at) override;
    void postWheel(int steps) override;
    bool postPixelScroll(double pixels) override;
    void pressKey(NamedKey key, std::optional<KeyModifier> modifier = std::nullopt) override;
    void typeCodePoint(char32_t codePoint) override;
    void endOfText() override;
    void restoreKeymap() override;

    // Whether the character goes as a key press (else it is pasted).
    static bool hasKey(char32_t codePoint);

private:
    void tap(std::uint32_t keysym, std::optional<std::uint32_t> modifier = std::nullopt);
    // Pastes the characters without a key typed since the last key, in one go.
    void paste();

    MutterRemoteDesktop& mDesktop;
    std::optional<ScreenPoint> mPointer; // where this put it: the compositor does not tell
    std::string mUnkeyed;                // characters waiting for their paste
    bool mClipboardBorrowed = false;
    std::optional<std::string> mOwnersClipboard;
    bool mToldPasteIgnored = false;
};

} // namespace pelorn
