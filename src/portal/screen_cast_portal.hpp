#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace pelorn {

// The desktop portal's screen cast (org.freedesktop.portal.ScreenCast): the way to the screen on
// Wayland desktops other than GNOME's. The desktop asks the owner at the screen which monitor to
// share; the restore token it gives back lets the next cast start without asking, until the owner
// revokes it. Calls block; one cast at a time; any thread.
class ScreenCastPortal {
public:
    struct Cast {
        std::uint32_t node = 0;   // the PipeWire node carrying the frames
        int fd = -1;              // the PipeWire connection the portal opened for it; the caller's to close
        std::string restoreToken; // for the next cast; empty when the desktop gave none
    };

    // An empty address means the session bus of the environment.
    explicit ScreenCastPortal(std::string busAddress = {});
    ~ScreenCastPortal();

    // Starts a cast of one monitor, the pointer drawn in. With an earlier cast's token the desktop
    // may start it without asking; else this waits up to `approval` for the owner's answer.
    std::variant<Cast, std::string> start(const std::string& restoreToken,
                                          std::chrono::milliseconds approval);
    // Ends the cast.
    void stop();

    ScreenCastPortal(const ScreenCastPortal&) = delete;
    ScreenCastPortal& operator=(const ScreenCastPortal&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace pelorn
