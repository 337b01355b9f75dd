#include "availability/privacy_screen_controller.hpp"

#include "activity/event_log.hpp"
#include "availability/x11_gamma_blackout.hpp"
#include "core/host_loop.hpp"
#include "core/log.hpp"

#include <csignal>
#include <cstdlib>
#include <mutex>

namespace pelorn {

PrivacyScreenController::PrivacyScreenController(HostLoop& loop, EventLog& log,
                                                 std::unique_ptr<DisplayBlackout> displays)
    : mLoop(loop), mLog(log), mDisplays(std::move(displays)) {
    std::weak_ptr<bool> alive = mAlive;
    mDisplays->setOnDisplaysChanged([this, alive] {
        mLoop.post([this, alive] {
            // A display plugged in during a session is blacked out too.
            if (alive.lock() && mIsActive) {
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

PrivacyScreenController& PrivacyScreenController::shared() {
    static PrivacyScreenController controller(HostLoop::shared(), EventLog::shared(),
                                              std::make_unique<X11GammaBlackout>());
    return controller;
}

void PrivacyScreenController::requireLoopThread() const {
    if (!mLoop.isLoopThread()) {
        Log::shared().info("❌ PELORN PRIVACY: called off the host loop");
        std::abort();
    }
}

void PrivacyScreenController::turnOn() {
    requireLoopThread();
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

namespace {

void restoreAndReraise(int signal) {
    X11GammaBlackout::emergencyRestore();
    // SA_RESETHAND put the default action back; raising again ends the process as it would have.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void installFatalSignalRestore() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = restoreAndReraise;
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGQUIT, SIGTRAP, SIGSYS, SIGXCPU,
                           SIGXFSZ, SIGUSR1, SIGALRM, SIGVTALRM, SIGPROF, SIGPOLL, SIGSTKFLT, SIGPWR}) {
            sigaction(signal, &action, nullptr);
        }
    });
}

} // namespace pelorn
