#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelorn {

// One entry of the activity log.
struct LoggedEvent {
    enum class Kind {
        MacOnline,
        MacOffline,
        DeviceConnected,
        DeviceDisconnected,
        PasswordFailed,
        PasswordLocked,
        DeviceApproved,
        DeviceDenied,
        DeviceRemoved,
        ScreenStarted,
        ScreenStopped,
        PrivacyOn,
        PrivacyOff,
        SessionCreated,
        SessionOpened,
        SessionClosed,
        SessionEnded,
        SessionExpired,
        Other,
    };

    // The log window's filter.
    enum class Category { Connection, Security, Terminal };

    using Time = std::chrono::system_clock::time_point;

    std::string id; // UUID, upper-case hyphenated
    Time at;
    Kind kind = Kind::Other;
    std::optional<std::string> subject;
    std::optional<std::string> detail;

    bool operator==(const LoggedEvent&) const = default;

    static std::string_view value(Kind kind);
    // Unknown values read as Other.
    static Kind kindFromValue(std::string_view value);
    static std::string_view title(Kind kind);
    static std::string_view phrase(Kind kind);
    static std::string_view icon(Kind kind);
    static Category category(Kind kind);
    static std::string_view value(Category category);

    // The line the log shows: "subject phrase", or the title when there is no subject.
    std::string sentence() const;
};

// The activity file's form: an array of objects, dates as ISO 8601 in UTC with whole seconds.
nlohmann::json encodeEvents(const std::vector<LoggedEvent>& events);
// Absent when the array as a whole does not decode.
std::optional<std::vector<LoggedEvent>> decodeEvents(const nlohmann::json& array);

std::string iso8601(LoggedEvent::Time at);
std::optional<LoggedEvent::Time> parseIso8601(std::string_view text);

// The log window's "Copy" text: oldest first, local time, one line per event.
std::string exportText(const std::vector<LoggedEvent>& newestFirst);

} // namespace pelorn
