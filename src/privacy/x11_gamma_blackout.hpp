#pragma once

#include "privacy/display_blackout.hpp"
#include "x11/x11_display.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace pelorn {

// The privacy screen on X: every CRTC's gamma ramps set to zero, so the monitors show black
// while the frame buffer (and so the capture) keeps the real picture. The original ramps are
// put back by restore(), and by emergencyRestore() from a fatal-signal handler, which writes
// ready-made RandR requests straight onto a connection kept idle for that purpose.
class X11GammaBlackout final : public DisplayBlackout {
public:
    // At most this many displays are blacked out.
    static constexpr std::size_t maxDisplays = 16;

    // An empty name means $DISPLAY.
    explicit X11GammaBlackout(std::string displayName = {});
    ~X11GammaBlackout() override;

    bool blackOut() override;
    void restore() override;
    void setOnDisplaysChanged(std::function<void()> onChange) override { mOnChange = std::move(onChange); }

    // Async-signal-safe: puts the last saved ramps back on every X11GammaBlackout's displays.
    static void emergencyRestore();

    X11GammaBlackout(const X11GammaBlackout&) = delete;
    X11GammaBlackout& operator=(const X11GammaBlackout&) = delete;

private:
    struct Ramps {
        int size = 0;
        std::vector<std::uint16_t> red, green, blue;
    };

    bool connect();
    void publishEmergencyRequests();
    void startWatching();
    void stopWatching();

    std::string mDisplayName;
    std::unique_ptr<X11Connection> mConnection;
    std::unique_ptr<X11Connection> mEmergency; // idle; only the signal handler writes to it
    int mRandrOpcode = 0;
    std::map<unsigned long, Ramps> mSaved; // by CRTC
    std::function<void()> mOnChange;
    std::thread mWatcher;
    int mWakeFd = -1;
};

// Installs handlers for the signals that end the process abnormally (crashes, abort, SIGQUIT and
// the other catchable ones that kill by default); each puts blacked-out displays back, then lets
// the signal take its normal course. Once per process.
void installFatalSignalRestore();

} // namespace pelorn
