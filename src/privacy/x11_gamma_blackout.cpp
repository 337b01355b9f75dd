#include "privacy/x11_gamma_blackout.hpp"

#include "core/log.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/randrproto.h>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace pelorn {

namespace {

// What the fatal-signal handler writes, and where. A replaced request buffer is kept for one
// more generation, so a handler that has just read the old pointer still finds it.
std::atomic<int> emergencyFd{-1};
std::atomic<const std::string*> emergencyBytes{nullptr};
std::mutex retiredMutex;
std::vector<std::unique_ptr<std::string>> retired;

void putUint16(std::string& out, std::uint16_t v) {
    out.append(reinterpret_cast<const char*>(&v), 2); // the connection's byte order is ours
}

void putUint32(std::string& out, std::uint32_t v) {
    out.append(reinterpret_cast<const char*>(&v), 4);
}

} // namespace

X11GammaBlackout::X11GammaBlackout(std::string displayName) : mDisplayName(std::move(displayName)) {
}

X11GammaBlackout::~X11GammaBlackout() {
    restore();
    stopWatching();
}

bool X11GammaBlackout::connect() {
    if (mConnection && *mConnection && mEmergency && *mEmergency) {
        return true;
    }
    mSaved.clear(); // ramps of a server that went away mean nothing to the next one
    mConnection = std::make_unique<X11Connection>(mDisplayName);
    mEmergency = std::make_unique<X11Connection>(mDisplayName);
    if (!*mConnection || !*mEmergency) {
        return false;
    }
    int event = 0, error = 0;
    if (!XQueryExtension(mConnection->get(), RANDR_NAME, &mRandrOpcode, &event, &error)) {
        return false;
    }
    XSync(mEmergency->get(), False);
    return true;
}

bool X11GammaBlackout::blackOut() {
    if (!connect()) {
        return false;
    }
    Display* d = mConnection->get();
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d));
    if (!resources) {
        return false;
    }
    std::size_t blacked = 0;
    for (int i = 0; i < resources->ncrtc && blacked < maxDisplays; ++i) {
        RRCrtc crtc = resources->crtcs[i];
        XRRCrtcInfo* info = XRRGetCrtcInfo(d, resources, crtc);
        bool lit = info && info->mode != None && info->noutput > 0;
        if (info) {
            XRRFreeCrtcInfo(info);
        }
        int size = lit ? XRRGetCrtcGammaSize(d, crtc) : 0;
        if (size <= 0) {
            continue;
        }
        if (!mSaved.count(crtc)) {
            XRRCrtcGamma* gamma = XRRGetCrtcGamma(d, crtc);
            if (!gamma) {
                continue;
            }
            Ramps ramps{gamma->size,
                        {gamma->red, gamma->red + gamma->size},
                        {gamma->green, gamma->green + gamma->size},
                        {gamma->blue, gamma->blue + gamma->size}};
            XRRFreeGamma(gamma);
            mSaved.emplace(crtc, std::move(ramps));
        }
        XRRCrtcGamma* black = XRRAllocGamma(size); // not cleared by Xlib
        std::fill_n(black->red, size, 0);
        std::fill_n(black->green, size, 0);
        std::fill_n(black->blue, size, 0);
        XRRSetCrtcGamma(d, crtc, black);
        XRRFreeGamma(black);
        ++blacked;
    }
    XRRFreeScreenResources(resources);
    XSync(d, False);
    publishEmergencyRequests();
    startWatching();
    return true;
}

void X11GammaBlackout::restore() {
    emergencyBytes = nullptr;
    emergencyFd = -1;
    if (mConnection && *mConnection) {
        Display* d = mConnection->get();
        for (auto& [crtc, ramps] : mSaved) {
            XRRCrtcGamma* gamma = XRRAllocGamma(ramps.size);
            std::copy(ramps.red.begin(), ramps.red.end(), gamma->red);
            std::copy(ramps.green.begin(), ramps.green.end(), gamma->green);
            std::copy(ramps.blue.begin(), ramps.blue.end(), gamma->blue);
            XRRSetCrtcGamma(d, crtc, gamma);
            XRRFreeGamma(gamma);
        }
        XSync(d, False);
    }
    mSaved.clear();
    stopWatching();
}

void X11GammaBlackout::publishEmergencyRequests() {
    // RRSetCrtcGamma as it goes on the wire: opcode, minor 24, length in 4-byte units, CRTC,
    // ramp size, pad, then the red, green and blue ramps padded to 4 bytes.
    auto bytes = std::make_unique<std::string>();
    for (const auto& [crtc, ramps] : mSaved) {
        std::size_t body = 12 + 6 * static_cast<std::size_t>(ramps.size);
        std::size_t padded = (body + 3) & ~std::size_t{3};
        if (padded / 4 > 0xffff) {
            continue; // would need BIG-REQUESTS; no real ramp is that long
        }
        bytes->push_back(static_cast<char>(mRandrOpcode));
        bytes->push_back(static_cast<char>(X_RRSetCrtcGamma));
        putUint16(*bytes, static_cast<std::uint16_t>(padded / 4));
        putUint32(*bytes, static_cast<std::uint32_t>(crtc));
        putUint16(*bytes, static_cast<std::uint16_t>(ramps.size));
        putUint16(*bytes, 0);
        for (const auto* ramp : {&ramps.red, &ramps.green, &ramps.blue}) {
            for (auto v : *ramp) {
                putUint16(*bytes, v);
            }
        }
        bytes->append(padded - body, '\0');
    }
    std::lock_guard lock(retiredMutex);
    emergencyFd = ConnectionNumber(mEmergency->get());
    emergencyBytes = bytes.get();
    retired.push_back(std::move(bytes));
    if (retired.size() > 2) {
        retired.erase(retired.begin());
    }
}

void X11GammaBlackout::emergencyRestore() {
    int fd = emergencyFd.load();
    const std::string* bytes = emergencyBytes.load();
    if (fd < 0 || !bytes) {
        return;
    }
    std::size_t done = 0;
    while (done < bytes->size()) {
        ssize_t n = ::write(fd, bytes->data() + done, bytes->size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void X11GammaBlackout::startWatching() {
    if (mWatcher.joinable()) {
        return;
    }
    mWakeFd = eventfd(0, EFD_CLOEXEC);
    mWatcher = std::thread([this, name = mDisplayName, wake = mWakeFd] {
        X11Connection connection(name);
        if (!connection) {
            return;
        }
        Display* d = connection.get();
        int event = 0, error = 0;
        if (!XRRQueryExtension(d, &event, &error)) {
            return;
        }
        XRRSelectInput(d, DefaultRootWindow(d),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        XSync(d, False);
        for (;;) {
            pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wake, POLLIN, 0}};
            if (XPending(d) == 0 && ::poll(fds, 2, -1) < 0) {
                continue;
            }
            if (fds[1].revents & POLLIN || !connection) {
                return;
            }
            bool changed = false;
            while (XPending(d) > 0) {
                XEvent e;
                XNextEvent(d, &e);
                changed = changed || e.type == event + RRScreenChangeNotify || e.type == event + RRNotify;
            }
            if (!connection) {
                return;
            }
            if (changed && mOnChange) {
                mOnChange();
            }
        }
    });
}

void X11GammaBlackout::stopWatching() {
    if (!mWatcher.joinable()) {
        return;
    }
    std::uint64_t one = 1;
    (void)!::write(mWakeFd, &one, sizeof one);
    mWatcher.join();
    ::close(mWakeFd);
    mWakeFd = -1;
}

namespace {

void restoreAndReraise(int signal) {
    X11GammaBlackout::emergencyRestore();
    // SA_RESETHAND put the default action back; raising again ends the process as it would have.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void installFatalSignalRestore() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = restoreAndReraise;
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGQUIT, SIGTRAP, SIGSYS, SIGXCPU,
                           SIGXFSZ, SIGUSR1, SIGALRM, SIGVTALRM, SIGPROF, SIGPOLL, SIGSTKFLT, SIGPWR}) {
            sigaction(signal, &action, nullptr);
        }
    });
}

} // namespace pelorn
