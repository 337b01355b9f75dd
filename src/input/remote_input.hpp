#pragma once

#include "core/glib_thread.hpp"
#include "core/host_loop.hpp"
#include "core/lifetime.hpp"
#include "input/input_device.hpp"
#include "input/keyboard_controller.hpp"
#include "input/mouse_controller.hpp"
#include "signaling/lan_targets.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

namespace pelorn {

// What an authorised client's input messages drive. The messages are handed, in arrival order,
// to an input thread where the controllers post the events: typing may wait on the display now
// and then, and must never hold up the host loop.
class RemoteInput final : public InputTarget {
public:
    // Text waiting to be typed is capped; messages beyond it are dropped, not queued.
    static constexpr std::size_t maxPendingText = 256 * 1024;
    // Pointer events waiting for the input thread are capped the same way. Moves never count
    // against it: a move waiting behind others takes the place of the one before it (absolute)
    // or adds to it (relative), so a flood of moves costs one queued move.
    static constexpr std::size_t maxPendingPointer = 1024;
    // Borrowed keyboard layout entries go back this long after the last key was typed.
    static constexpr auto restoreDelay = std::chrono::seconds(1);

    RemoteInput(HostLoop& loop, InputDevice& device, MouseController& mouse, KeyboardController& keyboard);
    // Finishes what is queued and puts the keyboard layout back.
    ~RemoteInput() override;
    static RemoteInput& shared();

    void handleMouseEvent(const std::string& action, double x, double y,
                          const std::optional<std::string>& button, std::optional<double> deltaY) override;
    void handleKeyEvent(const std::string& key) override;
    void pressCommandShortcut(const std::string& key) override;
    // Asks, on the input thread, whether events reach the display, and logs the answer.
    void requestAccessibilityTrust();

    RemoteInput(const RemoteInput&) = delete;
    RemoteInput& operator=(const RemoteInput&) = delete;

private:
    struct PendingMove;
    void moveLater(bool relative, double x, double y);
    void typeLater(const std::string& text, std::function<void()> task);
    void typed(); // on the host loop

    HostLoop& mLoop;
    InputDevice& mDevice;
    MouseController& mMouse;
    KeyboardController& mKeyboard;
    std::atomic<std::size_t> mPendingText{0};
    std::atomic<std::size_t> mPendingPointer{0};
    bool mDropping = false;        // host loop
    bool mDroppingPointer = false; // host loop
    // The last queued pointer event when it is a move the input thread has not taken yet.
    std::shared_ptr<PendingMove> mOpenMove; // host loop
    Timer mRestoreTimer;
    Lifetime<RemoteInput> mLifetime{this};
    GlibThread mThread; // last: gone first, after finishing its queue
};

} // namespace pelorn
