#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace pelorn {

// The desktop portal's remote desktop (org.freedesktop.portal.RemoteDesktop): input on Wayland
// desktops other than GNOME's. Starting a session asks the owner at the screen to allow remote
// interaction with one monitor (the portal remembers no such approval), and the session's virtual
// pointer and keyboard then post input onto that monitor until the desktop or `stop` ends it.
// Calls block; any thread; input calls do not wait for a start in progress.
class RemoteDesktopPortal {
public:
    // The monitor the owner allowed input on, in its own pixels.
    struct Grant {
        std::uint32_t stream = 0;
        int width = 0, height = 0;
    };

    // An empty address means the session bus of the environment.
    explicit RemoteDesktopPortal(std::string busAddress = {});
    ~RemoteDesktopPortal();

    // Whether the desktop's portal offers remote desktop sessions (asked once).
    bool available();
    // Starts a session, waiting up to `approval` (or until `cancel` is set) for the owner's
    // answer; or why there is none.
    std::variant<Grant, std::string> start(std::chrono::milliseconds approval,
                                           const std::atomic<bool>* cancel = nullptr);
    // The running session's monitor: started, and not ended by the desktop since.
    std::optional<Grant> running();

    // Input into the running session; false without one or when the desktop refused it (a
    // refusal ends the session: the desktop closed it).
    bool motion(double x, double y); // absolute, in the monitor's pixels
    bool button(std::int32_t evdevCode, bool pressed);
    bool axis(double dx, double dy); // smooth scrolling, in pixels (positive: down, right)
    bool keysym(std::uint32_t keysym, bool pressed);

    // Ends the session.
    void stop();

    RemoteDesktopPortal(const RemoteDesktopPortal&) = delete;
    RemoteDesktopPortal& operator=(const RemoteDesktopPortal&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace pelorn
