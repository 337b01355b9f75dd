#pragma once

#include "core/host_loop.hpp"
#include "input/input_device.hpp"
#include "x11/x11_display.hpp"
#include "x11/x11_monitors.hpp"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct _XDisplay;

namespace pelorn {

// Genuine input on an X display through the XTEST extension. Characters the keymap has no key
// for are typed by mapping their keysym onto a spare (unmapped) keycode for a moment; the owner
// puts the spare keycodes back with restoreKeymap() once typing stops, and this object does when
// it goes away. The pointer moves on one monitor, the one the screen stream shows: positions are
// in its pixels. One thread at a time; a call may wait a few milliseconds while typing.
class X11Input final : public InputDevice {
public:
    // An empty display name means $DISPLAY; `wantedMonitor` names the monitor chosen by the owner
    // (none: the primary).
    explicit X11Input(HostLoop& loop, std::string displayName = {},
                      std::function<std::string()> wantedMonitor = {});
    ~X11Input() override;

    bool isTrusted() override;
    std::optional<ScreenSize> mainScreen() override;
    std::optional<ScreenPoint> cursorLocation() override;
    void movePointer(ScreenPoint at) override;
    void postButton(MouseButton button, bool down, ScreenPoint at) override;
    void postWheel(int steps) override;
    void pressKey(NamedKey key, std::optional<KeyModifier> modifier) override;
    void typeCodePoint(char32_t codePoint) override;

    void restoreKeymap() override;
    // Spare keycodes found on the display (0 without one).
    std::size_t spareKeycodeCount() { return display() ? mSpares.size() : 0; }

    X11Input(const X11Input&) = delete;
    X11Input& operator=(const X11Input&) = delete;

private:
    using Clock = std::chrono::steady_clock;
    struct Spare {
        unsigned keycode = 0;
        unsigned long keysym = 0; // 0: unmapped
        Clock::time_point lastPressed{};
    };

    _XDisplay* display();
    // The server went away; the connection is reopened on the next use.
    bool broken() const { return mConnection && mConnection->broken(); }
    void disconnect();
    void readKeymap();
    void refreshKeymap();
    void drainEvents();
    // The X screen holding the primary output; asked once per connection.
    int findMainScreen();
    // The monitor input goes to (the whole root when the server lists none): asked of the server
    // again when it told of a change, or when the owner chose another.
    std::optional<X11Monitor> monitor();
    std::optional<X11Monitor> findMonitor(const std::string& wanted);
    unsigned keycodeFor(unsigned long keysym);
    Spare* borrowSpare(unsigned long keysym);
    void tap(unsigned keycode, unsigned modifierKeycode);
    bool hasBorrowedKeys() const;

    HostLoop& mLoop;
    std::string mDisplayName;
    std::function<std::string()> mWantedMonitor;
    std::optional<X11Monitor> mMonitor; // as last asked, for mMonitorWanted
    std::string mMonitorWanted;
    std::unique_ptr<X11Connection> mConnection;
    _XDisplay* mDisplay = nullptr; // mConnection's, while it is open
    bool mHasXTest = false;
    int mScreen = 0;
    std::optional<HostLoop::TimePoint> mLastAttempt;
    std::map<unsigned long, unsigned> mLevelZero; // keysym → keycode giving it unshifted
    std::map<unsigned long, unsigned> mLevelOne;  // keysym → keycode giving it with Shift
    std::vector<Spare> mSpares;
    Clock::time_point mLastRemap{};
    HostLoop::TimePoint mKeymapReadAt{};
};

} // namespace pelorn
