#include "input/mutter_input.hpp"

#include "core/log.hpp"
#include "core/text.hpp"
#include "gnome/mutter_remote_desktop.hpp"
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

MutterInput::MutterInput(MutterRemoteDesktop& desktop) : mDesktop(desktop) {
}

bool MutterInput::isTrusted() {
    return mDesktop.available();
}

std::optional<ScreenSize> MutterInput::mainScreen() {
    auto stream = mDesktop.currentStream();
    if (!stream) {
        return std::nullopt;
    }
    return ScreenSize{static_cast<double>(stream->width), static_cast<double>(stream->height)};
}

std::optional<ScreenPoint> MutterInput::cursorLocation() {
    if (mPointer) {
        return mPointer;
    }
    auto screen = mainScreen();
    if (!screen) {
        return std::nullopt;
    }
    return ScreenPoint{screen->width / 2, screen->height / 2};
}

void MutterInput::movePointer(ScreenPoint at) {
    paste();
    if (!std::isfinite(at.x) || !std::isfinite(at.y)) {
        return;
    }
    if (mDesktop.motion(at.x, at.y)) {
        mPointer = at;
    }
}

void MutterInput::postButton(MouseButton button, bool down, ScreenPoint at) {
    movePointer(at);
    mDesktop.button(button == MouseButton::Left ? BTN_LEFT : BTN_RIGHT, down);
}

void MutterInput::postWheel(int steps) {
    // Never reached while pixel scrolling works; one step is about what a wheel notch scrolls.
    postPixelScroll(steps * 10.0);
}

bool MutterInput::postPixelScroll(double pixels) {
    paste();
    // Positive pixels scroll up, which the compositor counts as negative.
    return mDesktop.axis(0, -pixels);
}

void MutterInput::tap(std::uint32_t keysym, std::optional<std::uint32_t> modifier) {
    paste();
    if (modifier) {
        mDesktop.keysym(*modifier, true);
    }
    mDesktop.keysym(keysym, true);
    mDesktop.keysym(keysym, false);
    if (modifier) {
        mDesktop.keysym(*modifier, false);
    }
}

void MutterInput::pressKey(NamedKey key, std::optional<KeyModifier> modifier) {
    std::optional<std::uint32_t> held;
    if (modifier) {
        held = keysymFor(*modifier);
    }
    tap(keysymFor(key), held);
}

bool MutterInput::hasKey(char32_t codePoint) {
    // Printable ASCII has a key on the layouts GNOME offers by default; for anything else the
    // compositor would need the character in its current keymap, which it does not tell.
    return codePoint >= 0x20 && codePoint <= 0x7e;
}

void MutterInput::typeCodePoint(char32_t codePoint) {
    if (hasKey(codePoint)) {
        tap(keysymForCodePoint(codePoint));
    } else {
        mUnkeyed += utf8Of(codePoint);
    }
}

void MutterInput::endOfText() {
    paste();
}

void MutterInput::paste() {
    if (mUnkeyed.empty()) {
        return;
    }
    auto text = std::exchange(mUnkeyed, {});
    if (!mClipboardBorrowed) {
        mOwnersClipboard = mDesktop.clipboardText();
        mClipboardBorrowed = true;
    }
    if (!mDesktop.offerClipboardText(text)) {
        return;
    }
    tap(vKeysym, controlKeysym);
    if (!mDesktop.awaitPaste(pasteWait) && !std::exchange(mToldPasteIgnored, true)) {
        Log::shared().info("⌨️ PELORN: the focused application did not paste characters the keyboard "
                           "layout has no key for");
    }
}

void MutterInput::restoreKeymap() {
    paste();
    if (!std::exchange(mClipboardBorrowed, false)) {
        return;
    }
    if (auto text = std::exchange(mOwnersClipboard, std::nullopt); text && !text->empty()) {
        mDesktop.offerClipboardText(*text);
    }
}

} // namespace pelorn
