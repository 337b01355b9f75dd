#include "app/desktop_session.hpp"

#include "core/text.hpp"

#include <sstream>

namespace pelorn {

DesktopSession detectDesktopSession(const Environment& env) {
    auto value = [&](const char* name) { return env(name).value_or(""); };
    DesktopSession session;
    session.desktop = value("XDG_CURRENT_DESKTOP");
    auto type = lowercased(value("XDG_SESSION_TYPE"));
    bool wayland =
        type == "wayland" || (type.empty() && !value("WAYLAND_DISPLAY").empty() && value("DISPLAY").empty());
    if (!wayland) {
        return session;
    }
    session.kind = DesktopKind::OtherWayland;
    std::istringstream names(session.desktop);
    for (std::string name; std::getline(names, name, ':');) {
        if (lowercased(name) == "gnome") {
            session.kind = DesktopKind::GnomeWayland;
        }
    }
    return session;
}

std::string describe(const DesktopSession& session) {
    std::string desktop = session.desktop.empty() ? "an unnamed desktop" : session.desktop;
    switch (session.kind) {
    case DesktopKind::X11:
        return "X11 session - screen, input and privacy screen through the X server";
    case DesktopKind::GnomeWayland:
        return "GNOME on Wayland - screen and input through GNOME's remote-desktop session; the privacy "
               "screen only where GNOME can dim the displays";
    case DesktopKind::OtherWayland:
        break;
    }
    return "Wayland (" + desktop +
           ") - the screen through the desktop portal, which asks the owner at the screen once; input "
           "through it too, which asks the owner at the screen each time the host starts (XWayland windows "
           "only where the desktop offers no remote desktop); no privacy screen";
}

} // namespace pelorn
