#include "input/remote_desktop_input.hpp"

#include "core/log.hpp"
#include "core/text.hpp"
#include "input/keysyms.hpp"

#include <cmath>
#include <linux/input-event-codes.h>
#include <utility>

namespace pelorn {

namespace {

// An application answers a paste within this.
constexpr auto pasteWait = std::chrono::milliseconds(1000);
constexpr std::uint32_t controlKeysym = 0xffe3;
constexpr std::uint32_t vKeysym = 0x76;

} // namespace

RemoteDesktopInput::RemoteDesktopInput(Session& session) : mSession(session) {
}

bool RemoteDesktopInput::isTrusted() {
    return mSession.available();
}

std::optional<ScreenSize> RemoteDesktopInput::mainScreen() {
    return mSession.monitor();
}

std::optional<ScreenPoint> RemoteDesktopInput::cursorLocation() {
    if (mPointer) {
        return mPointer;
    }
    auto screen = mainScreen();
    if (!screen) {
        return std::nullopt;
    }
    return ScreenPoint{screen->width / 2, screen->height / 2};
}

void RemoteDesktopInput::movePointer(ScreenPoint at) {
    paste();
    if (!std::isfinite(at.x) || !std::isfinite(at.y)) {
        return;
    }
    if (mSession.motion(at.x, at.y)) {
        mPointer = at;
    }
}

void RemoteDesktopInput::postButton(MouseButton button, bool down, ScreenPoint at) {
    movePointer(at);
    mSession.button(button == MouseButton::Left ? BTN_LEFT : BTN_RIGHT, down);
}

void RemoteDesktopInput::postWheel(int steps) {
    // Never reached while pixel scrolling works; one step is about what a wheel notch scrolls.
    postPixelScroll(steps * 10.0);
}

bool RemoteDesktopInput::postPixelScroll(double pixels) {
    paste();
    // Positive pixels scroll up, which the compositor counts as negative.
    return mSession.axis(0, -pixels);
}

void RemoteDesktopInput::tap(std::uint32_t keysym, std::optional<std::uint32_t> modifier) {
    paste();
    if (modifier) {
        mSession.keysym(*modifier, true);
    }
    mSession.keysym(keysym, true);
    mSession.keysym(keysym, false);
    if (modifier) {
        mSession.keysym(*modifier, false);
    }
}

void RemoteDesktopInput::pressKey(NamedKey key, std::optional<KeyModifier> modifier) {
    std::optional<std::uint32_t> held;
    if (modifier) {
        held = keysymFor(*modifier);
    }
    tap(keysymFor(key), held);
}

bool RemoteDesktopInput::hasKey(char32_t codePoint) {
    // Printable ASCII has a key on the layouts GNOME offers by default; for anything else the
    // compositor would need the character in its current keymap, which it does not tell.
    return codePoint >= 0x20 && codePoint <= 0x7e;
}

void RemoteDesktopInput::typeCodePoint(char32_t codePoint) {
    if (hasKey(codePoint)) {
        tap(keysymForCodePoint(codePoint));
    } else if (!mSession.hasClipboard()) {
        if (!std::exchange(mToldNoClipboard, true)) {
            Log::shared().info("⌨️ PELORN: this desktop gives remote input no clipboard - characters the "
                               "keyboard layout has no key for go as keys and may not arrive");
        }
        tap(keysymForCodePoint(codePoint));
    } else {
        mUnkeyed += utf8Of(codePoint);
    }
}

void RemoteDesktopInput::endOfText() {
    paste();
}

void RemoteDesktopInput::paste() {
    if (mUnkeyed.empty()) {
        return;
    }
    auto text = std::exchange(mUnkeyed, {});
    if (!mClipboardBorrowed) {
        mOwnersClipboard = mSession.clipboardText();
        mClipboardBorrowed = true;
    }
    if (!mSession.offerClipboardText(text)) {
        return;
    }
    tap(vKeysym, controlKeysym);
    if (!mSession.awaitPaste(pasteWait) && !std::exchange(mToldPasteIgnored, true)) {
        Log::shared().info("⌨️ PELORN: the focused application did not paste characters the keyboard "
                           "layout has no key for");
    }
}

void RemoteDesktopInput::restoreKeymap() {
    paste();
    if (!std::exchange(mClipboardBorrowed, false)) {
        return;
    }
    if (auto text = std::exchange(mOwnersClipboard, std::nullopt); text && !text->empty()) {
        mSession.offerClipboardText(*text);
    }
}

} // namespace pelorn
