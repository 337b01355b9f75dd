#pragma once

#include "input/remote_desktop_input.hpp"

#include <atomic>
#include <chrono>
#include <thread>

namespace pelorn {

class MutterRemoteDesktop;
class RemoteDesktopPortal;

// GNOME's remote-desktop session as input's: the monitor of its stream, and its clipboard.
class MutterInputSession final : public RemoteDesktopInput::Session {
public:
    explicit MutterInputSession(MutterRemoteDesktop& desktop) : mDesktop(desktop) {}
    bool available() override;
    std::optional<ScreenSize> monitor() override;
    bool motion(double x, double y) override;
    bool button(std::int32_t evdevCode, bool pressed) override;
    bool axis(double dx, double dy) override;
    bool keysym(std::uint32_t keysym, bool pressed) override;
    bool hasClipboard() override { return true; }
    bool offerClipboardText(const std::string& text) override;
    bool awaitPaste(std::chrono::milliseconds limit) override;
    std::optional<std::string> clipboardText() override;

private:
    MutterRemoteDesktop& mDesktop;
};

// The desktop portal's remote desktop as input's. Input without a session asks the owner at the
// screen for one, on a thread of its own, so no input waits for the answer: what comes before it
// is dropped (a click replayed minutes later could land anywhere). After a refusal, or once the
// desktop ended the session, the owner is asked again at most once a minute.
class PortalInputSession final : public RemoteDesktopInput::Session {
public:
    static constexpr auto askAgainAfter = std::chrono::minutes(1);

    PortalInputSession(RemoteDesktopPortal& portal, std::chrono::milliseconds approval);
    ~PortalInputSession() override; // a question still open is withdrawn

    bool available() override;
    std::optional<ScreenSize> monitor() override;
    bool motion(double x, double y) override;
    bool button(std::int32_t evdevCode, bool pressed) override;
    bool axis(double dx, double dy) override;
    bool keysym(std::uint32_t keysym, bool pressed) override;

    PortalInputSession(const PortalInputSession&) = delete;
    PortalInputSession& operator=(const PortalInputSession&) = delete;

private:
    // Whether a session runs; else asks for one (when not asked lately) and says no.
    bool ready();

    RemoteDesktopPortal& mPortal;
    std::chrono::milliseconds mApproval;
    std::thread mAsking;
    std::atomic<bool> mWithdraw{false};
    std::atomic<bool> mWaiting{false};
    std::optional<std::chrono::steady_clock::time_point> mAsked;
};

} // namespace pelorn
