#include "x11/x11_display.hpp"

#include "core/log.hpp"

#include <X11/Xlib.h>
#include <mutex>

namespace pelorn {

namespace {

std::mutex trapMutex;
std::atomic<Display*> trappedDisplay{nullptr};
std::atomic<int> trappedError{0};

int ignoreXError(Display* display, XErrorEvent* error) {
    if (display == trappedDisplay.load()) {
        int none = 0;
        trappedError.compare_exchange_strong(none, error->error_code);
    }
    Log::shared().debug("x11", "X error " + std::to_string(error->error_code) + " on request " +
                                   std::to_string(error->request_code));
    return 0;
}

int quietIoError(Display*) {
    return 0;
}

} // namespace

void installX11ErrorHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XInitThreads();
        XSetErrorHandler(ignoreXError);
        XSetIOErrorHandler(quietIoError);
    });
}

X11Connection::X11Connection(const std::string& name) {
    installX11ErrorHandlers();
    mDisplay = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (mDisplay) {
        XSetIOErrorExitHandler(
            mDisplay, [](Display*, void* self) { static_cast<X11Connection*>(self)->mBroken = true; }, this);
    }
}

X11Connection::~X11Connection() {
    if (mDisplay) {
        XCloseDisplay(mDisplay);
    }
}

X11ErrorTrap::X11ErrorTrap(Display* display) : mDisplay(display) {
    installX11ErrorHandlers();
    trapMutex.lock();
    XSync(display, False); // earlier requests' errors are not this trap's
    trappedError = 0;
    trappedDisplay = display;
}

X11ErrorTrap::~X11ErrorTrap() {
    XSync(mDisplay, False);
    trappedDisplay = nullptr;
    trapMutex.unlock();
}

int X11ErrorTrap::sync() {
    XSync(mDisplay, False);
    return trappedError.load();
}

} // namespace pelorn
