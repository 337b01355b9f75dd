#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace pelorn {

// A remote-desktop session of GNOME's compositor (mutter) with a screen cast of the primary
// monitor linked to it: the cast's PipeWire stream carries the screen, and the session's virtual
// pointer and keyboard post input onto that monitor. A session belongs to the D-Bus connection
// that made it (no other process can drive it, and it ends when that connection closes), so this
// keeps a private connection of its own. Started on first use, and again after the compositor
// ended it. Any thread.
class MutterRemoteDesktop {
public:
    // The streamed monitor.
    struct Stream {
        std::uint32_t node = 0; // the PipeWire node carrying its frames
        int x = 0, y = 0;       // its place in the compositor's layout
        int width = 0, height = 0;
        bool operator==(const Stream&) const = default;
    };
    // How long a call to the compositor may take.
    static constexpr int callTimeoutMs = 5000;

    // An empty address means the session bus of the environment.
    explicit MutterRemoteDesktop(std::string busAddress = {});
    ~MutterRemoteDesktop();
    static MutterRemoteDesktop& shared();

    // Whether GNOME's remote desktop is there to be used, without starting a session (a running
    // session shows the desktop's "being shared" indicator).
    bool available();
    // The running session's stream, starting the session when there is none: or why there is none.
    std::variant<Stream, std::string> stream();
    // Whether the session is running: started, and not ended by the compositor (nor the compositor
    // gone). Never starts one.
    bool running();
    // The monitor's current size (it changes when the owner changes the resolution).
    std::optional<Stream> currentStream();

    // Input into the session, started when needed. False when the compositor refused it or the
    // session could not be started.
    bool motion(double x, double y); // absolute, in the monitor's pixels
    bool button(std::int32_t evdevCode, bool pressed);
    bool axis(double dx, double dy); // smooth scrolling, in pixels (positive: down, right)
    bool keysym(std::uint32_t keysym, bool pressed);
    // Offers `text` as the clipboard's content through the session, so that a paste in any
    // application receives it. False when the compositor refused.
    bool offerClipboardText(const std::string& text);
    // Waits until an application has taken the offered text (and read no more for a moment); false
    // when none did in time.
    bool awaitPaste(std::chrono::milliseconds limit);
    // The clipboard's text as the compositor holds it (absent when it holds none or cannot say).
    std::optional<std::string> clipboardText();

    // Ends the session (the next use starts a new one): the screen's stream ended, and with it the
    // desktop's indicator.
    void stop();

    MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
    MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace pelorn
