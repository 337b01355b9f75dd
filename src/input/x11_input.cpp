#include "input/x11_input.hpp"

#include "core/log.hpp"
#include "input/keysyms.hpp"
#include "x11/x11_display.hpp"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

namespace pelorn {

namespace {

// Between two attempts to reach a display that is not there.
constexpr auto reconnectPause = std::chrono::seconds(2);
// Applications look a keycode's keysym up when they handle its event, which may be a little
// after it was pressed; a keycode pressed more recently than this is not remapped yet.
constexpr auto remapGuard = std::chrono::milliseconds(50);
// Xlib fetches a changed keymap when it next looks a key up, and forgets a change that arrives
// while that fetch is under way; so keymap changes are spaced out by at least this much.
constexpr auto remapPause = std::chrono::milliseconds(10);
constexpr auto keymapMaxAge = std::chrono::seconds(1);

// Pixel coordinates as X carries them (16-bit signed); nothing for a non-finite position.
std::optional<int> pixel(double value) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    return static_cast<int>(std::clamp(std::floor(value), -32768.0, 32767.0));
}

} // namespace

X11Input::X11Input(HostLoop& loop, std::string displayName, std::function<std::string()> wantedMonitor)
    : mLoop(loop), mDisplayName(std::move(displayName)), mWantedMonitor(std::move(wantedMonitor)) {
    installX11ErrorHandlers();
}

X11Input::~X11Input() {
    disconnect();
}

Display* X11Input::display() {
    if (mDisplay && !broken()) {
        return mDisplay;
    }
    disconnect();
    auto now = mLoop.now();
    if (mLastAttempt && now - *mLastAttempt < reconnectPause) {
        return nullptr;
    }
    mLastAttempt = now;
    // A lost connection marks the display broken instead of ending the process.
    mConnection = std::make_unique<X11Connection>(mDisplayName);
    mDisplay = mConnection->get();
    if (!mDisplay) {
        mConnection.reset();
        return nullptr;
    }
    int event = 0, error = 0, major = 0, minor = 0;
    mHasXTest = XTestQueryExtension(mDisplay, &event, &error, &major, &minor);
    mScreen = findMainScreen();
    // Monitors coming, going or moving are told on this connection, so the one input goes to is
    // asked for again only then.
    if (XRRQueryExtension(mDisplay, &event, &error)) {
        XRRSelectInput(mDisplay, RootWindow(mDisplay, mScreen),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    }
    XSelectInput(mDisplay, RootWindow(mDisplay, mScreen), StructureNotifyMask);
    mMonitor.reset();
    readKeymap();
    return mDisplay;
}

void X11Input::disconnect() {
    if (!mDisplay) {
        return;
    }
    if (!broken()) {
        restoreKeymap();
    }
    mDisplay = nullptr;
    mConnection.reset();
    mHasXTest = false;
    mSpares.clear();
    mLevelZero.clear();
    mLevelOne.clear();
}

void X11Input::readKeymap() {
    int minKeycode = 0, maxKeycode = 0, perKeycode = 0;
    XDisplayKeycodes(mDisplay, &minKeycode, &maxKeycode);
    int count = maxKeycode - minKeycode + 1;
    KeySym* map = XGetKeyboardMapping(mDisplay, static_cast<KeyCode>(minKeycode), count, &perKeycode);
    if (!map) {
        return;
    }
    bool firstRead = mSpares.empty() && mLevelZero.empty();
    mLevelZero.clear();
    mLevelOne.clear();
    for (int i = 0; i < count; ++i) {
        unsigned keycode = static_cast<unsigned>(minKeycode + i);
        const KeySym* row = map + static_cast<std::ptrdiff_t>(i) * perKeycode;
        bool borrowed =
            std::any_of(mSpares.begin(), mSpares.end(), [&](const Spare& s) { return s.keycode == keycode; });
        if (borrowed) {
            continue;
        }
        if (std::all_of(row, row + perKeycode, [](KeySym k) { return k == NoSymbol; })) {
            if (firstRead) {
                mSpares.push_back(Spare{keycode});
            }
        } else {
            if (row[0] != NoSymbol) {
                mLevelZero.emplace(row[0], keycode); // the first keycode wins, as in Xlib's lookup
            }
            if (perKeycode > 1 && row[1] != NoSymbol && row[1] != row[0]) {
                mLevelOne.emplace(row[1], keycode);
            }
        }
    }
    XFree(map);
    mKeymapReadAt = mLoop.now();
}

void X11Input::refreshKeymap() {
    // The layout may change under us (another keyboard, setxkbmap); Xlib's change notices do not
    // reach an XKB client, so the keymap is read again when it is older than this and nothing is
    // borrowed from it.
    if (!hasBorrowedKeys() && mLoop.now() - mKeymapReadAt >= keymapMaxAge) {
        readKeymap();
    }
}

void X11Input::drainEvents() {
    // Whatever the server sends this connection is read, so it never piles up; all of it (screen
    // and monitor changes) makes the monitor be asked for again.
    while (XPending(mDisplay) > 0) {
        XEvent event;
        XNextEvent(mDisplay, &event);
        mMonitor.reset();
    }
}

int X11Input::findMainScreen() {
    int event = 0, error = 0;
    if (XRRQueryExtension(mDisplay, &event, &error)) {
        for (int i = 0; i < ScreenCount(mDisplay); ++i) {
            if (XRRGetOutputPrimary(mDisplay, RootWindow(mDisplay, i)) != None) {
                return i;
            }
        }
    }
    return DefaultScreen(mDisplay);
}

bool X11Input::isTrusted() {
    return display() && mHasXTest;
}

std::optional<X11Monitor> X11Input::monitor() {
    auto* d = display();
    if (!d) {
        return std::nullopt;
    }
    drainEvents();
    auto wanted = mWantedMonitor ? mWantedMonitor() : "";
    if (mMonitor && wanted == mMonitorWanted) {
        return mMonitor;
    }
    mMonitorWanted = wanted;
    mMonitor = findMonitor(wanted);
    return mMonitor;
}

std::optional<X11Monitor> X11Input::findMonitor(const std::string& wanted) {
    auto* d = mDisplay;
    Window root = RootWindow(d, mScreen);
    auto monitors = x11Monitors(d, root);
    if (broken()) {
        return std::nullopt;
    }
    if (auto chosen = chooseMonitor(monitors, wanted)) {
        return chosen;
    }
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(d, root, &root, &x, &y, &width, &height, &border, &depth) || broken()) {
        return std::nullopt;
    }
    return X11Monitor{"", 0, 0, static_cast<int>(width), static_cast<int>(height), true};
}

std::optional<ScreenSize> X11Input::mainScreen() {
    auto area = monitor();
    if (!area) {
        return std::nullopt;
    }
    return ScreenSize{static_cast<double>(area->width), static_cast<double>(area->height)};
}

std::optional<ScreenPoint> X11Input::cursorLocation() {
    auto area = monitor();
    if (!area) {
        return std::nullopt;
    }
    Window root = 0, child = 0;
    int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
    unsigned mask = 0;
    if (!XQueryPointer(mDisplay, RootWindow(mDisplay, mScreen), &root, &child, &rootX, &rootY, &windowX,
                       &windowY, &mask) ||
        broken()) {
        return std::nullopt; // the pointer is on another X screen
    }
    return ScreenPoint{static_cast<double>(rootX - area->x), static_cast<double>(rootY - area->y)};
}

void X11Input::movePointer(ScreenPoint at) {
    auto area = monitor();
    auto x = pixel(at.x), y = pixel(at.y);
    if (!area || !isTrusted() || !x || !y) {
        return;
    }
    XTestFakeMotionEvent(mDisplay, mScreen, area->x + std::clamp(*x, 0, area->width - 1),
                         area->y + std::clamp(*y, 0, area->height - 1), CurrentTime);
    drainEvents();
}

void X11Input::postButton(MouseButton button, bool down, ScreenPoint at) {
    if (!isTrusted()) {
        return;
    }
    if (auto area = monitor(); area) {
        if (auto x = pixel(at.x), y = pixel(at.y); x && y) {
            XTestFakeMotionEvent(mDisplay, mScreen, area->x + std::clamp(*x, 0, area->width - 1),
                                 area->y + std::clamp(*y, 0, area->height - 1), CurrentTime);
        }
    }
    XTestFakeButtonEvent(mDisplay, button == MouseButton::Right ? Button3 : Button1, down, CurrentTime);
    drainEvents();
}

void X11Input::postWheel(int steps) {
    if (!isTrusted()) {
        return;
    }
    unsigned wheel = steps > 0 ? Button4 : Button5;
    for (int i = 0; i < std::abs(steps); ++i) {
        XTestFakeButtonEvent(mDisplay, wheel, True, CurrentTime);
        XTestFakeButtonEvent(mDisplay, wheel, False, CurrentTime);
    }
    drainEvents();
}

unsigned X11Input::keycodeFor(unsigned long keysym) {
    if (auto found = mLevelZero.find(keysym); found != mLevelZero.end()) {
        return found->second;
    }
    Spare* spare = borrowSpare(keysym);
    return spare ? spare->keycode : 0;
}

X11Input::Spare* X11Input::borrowSpare(unsigned long keysym) {
    if (mSpares.empty()) {
        return nullptr;
    }
    auto mapped =
        std::find_if(mSpares.begin(), mSpares.end(), [&](const Spare& s) { return s.keysym == keysym; });
    if (mapped != mSpares.end()) {
        return &*mapped;
    }
    auto oldest = std::min_element(mSpares.begin(), mSpares.end(), [](const Spare& a, const Spare& b) {
        return a.lastPressed < b.lastPressed;
    });
    auto now = Clock::now();
    auto wait = std::max(remapGuard - (now - oldest->lastPressed), remapPause - (now - mLastRemap));
    if (wait > Clock::duration::zero()) {
        XSync(mDisplay, False);
        std::this_thread::sleep_for(wait);
    }
    KeySym both[2] = {keysym, keysym}; // the same character with or without Shift
    XChangeKeyboardMapping(mDisplay, static_cast<int>(oldest->keycode), 2, both, 1);
    oldest->keysym = keysym;
    mLastRemap = Clock::now();
    return &*oldest;
}

void X11Input::tap(unsigned keycode, unsigned modifierKeycode) {
    if (modifierKeycode) {
        XTestFakeKeyEvent(mDisplay, modifierKeycode, True, CurrentTime);
    }
    XTestFakeKeyEvent(mDisplay, keycode, True, CurrentTime);
    XTestFakeKeyEvent(mDisplay, keycode, False, CurrentTime);
    if (modifierKeycode) {
        XTestFakeKeyEvent(mDisplay, modifierKeycode, False, CurrentTime);
    }
    for (auto& spare : mSpares) {
        if (spare.keycode == keycode) {
            spare.lastPressed = mLastRemap = Clock::now();
        }
    }
    drainEvents();
}

void X11Input::pressKey(NamedKey key, std::optional<KeyModifier> modifier) {
    if (!isTrusted()) {
        return;
    }
    refreshKeymap();
    unsigned modifierKeycode = 0;
    if (modifier) {
        auto found = mLevelZero.find(keysymFor(*modifier));
        if (found == mLevelZero.end()) {
            return; // without its modifier the shortcut would type a letter instead
        }
        modifierKeycode = found->second;
    }
    if (unsigned keycode = keycodeFor(keysymFor(key))) {
        tap(keycode, modifierKeycode);
    }
}

void X11Input::typeCodePoint(char32_t codePoint) {
    if (!isTrusted()) {
        return;
    }
    refreshKeymap();
    auto keysym = keysymForCodePoint(codePoint);
    // A character on a key's second level is typed with Shift, as a keyboard does.
    if (!mLevelZero.contains(keysym)) {
        auto shifted = mLevelOne.find(keysym);
        auto shift = mLevelZero.find(XK_Shift_L);
        if (shifted != mLevelOne.end() && shift != mLevelZero.end()) {
            tap(shifted->second, shift->second);
            return;
        }
    }
    if (unsigned keycode = keycodeFor(keysym)) {
        tap(keycode, 0);
    }
}

bool X11Input::hasBorrowedKeys() const {
    return std::any_of(mSpares.begin(), mSpares.end(), [](const Spare& s) { return s.keysym != 0; });
}

void X11Input::restoreKeymap() {
    if (!mDisplay || broken()) {
        return;
    }
    KeySym none[2] = {NoSymbol, NoSymbol};
    bool changed = false;
    for (auto& spare : mSpares) {
        if (spare.keysym) {
            XChangeKeyboardMapping(mDisplay, static_cast<int>(spare.keycode), 2, none, 1);
            spare.keysym = 0;
            changed = true;
        }
    }
    if (changed) {
        XSync(mDisplay, False);
        drainEvents();
    }
}

} // namespace pelorn
