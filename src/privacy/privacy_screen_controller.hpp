#pragma once

#include "core/lifetime.hpp"
#include "privacy/display_blackout.hpp"

#include <memory>

namespace pelorn {

class EventLog;
class HostLoop;

// The privacy screen: while it is on, the computer's own displays show black (also displays
// connected meanwhile) and the remote user still sees the real screen. Host loop only. The
// displays are put back by turnOff(), when this goes away, and on a fatal signal (see
// installFatalSignalRestore).
class PrivacyScreenController {
public:
    PrivacyScreenController(HostLoop& loop, EventLog& log, std::unique_ptr<DisplayBlackout> displays);
    ~PrivacyScreenController();
    static PrivacyScreenController& shared();

    void turnOn();
    void turnOff();
    bool isActive() const { return mIsActive; }
    // Why the displays cannot be blacked out on this desktop; absent where they can.
    std::optional<std::string> unavailableReason() const { return mDisplays->unavailableReason(); }

    PrivacyScreenController(const PrivacyScreenController&) = delete;
    PrivacyScreenController& operator=(const PrivacyScreenController&) = delete;

private:
    void applyBlackout();
    void requireLoopThread() const;

    HostLoop& mLoop;
    EventLog& mLog;
    std::unique_ptr<DisplayBlackout> mDisplays;
    Lifetime<PrivacyScreenController> mLifetime{this};
    bool mIsActive = false;
    bool mToldUnavailable = false;
};

} // namespace pelorn
