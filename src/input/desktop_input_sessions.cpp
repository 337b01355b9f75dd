#include "input/desktop_input_sessions.hpp"

#include "core/log.hpp"
#include "gnome/mutter_remote_desktop.hpp"
#include "portal/remote_desktop_portal.hpp"

namespace pelorn {

bool MutterInputSession::available() {
    return mDesktop.available();
}

std::optional<ScreenSize> MutterInputSession::monitor() {
    auto stream = mDesktop.currentStream();
    if (!stream) {
        return std::nullopt;
    }
    return ScreenSize{static_cast<double>(stream->width), static_cast<double>(stream->height)};
}

bool MutterInputSession::motion(double x, double y) {
    return mDesktop.motion(x, y);
}

bool MutterInputSession::button(std::int32_t evdevCode, bool pressed) {
    return mDesktop.button(evdevCode, pressed);
}

bool MutterInputSession::axis(double dx, double dy) {
    return mDesktop.axis(dx, dy);
}

bool MutterInputSession::keysym(std::uint32_t keysym, bool pressed) {
    return mDesktop.keysym(keysym, pressed);
}

bool MutterInputSession::offerClipboardText(const std::string& text) {
    return mDesktop.offerClipboardText(text);
}

bool MutterInputSession::awaitPaste(std::chrono::milliseconds limit) {
    return mDesktop.awaitPaste(limit);
}

std::optional<std::string> MutterInputSession::clipboardText() {
    return mDesktop.clipboardText();
}

PortalInputSession::PortalInputSession(RemoteDesktopPortal& portal, std::chrono::milliseconds approval)
    : mPortal(portal), mApproval(approval) {
}

PortalInputSession::~PortalInputSession() {
    mWithdraw = true;
    if (mAsking.joinable()) {
        mAsking.join();
    }
}

bool PortalInputSession::available() {
    return mPortal.available();
}

std::optional<ScreenSize> PortalInputSession::monitor() {
    auto grant = mPortal.running();
    if (!grant) {
        return std::nullopt;
    }
    return ScreenSize{static_cast<double>(grant->width), static_cast<double>(grant->height)};
}

bool PortalInputSession::ready() {
    if (mPortal.running()) {
        return true;
    }
    auto now = std::chrono::steady_clock::now();
    if (mWaiting || (mAsked && now - *mAsked < askAgainAfter)) {
        return false;
    }
    if (mAsking.joinable()) {
        mAsking.join();
    }
    mAsked = now;
    mWaiting = true;
    Log::shared().info("🖥️ PELORN: the desktop asks the owner at the screen to allow remote input");
    mAsking = std::thread([this] {
        auto result = mPortal.start(mApproval, &mWithdraw);
        if (auto* why = std::get_if<std::string>(&result)) {
            Log::shared().info("⚠️ PELORN: no remote input on this desktop: " + *why);
        } else {
            Log::shared().info("🖥️ PELORN: remote input allowed by the owner at the screen");
        }
        mWaiting = false;
    });
    return false;
}

bool PortalInputSession::motion(double x, double y) {
    return ready() && mPortal.motion(x, y);
}

bool PortalInputSession::button(std::int32_t evdevCode, bool pressed) {
    return ready() && mPortal.button(evdevCode, pressed);
}

bool PortalInputSession::axis(double dx, double dy) {
    return ready() && mPortal.axis(dx, dy);
}

bool PortalInputSession::keysym(std::uint32_t keysym, bool pressed) {
    return ready() && mPortal.keysym(keysym, pressed);
}

} // namespace pelorn
