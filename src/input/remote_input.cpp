#include "input/remote_input.hpp"

#include "core/log.hpp"
#include "input/input_device.hpp"

namespace pelorn {

RemoteInput::RemoteInput(HostLoop& loop, InputDevice& device, MouseController& mouse,
                         KeyboardController& keyboard)
    : mLoop(loop), mDevice(device), mMouse(mouse), mKeyboard(keyboard) {
}

RemoteInput::~RemoteInput() {
    mLifetime.end();
    mRestoreTimer.cancel();
    mThread.invoke([&device = mDevice] { device.restoreKeymap(); });
}

void RemoteInput::handleMouseEvent(const std::string& action, double x, double y,
                                   const std::optional<std::string>& button, std::optional<double> deltaY) {
    mThread.invoke(
        [this, action, x, y, button, deltaY] { mMouse.handleMouseEvent(action, x, y, button, deltaY); });
}

void RemoteInput::handleKeyEvent(const std::string& key) {
    typeLater(key, [this, key] { mKeyboard.handleKeyEvent(key); });
}

void RemoteInput::pressCommandShortcut(const std::string& key) {
    typeLater(key, [this, key] { mKeyboard.pressCommandShortcut(key); });
}

void RemoteInput::requestAccessibilityTrust() {
    mThread.invoke([this] { mMouse.requestAccessibilityTrust(); });
}

void RemoteInput::typeLater(const std::string& text, std::function<void()> task) {
    if (mPendingText + text.size() > maxPendingText) {
        if (!mDropping) {
            Log::shared().info("⚠️ PELORN: typing is behind - dropped keyboard input from the client");
        }
        mDropping = true;
        return;
    }
    mDropping = false;
    mPendingText += text.size();
    mThread.invoke([this, size = text.size(), task = std::move(task), self = mLifetime.weak()] {
        task();
        mPendingText -= size;
        mLoop.post([self] {
            if (auto* input = self.lock()) {
                input->typed();
            }
        });
    });
}

void RemoteInput::typed() {
    mRestoreTimer.startOnce(mLoop, restoreDelay,
                            [this] { mThread.invoke([&device = mDevice] { device.restoreKeymap(); }); });
}

} // namespace pelorn
