#pragma once

#include <atomic>
#include <string>

struct _XDisplay;

namespace pelorn {

// Xlib's default handlers end the process when a request fails or the server goes away; the
// host outlives a display. Replaces them once per process (and turns on Xlib's thread support);
// every X connection the host opens goes through here first.
void installX11ErrorHandlers();

// One connection to an X server that notices when the server goes away instead of ending the
// process. An empty name means $DISPLAY.
class X11Connection {
public:
    explicit X11Connection(const std::string& name = {});
    ~X11Connection();

    _XDisplay* get() const { return mDisplay; }
    explicit operator bool() const { return mDisplay != nullptr && !mBroken; }
    // The server went away (Xlib's I/O error); the connection is of no more use.
    bool broken() const { return mBroken; }

    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

private:
    _XDisplay* mDisplay = nullptr;
    std::atomic<bool> mBroken{false};
};

} // namespace pelorn

namespace pelorn {

// Catches the X errors of one display for a while, since the installed handler only ignores
// them: requests made while it lives and then synced report their first error code. One trap at
// a time in the process.
class X11ErrorTrap {
public:
    explicit X11ErrorTrap(_XDisplay* display);
    ~X11ErrorTrap();
    // Waits for every request made so far; the first error code caught (0: none).
    int sync();

    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

private:
    _XDisplay* mDisplay;
};

} // namespace pelorn
