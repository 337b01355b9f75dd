// Which adapters the host takes: the desktop session as its environment describes it.
#include "app/desktop_session.hpp"

#include <gtest/gtest.h>
#include <map>

using namespace pelorn;

TEST(DesktopSession, TheEnvironmentSaysWhichKindOfSessionItIs) {
    struct Case {
        std::map<std::string, std::string> env;
        DesktopKind kind;
    };
    const Case cases[] = {
        {{{"DISPLAY", ":0"}}, DesktopKind::X11},
        {{{"XDG_SESSION_TYPE", "x11"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}},
         DesktopKind::X11},
        {{{"XDG_SESSION_TYPE", "wayland"}, {"XDG_CURRENT_DESKTOP", "GNOME"}}, DesktopKind::GnomeWayland},
        // Ubuntu's and Pop's sessions name themselves first.
        {{{"XDG_SESSION_TYPE", "wayland"}, {"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}},
         DesktopKind::GnomeWayland},
        {{{"XDG_SESSION_TYPE", "Wayland"}, {"XDG_CURRENT_DESKTOP", "gnome-classic:GNOME"}},
         DesktopKind::GnomeWayland},
        {{{"XDG_SESSION_TYPE", "wayland"}, {"XDG_CURRENT_DESKTOP", "KDE"}}, DesktopKind::OtherWayland},
        {{{"XDG_SESSION_TYPE", "wayland"}, {"XDG_CURRENT_DESKTOP", "GNOMEish"}}, DesktopKind::OtherWayland},
        // No session type (a shell started by hand): a Wayland display without an X one.
        {{{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_CURRENT_DESKTOP", "GNOME"}}, DesktopKind::GnomeWayland},
        {{{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}, DesktopKind::X11},
        {{{"XDG_SESSION_TYPE", "tty"}}, DesktopKind::X11},
    };
    for (const auto& c : cases) {
        auto session = detectDesktopSession([&](const char* name) -> std::optional<std::string> {
            auto found = c.env.find(name);
            return found == c.env.end() ? std::nullopt : std::optional(found->second);
        });
        EXPECT_EQ(session.kind, c.kind) << ::testing::PrintToString(c.env);
    }
    EXPECT_EQ(
        describe({DesktopKind::OtherWayland, "sway"}).rfind("Wayland (sway) - the screen through the", 0),
        0u);
}
