#include "terminal/session_lifetime.hpp"

#include "core/notification_center.hpp"
#include "core/settings.hpp"

#include <array>
#include <cmath>

namespace pelorn {

namespace session_lifetime {

namespace {
constexpr std::array all{SessionLifetime::Never,    SessionLifetime::OneHour,     SessionLifetime::ThreeHours,
                         SessionLifetime::SixHours, SessionLifetime::TwelveHours, SessionLifetime::OneDay};
}

int hours(SessionLifetime lifetime) {
    return static_cast<int>(lifetime);
}

std::optional<std::chrono::seconds> allowedIdle(SessionLifetime lifetime) {
    if (lifetime == SessionLifetime::Never) {
        return std::nullopt;
    }
    return std::chrono::hours(hours(lifetime));
}

std::optional<SessionLifetime> fromHours(long long value) {
    for (auto lifetime : all) {
        if (hours(lifetime) == value) {
            return lifetime;
        }
    }
    return std::nullopt;
}

SessionLifetime current(Settings& settings) {
    auto stored = settings.value(settingsKey);
    if (!stored || !stored->is_number()) {
        return SessionLifetime::TwelveHours;
    }
    double value = stored->get<double>();
    if (value != std::trunc(value) || std::fabs(value) > 1e6) {
        return SessionLifetime::TwelveHours;
    }
    return fromHours(static_cast<long long>(value)).value_or(SessionLifetime::TwelveHours);
}

void set(Settings& settings, NotificationCenter& notifications, SessionLifetime lifetime) {
    settings.set(settingsKey, hours(lifetime));
    notifications.post(changedNotification);
}

} // namespace session_lifetime

std::string idleEndText(bool managed, int lifetimeHours, double lastActivity, double now) {
    if (!managed || lifetimeHours < 1) {
        return "";
    }
    double remaining = std::trunc(lastActivity + lifetimeHours * 3600.0 - now);
    if (!std::isfinite(remaining) || remaining < 1) {
        return "ending now";
    }
    if (remaining < 60) {
        return "idle · ends in under a minute";
    }
    auto seconds = static_cast<long long>(remaining);
    if (seconds < 3600) {
        return "idle · ends in " + std::to_string(seconds / 60) + "m";
    }
    return "idle · ends in " + std::to_string(seconds / 3600) + "h " + std::to_string(seconds % 3600 / 60) +
           "m";
}

std::string ageText(double time, double now) {
    double elapsed = std::trunc(now - time);
    auto seconds =
        std::isfinite(elapsed) && elapsed > 0 ? static_cast<long long>(std::min(elapsed, 1e15)) : 0;
    if (seconds < 60) {
        return "just now";
    }
    if (seconds < 3600) {
        return std::to_string(seconds / 60) + "m";
    }
    if (seconds < 86400) {
        return std::to_string(seconds / 3600) + "h " + std::to_string(seconds % 3600 / 60) + "m";
    }
    return std::to_string(seconds / 86400) + "d " + std::to_string(seconds % 86400 / 3600) + "h";
}

} // namespace pelorn
