#include "x11/x11_monitors.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <algorithm>

namespace pelorn {

std::vector<X11Monitor> x11Monitors(_XDisplay* display, unsigned long root) {
    std::vector<X11Monitor> monitors;
    int event = 0, error = 0, major = 0, minor = 0;
    if (!display || !XRRQueryExtension(display, &event, &error) ||
        !XRRQueryVersion(display, &major, &minor) || major * 100 + minor < 105) {
        return monitors;
    }
    int count = 0;
    XRRMonitorInfo* list = XRRGetMonitors(display, root ? root : DefaultRootWindow(display), True, &count);
    // Every name in one round trip.
    std::vector<Atom> atoms;
    for (int i = 0; list && i < count; ++i) {
        atoms.push_back(list[i].name);
    }
    std::vector<char*> names(atoms.size(), nullptr); // a name the server does not know stays null
    if (!atoms.empty()) {
        XGetAtomNames(display, atoms.data(), static_cast<int>(atoms.size()), names.data());
    }
    for (int i = 0; list && i < count; ++i) {
        X11Monitor monitor;
        if (names[static_cast<std::size_t>(i)]) {
            monitor.name = names[static_cast<std::size_t>(i)];
            XFree(names[static_cast<std::size_t>(i)]);
        }
        monitor.x = list[i].x;
        monitor.y = list[i].y;
        monitor.width = list[i].width;
        monitor.height = list[i].height;
        monitor.primary = list[i].primary != 0;
        if (monitor.width > 0 && monitor.height > 0) {
            monitors.push_back(std::move(monitor));
        }
    }
    if (list) {
        XRRFreeMonitors(list);
    }
    return monitors;
}

std::optional<X11Monitor> chooseMonitor(const std::vector<X11Monitor>& monitors, const std::string& wanted) {
    auto named =
        std::find_if(monitors.begin(), monitors.end(), [&](const X11Monitor& m) { return m.name == wanted; });
    if (!wanted.empty() && named != monitors.end()) {
        return *named;
    }
    auto primary =
        std::find_if(monitors.begin(), monitors.end(), [](const X11Monitor& m) { return m.primary; });
    if (primary != monitors.end()) {
        return *primary;
    }
    if (monitors.empty()) {
        return std::nullopt;
    }
    return monitors.front();
}

} // namespace pelorn
