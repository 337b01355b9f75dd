#pragma once

#include "core/host_loop.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace pelorn {

class EventLog;

// How long one LAN screen session may run: two hours unless told otherwise, then the stream
// stops and the client is told. Host loop, on its clock.
class ScreenSessionLimit {
public:
    static constexpr double defaultLimitSeconds = 7200;

    ScreenSessionLimit(HostLoop& loop, EventLog& log);
    static ScreenSessionLimit& shared();

    // (Re)starts the ceiling; seconds below 1 or absent mean two hours.
    void start(std::optional<std::int64_t> seconds, std::function<void()> onLimit);
    void stop();

    double limit() const { return mLimit; }
    bool isRunning() const { return mTimer.isActive(); }

    // "2-hour", "1.5-hour".
    static std::string label(double limitSeconds);

private:
    void reached(const std::function<void()>& onLimit);

    HostLoop& mLoop;
    EventLog& mLog;
    Timer mTimer;
    std::optional<HostLoop::TimePoint> mStartedAt;
    double mLimit = defaultLimitSeconds;
};

} // namespace pelorn
