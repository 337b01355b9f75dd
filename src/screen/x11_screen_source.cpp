#include "screen/x11_screen_source.hpp"

#include "core/log.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <libyuv/scale_argb.h>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace pelorn {

struct X11ScreenSource::Segment {
    XShmSegmentInfo info{};
};

X11ScreenSource::X11ScreenSource(std::string displayName, std::function<std::string()> wantedMonitor)
    : mDisplayName(std::move(displayName)), mWantedMonitor(std::move(wantedMonitor)) {
}

X11ScreenSource::~X11ScreenSource() {
    if (mConnection && !mConnection->broken()) {
        destroyImage();
        if (mDamage) {
            XDamageDestroy(mConnection->get(), mDamage);
        }
    }
}

std::variant<DisplayGeometry, CaptureFailure> X11ScreenSource::open() {
    mConnection = std::make_unique<X11Connection>(mDisplayName);
    Display* d = mConnection->get();
    if (!d) {
        return CaptureFailure{true, "cannot open the X display"};
    }
    int major = 0, minor = 0, damageError = 0, fixesError = 0;
    Bool pixmaps = False;
    if (!XShmQueryVersion(d, &major, &minor, &pixmaps)) {
        return CaptureFailure{false, "the X server has no MIT-SHM extension"};
    }
    if (!XDamageQueryExtension(d, &mDamageEvent, &damageError)) {
        return CaptureFailure{false, "the X server has no DAMAGE extension"};
    }
    if (!XFixesQueryExtension(d, &mFixesEvent, &fixesError)) {
        return CaptureFailure{false, "the X server has no XFIXES extension"};
    }
    mRoot = DefaultRootWindow(d);
    int randrError = 0;
    if (XRRQueryExtension(d, &mRandrEvent, &randrError)) {
        XRRSelectInput(d, mRoot,
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    } else {
        mRandrEvent = -1;
    }
    XSelectInput(d, mRoot, StructureNotifyMask);
    chooseArea();
    if (auto error = createImage()) {
        return CaptureFailure{false, *error};
    }
    // Each newly damaged rectangle is reported, and only the monitor's part is ever repaired: drawing
    // elsewhere wakes nobody once its area is damaged.
    mDamage = XDamageCreate(d, mRoot, XDamageReportDeltaRectangles);
    XFixesSelectCursorInput(d, mRoot, XFixesDisplayCursorNotifyMask);
    readPointerImage();
    mDamaged = true;
    return geometry();
}

bool X11ScreenSource::chooseArea() {
    Display* d = mConnection->get();
    auto wanted = mWantedMonitor ? mWantedMonitor() : "";
    bool newWish = wanted != mWanted;
    mWanted = wanted;
    auto monitors = x11Monitors(d, mRoot);
    auto chosen = chooseMonitor(monitors, mWanted);
    if (!chosen) {
        XWindowAttributes attributes;
        XGetWindowAttributes(d, mRoot, &attributes);
        chosen = X11Monitor{"", 0, 0, attributes.width, attributes.height, true};
    }
    // Said when the owner's monitor goes, or when the owner names one that is not there.
    if (!mWanted.empty() && chosen->name != mWanted && (newWish || chosen->name != mArea.name)) {
        Log::shared().info("⚠️ PELORN: no monitor \"" + mWanted + "\" - streaming " + chosen->name +
                           " instead");
    }
    if (*chosen == mArea) {
        return false;
    }
    if (monitors.size() > 1) {
        Log::shared().info("🖥️ PELORN: streaming monitor " + chosen->name + " (" +
                           std::to_string(chosen->width) + "x" + std::to_string(chosen->height) + " at " +
                           std::to_string(chosen->x) + "," + std::to_string(chosen->y) + ")");
    }
    mArea = *chosen;
    return true;
}

std::optional<std::string> X11ScreenSource::createImage() {
    Display* d = mConnection->get();
    int screen = DefaultScreen(d);
    Visual* visual = DefaultVisual(d, screen);
    int depth = DefaultDepth(d, screen);
    if ((depth != 24 && depth != 32) || visual->red_mask != 0xff0000 || visual->green_mask != 0xff00 ||
        visual->blue_mask != 0xff) {
        return "the display's pixel format is not 32-bit BGRA (depth " + std::to_string(depth) + ")";
    }
    mSegment = std::make_unique<Segment>();
    auto& info = mSegment->info;
    mImage = XShmCreateImage(d, visual, static_cast<unsigned>(depth), ZPixmap, nullptr, &info,
                             static_cast<unsigned>(mArea.width), static_cast<unsigned>(mArea.height));
    if (!mImage || mImage->bits_per_pixel != 32) {
        destroyImage();
        return std::string("XShmCreateImage failed");
    }
    info.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(mImage->bytes_per_line) * mArea.height,
                        IPC_CREAT | 0600);
    if (info.shmid < 0) {
        destroyImage();
        return std::string("shmget: ") + std::strerror(errno);
    }
    info.shmaddr = mImage->data = static_cast<char*>(shmat(info.shmid, nullptr, 0));
    if (info.shmaddr == reinterpret_cast<char*>(-1)) {
        info.shmaddr = mImage->data = nullptr;
        shmctl(info.shmid, IPC_RMID, nullptr);
        destroyImage();
        return std::string("shmat: ") + std::strerror(errno);
    }
    info.readOnly = False;
    X11ErrorTrap trap(d);
    XShmAttach(d, &info);
    // A server on another machine cannot attach our memory.
    int error = trap.sync();
    // Marked for removal once the server holds it: the segment goes away with the last process
    // using it, even when this one is killed. (The server cannot attach a removed segment.)
    shmctl(info.shmid, IPC_RMID, nullptr);
    if (error) {
        destroyImage();
        return "XShmAttach failed (X error " + std::to_string(error) + ")";
    }
    if (!XShmGetImage(d, mRoot, mImage, mArea.x, mArea.y, AllPlanes)) {
        destroyImage();
        return std::string("XShmGetImage failed");
    }
    return std::nullopt;
}

void X11ScreenSource::destroyImage() {
    Display* d = mConnection ? mConnection->get() : nullptr;
    if (mSegment && mSegment->info.shmaddr) {
        if (d && !mConnection->broken()) {
            XShmDetach(d, &mSegment->info);
            XSync(d, False);
        }
        shmdt(mSegment->info.shmaddr);
    }
    if (mImage) {
        mImage->data = nullptr; // the segment, not Xlib's to free
        XDestroyImage(mImage);
        mImage = nullptr;
    }
    mSegment.reset();
}

// Damage, cursor and configure events arrive on the connection.
int X11ScreenSource::changeNotifier() const {
    return mConnection && *mConnection ? ConnectionNumber(mConnection->get()) : -1;
}

bool X11ScreenSource::noticeWaiting() {
    return mConnection && *mConnection && XEventsQueued(mConnection->get(), QueuedAlready) > 0;
}

std::variant<bool, std::string> X11ScreenSource::poll() {
    Display* d = mConnection->get();
    if (!*mConnection) {
        return std::string("the X server connection was lost");
    }
    bool monitorsChanged = mWantedMonitor && mWantedMonitor() != mWanted;
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.type == mDamageEvent + XDamageNotify) {
            const auto& area = reinterpret_cast<const XDamageNotifyEvent&>(event).area;
            mDamaged = mDamaged || (area.x < mArea.x + mArea.width && area.x + area.width > mArea.x &&
                                    area.y < mArea.y + mArea.height && area.y + area.height > mArea.y);
        } else if (event.type == mFixesEvent + XFixesCursorNotify) {
            bool wasShown = pointerShown();
            readPointerImage();
            mPointerMoved = mPointerMoved || wasShown || pointerShown();
        } else if (event.type == ConfigureNotify && event.xconfigure.window == mRoot) {
            monitorsChanged = true;
        } else if (mRandrEvent >= 0 && (event.type == mRandrEvent + RRScreenChangeNotify ||
                                        event.type == mRandrEvent + RRNotify)) {
            XRRUpdateConfiguration(&event);
            monitorsChanged = true;
        }
    }
    if (monitorsChanged) {
        int width = mArea.width, height = mArea.height;
        if (chooseArea()) {
            if (mArea.width != width || mArea.height != height) {
                destroyImage();
                if (auto error = createImage()) {
                    return *error;
                }
            }
            // All of it is repaired now: what is drawn on the new area from here on is reported.
            XDamageSubtract(d, mDamage, None, None);
            mDamaged = true;
        }
    }
    Window rootReturn = 0, child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    if (XQueryPointer(d, mRoot, &rootReturn, &child, &x, &y, &wx, &wy, &mask) &&
        (x != mPointer.x || y != mPointer.y)) {
        // A pointer moving on another monitor changes nothing here, unless it just left this one.
        bool wasShown = pointerShown();
        mPointer.x = x;
        mPointer.y = y;
        mPointerMoved = mPointerMoved || wasShown || pointerShown();
    }
    if (!*mConnection) {
        return std::string("the X server connection was lost");
    }
    return mDamaged || mPointerMoved;
}

void X11ScreenSource::render(VideoFrame& frame) {
    Display* d = mConnection->get();
    if (mDamaged && *mConnection) {
        // Cleared before the grab: drawing that lands during the grab damages again. Only this
        // monitor is repaired, so damage elsewhere stays and is not reported again.
        XRectangle rectangle{static_cast<short>(mArea.x), static_cast<short>(mArea.y),
                             static_cast<unsigned short>(mArea.width),
                             static_cast<unsigned short>(mArea.height)};
        XserverRegion repair = XFixesCreateRegion(d, &rectangle, 1);
        XDamageSubtract(d, mDamage, repair, None);
        XFixesDestroyRegion(d, repair);
        XShmGetImage(d, mRoot, mImage, mArea.x, mArea.y, AllPlanes);
        mDamaged = false;
    }
    mPointerMoved = false;
    auto* source = reinterpret_cast<const std::uint8_t*>(mImage->data);
    if (frame.width == mArea.width && frame.height == mArea.height) {
        for (int y = 0; y < mArea.height; ++y) {
            std::memcpy(frame.row(y), source + static_cast<std::ptrdiff_t>(y) * mImage->bytes_per_line,
                        static_cast<std::size_t>(frame.width) * 4);
        }
    } else {
        libyuv::ARGBScale(source, mImage->bytes_per_line, mArea.width, mArea.height, frame.pixels.data(),
                          frame.stride, frame.width, frame.height, libyuv::kFilterBilinear);
    }
    drawPointer(frame);
}

void X11ScreenSource::readPointerImage() {
    XFixesCursorImage* image = XFixesGetCursorImage(mConnection->get());
    if (!image) {
        mPointer.width = mPointer.height = 0;
        return;
    }
    mPointer.x = image->x;
    mPointer.y = image->y;
    mPointer.hotX = image->xhot;
    mPointer.hotY = image->yhot;
    mPointer.width = image->width;
    mPointer.height = image->height;
    // Xlib hands each 32-bit pixel over in an unsigned long.
    mPointer.argb.assign(image->pixels,
                         image->pixels + static_cast<std::size_t>(image->width) * image->height);
    XFree(image);
}

void X11ScreenSource::drawPointer(VideoFrame& frame) const {
    if (!pointerShown() || mArea.width == 0 || mArea.height == 0) {
        return;
    }
    // The pointer keeps its size on a scaled frame; only its place scales.
    double sx = static_cast<double>(frame.width) / mArea.width,
           sy = static_cast<double>(frame.height) / mArea.height;
    int left = static_cast<int>(std::lround((mPointer.x - mArea.x) * sx)) - mPointer.hotX;
    int top = static_cast<int>(std::lround((mPointer.y - mArea.y) * sy)) - mPointer.hotY;
    for (int row = std::max(0, -top); row < mPointer.height && top + row < frame.height; ++row) {
        std::uint8_t* out = frame.row(top + row);
        for (int col = std::max(0, -left); col < mPointer.width && left + col < frame.width; ++col) {
            std::uint32_t p = mPointer.argb[static_cast<std::size_t>(row) * mPointer.width + col];
            std::uint32_t alpha = p >> 24;
            if (alpha == 0) {
                continue;
            }
            std::uint8_t* px = out + static_cast<std::ptrdiff_t>(left + col) * 4;
            std::uint32_t keep = 255 - alpha;
            px[0] = static_cast<std::uint8_t>((p & 0xff) + (px[0] * keep + 127) / 255);
            px[1] = static_cast<std::uint8_t>(((p >> 8) & 0xff) + (px[1] * keep + 127) / 255);
            px[2] = static_cast<std::uint8_t>(((p >> 16) & 0xff) + (px[2] * keep + 127) / 255);
        }
    }
}

} // namespace pelorn
