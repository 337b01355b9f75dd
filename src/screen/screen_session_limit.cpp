#include "screen/screen_session_limit.hpp"

#include "activity/event_log.hpp"
#include "core/log.hpp"

#include <cmath>
#include <cstdio>

namespace pelorn {

ScreenSessionLimit::ScreenSessionLimit(HostLoop& loop, EventLog& log) : mLoop(loop), mLog(log) {
}

std::string ScreenSessionLimit::label(double limitSeconds) {
    double hours = limitSeconds / 3600;
    char text[32];
    if (hours == std::floor(hours)) {
        std::snprintf(text, sizeof text, "%.0f-hour", hours);
    } else {
        std::snprintf(text, sizeof text, "%.1f-hour", hours);
    }
    return text;
}

void ScreenSessionLimit::start(std::optional<std::int64_t> seconds, std::function<void()> onLimit) {
    stop();
    mLimit = seconds && *seconds >= 1 ? static_cast<double>(*seconds) : defaultLimitSeconds;
    mStartedAt = mLoop.now();
    mTimer.startOnce(mLoop,
                     std::chrono::duration_cast<HostLoop::Duration>(std::chrono::duration<double>(mLimit)),
                     [this, onLimit = std::move(onLimit)] { reached(onLimit); });
    char line[96];
    std::snprintf(line, sizeof line, "⏱️ PELORN: screen session capped at %.2f h", mLimit / 3600);
    Log::shared().info(line);
}

void ScreenSessionLimit::stop() {
    mTimer.cancel();
    mStartedAt.reset();
}

void ScreenSessionLimit::reached(const std::function<void()>& onLimit) {
    double elapsed = mStartedAt ? std::chrono::duration<double>(mLoop.now() - *mStartedAt).count() : mLimit;
    stop();
    char line[96];
    std::snprintf(line, sizeof line, "⏱️ PELORN: screen session hit its %.2f h ceiling - stopping",
                  elapsed / 3600);
    Log::shared().info(line);
    mLog.record(LoggedEvent::Kind::ScreenStopped, std::nullopt, "reached the " + label(mLimit) + " limit");
    if (onLimit) {
        onLimit();
    }
}

} // namespace pelorn
