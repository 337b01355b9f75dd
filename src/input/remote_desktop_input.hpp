#pragma once

#include "input/input_device.hpp"

#include <chrono>
#include <cstdint>
#include <string>

namespace pelorn {

// Input on a Wayland desktop through a compositor's remote-desktop session: the pointer on the
// session's monitor, smooth scrolling in pixels, keys by keysym. A character the keyboard layout
// has no key for would be dropped by the compositor, so where the session has a clipboard it is
// pasted instead: a run of them offered as the clipboard's text and Ctrl+V pressed, and the
// owner's clipboard text put back once typing pauses. Used from one thread at a time.
class RemoteDesktopInput final : public InputDevice {
public:
    // A remote-desktop session as input needs it.
    class Session {
    public:
        virtual ~Session() = default;
        // Whether input can go through the desktop's remote desktop at all (cheap: asked per event).
        virtual bool available() = 0;
        // The size of the monitor the pointer moves on.
        virtual std::optional<ScreenSize> monitor() = 0;
        // False when the input went nowhere.
        virtual bool motion(double x, double y) = 0;
        virtual bool button(std::int32_t evdevCode, bool pressed) = 0;
        virtual bool axis(double dx, double dy) = 0;
        virtual bool keysym(std::uint32_t keysym, bool pressed) = 0;
        // The session's clipboard, for pasting; without one, every character goes as a key.
        virtual bool hasClipboard() { return false; }
        virtual bool offerClipboardText(const std::string&) { return false; }
        virtual bool awaitPaste(std::chrono::milliseconds) { return false; }
        virtual std::optional<std::string> clipboardText() { return std::nullopt; }
    };

    explicit RemoteDesktopInput(Session& session);

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

    // Whether the character goes as a key press (else it is pasted where the session can).
    static bool hasKey(char32_t codePoint);

private:
    void tap(std::uint32_t keysym, std::optional<std::uint32_t> modifier = std::nullopt);
    // Pastes the characters without a key typed since the last key, in one go.
    void paste();

    Session& mSession;
    std::optional<ScreenPoint> mPointer; // where this put it: the compositor does not tell
    std::string mUnkeyed;                // characters waiting for their paste
    bool mClipboardBorrowed = false;
    std::optional<std::string> mOwnersClipboard;
    bool mToldPasteIgnored = false;
    bool mToldNoClipboard = false;
};

} // namespace pelorn
