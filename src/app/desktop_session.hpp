#pragma once

#include "cloud/cloud_config.hpp"

#include <string>

namespace pelorn {

// The kind of desktop session the host runs in, which decides the screen, input and privacy
// adapters.
enum class DesktopKind {
    X11,          // an X server: capture, input and gamma through it
    GnomeWayland, // GNOME on Wayland: mutter's remote-desktop session and screen cast
    OtherWayland, // another Wayland compositor: the portal's screen cast, XWayland's input
};

struct DesktopSession {
    DesktopKind kind = DesktopKind::X11;
    std::string desktop; // XDG_CURRENT_DESKTOP as found ("" when unset)
};

// From the session's environment: XDG_SESSION_TYPE, else WAYLAND_DISPLAY without DISPLAY, says
// Wayland; XDG_CURRENT_DESKTOP (a colon-separated list) says whether it is GNOME's.
DesktopSession detectDesktopSession(const Environment& env);

// What works on it, for the log and `pelornctl status`: one line.
std::string describe(const DesktopSession& session);

} // namespace pelorn
