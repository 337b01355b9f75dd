#pragma once

// A private X server and session bus for one test process, and an X client that records the
// input it receives the way an application would see it.

// GoogleTest first: Xlib defines None, which GoogleTest uses as a name.
// clang-format off
#include <gmock/gmock.h>
#include <gtest/gtest.h>
// clang-format on

#include "support/private_servers.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pelorn::test {

// Xvfb starts with all-zero ramps; a real display has a curve, so the tests give it one.
inline void setLinearGamma() {
    Display* d = XOpenDisplay(nullptr);
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    for (int i = 0; res && i < res->ncrtc; ++i) {
        int size = XRRGetCrtcGammaSize(d, res->crtcs[i]);
        XRRCrtcGamma* g = XRRAllocGamma(size);
        for (int k = 0; k < size; ++k) {
            g->red[k] = g->green[k] = g->blue[k] =
                static_cast<unsigned short>(k * 65535 / std::max(1, size - 1));
        }
        g->blue[0] = 77; // the channels differ, so a mix-up shows
        XRRSetCrtcGamma(d, res->crtcs[i], g);
        XRRFreeGamma(g);
    }
    if (res) {
        XRRFreeScreenResources(res);
    }
    XSync(d, False);
    XCloseDisplay(d);
}

// Keycodes holding a Unicode keysym, which only the host's typing maps; read from the server.
inline int borrowedKeycodes() {
    Display* d = XOpenDisplay(nullptr);
    int min = 0, max = 0, per = 0, borrowed = 0;
    XDisplayKeycodes(d, &min, &max);
    KeySym* map = XGetKeyboardMapping(d, static_cast<KeyCode>(min), max - min + 1, &per);
    for (int k = 0; k <= max - min; ++k) {
        borrowed += (map[k * per] & 0xff000000UL) == 0x01000000UL;
    }
    XFree(map);
    XCloseDisplay(d);
    return borrowed;
}

struct SeenEvent {
    enum Kind { Motion, ButtonDown, ButtonUp, KeyDown, KeyUp } kind = Motion;
    int x = 0, y = 0;
    unsigned button = 0;
    std::string keysym;                           // its name
    std::string text;                             // what the input method made of a key press
    unsigned state = 0;                           // modifier mask at the time
    unsigned long time = 0;                       // the server's, in milliseconds
    std::chrono::steady_clock::time_point seenAt; // when the recorder read it
};

// A window covering the screen with the input focus, recording what reaches it, on its own
// thread and connection.
class XEventRecorder {
public:
    XEventRecorder() {
        std::setlocale(LC_ALL, "C.UTF-8");
        XSetLocaleModifiers("@im=none");
        mDisplay = XOpenDisplay(nullptr);
        if (!mDisplay) {
            ADD_FAILURE() << "no display";
            return;
        }
        int screen = DefaultScreen(mDisplay);
        mWindow =
            XCreateSimpleWindow(mDisplay, RootWindow(mDisplay, screen), 0, 0, DisplayWidth(mDisplay, screen),
                                DisplayHeight(mDisplay, screen), 0, 0, 0);
        XSelectInput(mDisplay, mWindow,
                     KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                         StructureNotifyMask);
        XMapWindow(mDisplay, mWindow);
        mIm = XOpenIM(mDisplay, nullptr, nullptr, nullptr);
        mIc = mIm ? XCreateIC(mIm, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow,
                              mWindow, XNFocusWindow, mWindow, nullptr)
                  : nullptr;
        EXPECT_TRUE(mIc) << "no input context";
        for (;;) { // focus can be set once the window is viewable
            XEvent e;
            XNextEvent(mDisplay, &e);
            if (e.type == MapNotify) {
                break;
            }
        }
        XSetInputFocus(mDisplay, mWindow, RevertToParent, CurrentTime);
        XSync(mDisplay, False);
        mStop = ::eventfd(0, EFD_CLOEXEC);
        mThread = std::thread([this] { run(); });
    }
    ~XEventRecorder() {
        if (!mDisplay) {
            return;
        }
        std::uint64_t one = 1;
        (void)!::write(mStop, &one, sizeof one);
        mThread.join();
        ::close(mStop);
        if (mIc) {
            XDestroyIC(mIc);
        }
        if (mIm) {
            XCloseIM(mIm);
        }
        XCloseDisplay(mDisplay);
    }

    std::vector<SeenEvent> events() {
        std::lock_guard lock(mMutex);
        return mEvents;
    }
    void clear() {
        std::lock_guard lock(mMutex);
        mEvents.clear();
    }
    // Waits (at most a few seconds, for a failing test) until `done` holds for what was seen.
    bool waitFor(const std::function<bool(const std::vector<SeenEvent>&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        std::unique_lock lock(mMutex);
        return mChanged.wait_for(lock, limit, [&] { return done(mEvents); });
    }
    std::vector<SeenEvent> waitForCount(SeenEvent::Kind kind, std::size_t count) {
        waitFor([&](const auto& seen) { return countOf(seen, kind) >= count; });
        return events();
    }
    // What was seen once everything sent before has arrived. `rightClickAtOrigin` must send, on the
    // same connection as the input under test, a right click at the top-left pixel: a sync point no
    // test input uses. Its events are left out.
    std::vector<SeenEvent> settled(const std::function<void()>& rightClickAtOrigin) {
        auto isMarker = [](const SeenEvent& e) {
            return e.x == 0 && e.y == 0 && (e.kind == SeenEvent::Motion || e.button == 3);
        };
        auto markers = [&](const std::vector<SeenEvent>& seen) {
            return std::count_if(seen.begin(), seen.end(),
                                 [&](auto& e) { return e.kind == SeenEvent::ButtonUp && isMarker(e); });
        };
        auto before = markers(events());
        rightClickAtOrigin();
        EXPECT_TRUE(waitFor([&](const auto& seen) { return markers(seen) > before; }));
        auto seen = events();
        std::erase_if(seen, isMarker);
        return seen;
    }
    static std::size_t countOf(const std::vector<SeenEvent>& seen, SeenEvent::Kind kind) {
        return static_cast<std::size_t>(
            std::count_if(seen.begin(), seen.end(), [&](auto& e) { return e.kind == kind; }));
    }
    // The text the key presses produced, in order.
    static std::string typed(const std::vector<SeenEvent>& seen) {
        std::string out;
        for (const auto& e : seen) {
            out += e.text;
        }
        return out;
    }
    // Key events as "+name" (down) and "-name" (up).
    static std::vector<std::string> keys(const std::vector<SeenEvent>& seen) {
        std::vector<std::string> out;
        for (const auto& e : seen) {
            if (e.kind == SeenEvent::KeyDown || e.kind == SeenEvent::KeyUp) {
                out.push_back((e.kind == SeenEvent::KeyDown ? "+" : "-") + e.keysym);
            }
        }
        return out;
    }

private:
    void run() {
        pollfd fds[2] = {{ConnectionNumber(mDisplay), POLLIN, 0}, {mStop, POLLIN, 0}};
        for (;;) {
            while (XPending(mDisplay) > 0) {
                XEvent e;
                XNextEvent(mDisplay, &e);
                record(e);
            }
            if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) {
                return;
            }
        }
    }
    void record(XEvent& e) {
        SeenEvent seen{};
        switch (e.type) {
        case MappingNotify:
            XRefreshKeyboardMapping(&e.xmapping);
            return;
        case MotionNotify:
            seen.kind = SeenEvent::Motion;
            seen.x = e.xmotion.x;
            seen.y = e.xmotion.y;
            seen.state = e.xmotion.state;
            seen.time = e.xmotion.time;
            break;
        case ButtonPress:
        case ButtonRelease:
            seen.kind = e.type == ButtonPress ? SeenEvent::ButtonDown : SeenEvent::ButtonUp;
            seen.x = e.xbutton.x;
            seen.y = e.xbutton.y;
            seen.button = e.xbutton.button;
            seen.state = e.xbutton.state;
            seen.time = e.xbutton.time;
            break;
        case KeyPress:
        case KeyRelease: {
            char buffer[64] = {};
            KeySym keysym = 0;
            Status status = 0;
            int n = e.type == KeyPress && mIc
                        ? Xutf8LookupString(mIc, &e.xkey, buffer, sizeof buffer - 1, &keysym, &status)
                        : XLookupString(&e.xkey, buffer, sizeof buffer - 1, &keysym, nullptr);
            seen.kind = e.type == KeyPress ? SeenEvent::KeyDown : SeenEvent::KeyUp;
            const char* name = XKeysymToString(keysym);
            seen.keysym = name ? name : std::to_string(keysym);
            // Control characters are keys, not text.
            if (e.type == KeyPress && n > 0 && static_cast<unsigned char>(buffer[0]) >= 0x20 &&
                buffer[0] != 0x7f) {
                seen.text.assign(buffer, static_cast<std::size_t>(n));
            }
            seen.state = e.xkey.state;
            seen.time = e.xkey.time;
            break;
        }
        default:
            return;
        }
        seen.seenAt = std::chrono::steady_clock::now();
        std::lock_guard lock(mMutex);
        mEvents.push_back(seen);
        mChanged.notify_all();
    }

    Display* mDisplay = nullptr;
    Window mWindow = 0;
    XIM mIm = nullptr;
    XIC mIc = nullptr;
    int mStop = -1;
    std::thread mThread;
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<SeenEvent> mEvents;
};

} // namespace pelorn::test
