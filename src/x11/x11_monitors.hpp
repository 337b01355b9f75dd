#pragma once

#include <optional>
#include <string>
#include <vector>

struct _XDisplay;

namespace pelorn {

// A monitor of an X display as RandR 1.5 lists it: its name (the output's, or one set with
// `xrandr --setmonitor`) and its rectangle of the root window.
struct X11Monitor {
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;
    bool primary = false;
    bool operator==(const X11Monitor&) const = default;
    bool contains(int px, int py) const { return px >= x && px < x + width && py >= y && py < y + height; }
};

// The active monitors of a root window (0: the default screen's), in the server's order; empty
// when the server has no RandR 1.5.
std::vector<X11Monitor> x11Monitors(_XDisplay* display, unsigned long root = 0);

// The monitor the host streams and drives: the one named `wanted` when it is there, else the
// primary, else the first; none on a display without monitors.
std::optional<X11Monitor> chooseMonitor(const std::vector<X11Monitor>& monitors, const std::string& wanted);

} // namespace pelorn
