#include "privacy/privacy_screen_controller.hpp"

#include "activity/event_log.hpp"
#include "core/host_loop.hpp"
#include "core/log.hpp"

#include <utility>

namespace pelorn {

PrivacyScreenController::PrivacyScreenController(HostLoop& loop, EventLog& log,
                                                 std::unique_ptr<DisplayBlackout> displays)
    : mLoop(loop), mLog(log), mDisplays(std::move(displays)) {
    auto self = mLifetime.weak();
    mDisplays->setOnDisplaysChanged([this, self] {
        mLoop.post([this, self] {
            // A display plugged in during a session is blacked out too.
            if (self.lock() && mIsActive) {
                applyBlackout();
            }
        });
    });
}

PrivacyScreenController::~PrivacyScreenController() {
    if (mIsActive) {
        mDisplays->restore();
    }
}

void PrivacyScreenController::requireLoopThread() const {
    if (!mLoop.isLoopThread()) {
        Log::shared().info("❌ PELORN PRIVACY: called off the host loop");
        std::abort();
    }
}

void PrivacyScreenController::turnOn() {
    requireLoopThread();
    if (auto reason = mDisplays->unavailableReason()) {
        // Said once: the client asks again each session, and nothing changes between.
        if (!std::exchange(mToldUnavailable, true)) {
            Log::shared().system("⚠️ PELORN PRIVACY: no blackout on this desktop (" + *reason +
                                 ") - the displays stay as they are");
        }
        return;
    }
    if (!mIsActive) {
        mLog.record(LoggedEvent::Kind::PrivacyOn);
    }
    mIsActive = true;
    applyBlackout();
    Log::shared().system("🛡️ PELORN PRIVACY: screen blackout ON (all displays)");
}

void PrivacyScreenController::turnOff() {
    requireLoopThread();
    if (!mIsActive) {
        return;
    }
    mLog.record(LoggedEvent::Kind::PrivacyOff);
    mIsActive = false;
    mDisplays->restore();
    Log::shared().system("🛡️ PELORN PRIVACY: screen blackout OFF");
}

void PrivacyScreenController::applyBlackout() {
    if (!mDisplays->blackOut()) {
        Log::shared().system("❌ PELORN PRIVACY: could not enumerate displays");
    }
}

} // namespace pelorn
