#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace pelorn {

class NotificationCenter;
class Settings;

// How long a host-made session may sit idle before the reaper ends it. The stored value is the
// number of hours; anything unknown reads as twelve.
enum class SessionLifetime {
    Never = 0,
    OneHour = 1,
    ThreeHours = 3,
    SixHours = 6,
    TwelveHours = 12,
    OneDay = 24
};

namespace session_lifetime {

inline constexpr const char* settingsKey = "terminalSessionLifetimeHours";
inline constexpr const char* changedNotification = "pelorn.sessionLifetimeChanged";

int hours(SessionLifetime lifetime);
// Absent for never.
std::optional<std::chrono::seconds> allowedIdle(SessionLifetime lifetime);
std::optional<SessionLifetime> fromHours(long long hours);
SessionLifetime current(Settings& settings);
void set(Settings& settings, NotificationCenter& notifications, SessionLifetime lifetime);

} // namespace session_lifetime

// The sessions list's idle line: empty for unmanaged sessions and when nothing is reaped.
std::string idleEndText(bool managed, int lifetimeHours, double lastActivity, double now);
// "just now", "5m", "2h 5m", "3d 4h" since `time` (seconds since 1970).
std::string ageText(double time, double now);

} // namespace pelorn
