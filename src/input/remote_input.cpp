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

struct RemoteInput::PendingMove {
    const bool relative;
    std::mutex mutex; // guards the fields below
    double x = 0, y = 0;
    bool taken = false;
};

void RemoteInput::handleMouseEvent(const std::string& action, double x, double y,
                                   const std::optional<std::string>& button, std::optional<double> deltaY) {
    if (action == "move" || action == "move_rel") {
        moveLater(action == "move_rel", x, y);
        return;
    }
    mOpenMove.reset(); // a later move must not jump ahead of this event
    if (mPendingPointer >= maxPendingPointer) {
        if (!mDroppingPointer) {
            Log::shared().info(
                "⚠️ PELORN: pointer input is behind - dropped pointer events from the client");
        }
        mDroppingPointer = true;
        return;
    }
    mDroppingPointer = false;
    ++mPendingPointer;
    mThread.invoke([this, action, x, y, button, deltaY] {
        mMouse.handleMouseEvent(action, x, y, button, deltaY);
        --mPendingPointer;
    });
}

void RemoteInput::moveLater(bool relative, double x, double y) {
    if (mOpenMove && mOpenMove->relative == relative) {
        std::lock_guard lock(mOpenMove->mutex);
        if (!mOpenMove->taken) {
            mOpenMove->x = relative ? mOpenMove->x + x : x;
            mOpenMove->y = relative ? mOpenMove->y + y : y;
            return;
        }
    }
    auto move = std::make_shared<PendingMove>(relative);
    move->x = x;
    move->y = y;
    mOpenMove = move;
    mThread.invoke([this, move] {
        double atX = 0, atY = 0;
        {
            std::lock_guard lock(move->mutex);
            move->taken = true;
            atX = move->x;
            atY = move->y;
        }
        mMouse.handleMouseEvent(move->relative ? "move_rel" : "move", atX, atY, std::nullopt, std::nullopt);
    });
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
    mOpenMove.reset(); // a later move must not jump ahead of this key
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
