#include "ui/ui_text.hpp"

#include <cctype>
#include <ctime>
#include <utility>

namespace pelorn::ui {

namespace {

std::tm localTime(Clock::time_point at) {
    auto t = Clock::to_time_t(at);
    std::tm out{};
    localtime_r(&t, &out);
    return out;
}

std::string formatted(Clock::time_point at, const char* format) {
    auto tm = localTime(at);
    char buffer[64];
    auto n = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, n);
}

std::string counted(long long n, const char* unit) {
    return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

} // namespace

std::size_t initialSection(std::string_view stored) {
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (sections[i].value == stored) {
            return i;
        }
    }
    return 0;
}

std::string passwordHint(const PasswordFormState& form) {
    if (!form.confirmation.empty() && form.confirmation != form.password) {
        return "Passwords don't match";
    }
    if (form.password.empty()) {
        return "At least " + std::to_string(minimumPasswordLength) + " characters";
    }
    if (form.length >= minimumPasswordLength) {
        return "Looks good";
    }
    return std::to_string(minimumPasswordLength - form.length) + " more to go";
}

bool canSavePassword(const PasswordFormState& form) {
    return form.length >= minimumPasswordLength && !form.confirmation.empty() &&
           form.confirmation == form.password && !form.saving;
}

std::string relativeTime(Clock::time_point then, Clock::time_point now) {
    using namespace std::chrono;
    auto seconds = duration_cast<std::chrono::seconds>(now - then).count();
    if (seconds < 0) {
        return "just now"; // a clock that went back
    }
    if (seconds < 60) {
        return "just now";
    }
    if (seconds < 3600) {
        return counted(seconds / 60, "minute") + " ago";
    }
    if (seconds < 86400) {
        return counted(seconds / 3600, "hour") + " ago";
    }
    auto days = seconds / 86400;
    if (days < 7) {
        return counted(days, "day") + " ago";
    }
    if (days < 30) {
        return counted(days / 7, "week") + " ago";
    }
    if (days < 365) {
        return counted(days / 30, "month") + " ago";
    }
    return counted(days / 365, "year") + " ago";
}

std::string dayAndMonth(Clock::time_point at) {
    auto tm = localTime(at);
    return std::to_string(tm.tm_mday) + formatted(at, " %b");
}

std::string abbreviatedDate(Clock::time_point at) {
    return dayAndMonth(at) + formatted(at, " %Y");
}

std::string supportMailUrl(const std::string& address, const std::string& accountId) {
    // Every byte outside the unreserved set escaped: a mail address's "@" and "+" stay readable
    // to mail programs either way.
    auto escaped = [](const std::string& value) {
        static constexpr char hex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : value) {
            if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '@') {
                out.push_back(static_cast<char>(c));
            } else {
                out += {'%', hex[c >> 4], hex[c & 15]};
            }
        }
        return out;
    };
    return "mailto:" + escaped(address) + "?subject=" + escaped("Pelorn support") +
           "&body=" + escaped("\n\n---\nAccount ID: " + accountId);
}

std::string rangeLabel(int days) {
    switch (days) {
    case 1:
        return "Today";
    case 7:
        return "7 days";
    case 14:
        return "14 days";
    default:
        return std::to_string(days) + " days";
    }
}

std::string logsIntro(int days) {
    return "Everything that has happened on this Mac, for the last " + std::to_string(days) +
           " days. Kept here and sent nowhere.";
}

Clock::time_point startOfDay(Clock::time_point at) {
    auto tm = localTime(at);
    tm.tm_hour = 0;
    tm.tm_min = 0;
    tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return Clock::from_time_t(std::mktime(&tm));
}

namespace {

// Local calendar days from `from` to `to` (a day across a clock change is still one day).
long daysBetween(Clock::time_point from, Clock::time_point to) {
    auto a = localTime(from);
    auto b = localTime(to);
    auto civil = [](const std::tm& t) {
        // Days since the epoch of the local calendar date, without time zones.
        std::tm date{};
        date.tm_year = t.tm_year;
        date.tm_mon = t.tm_mon;
        date.tm_mday = t.tm_mday;
        date.tm_hour = 12;
        return timegm(&date) / 86400;
    };
    return static_cast<long>(civil(b) - civil(a));
}

} // namespace

std::string dayHeading(Clock::time_point day, Clock::time_point now) {
    auto ago = daysBetween(day, now);
    if (ago == 0) {
        return "Today";
    }
    if (ago == 1) {
        return "Yesterday";
    }
    auto tm = localTime(day);
    return formatted(day, "%A, ") + std::to_string(tm.tm_mday) + formatted(day, " %B");
}

bool withinRange(Clock::time_point at, int days, Clock::time_point now) {
    return daysBetween(at, now) < days;
}

std::string olderNote(std::size_t count, int days) {
    return std::to_string(count) + (count == 1 ? " entry is" : " entries are") + " older than " +
           (days == 1 ? std::string("today") : std::to_string(days) + " days") +
           ". Widen the range to see them.";
}

std::string exportText(const std::vector<UiEvent>& newestFirst) {
    std::string text;
    for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it) {
        text += (text.empty() ? "" : "\n") + it->exportLine;
    }
    return text;
}

std::string_view iconName(std::string_view symbol) {
    static constexpr std::pair<std::string_view, std::string_view> names[] = {
        {"wifi", "network-wireless"},
        {"wifi.slash", "network-wireless-offline"},
        {"terminal", "utilities-terminal"},
        {"ipad.and.iphone", "phone"},
        {"list.bullet", "view-list"},
        {"person.crop.circle", "avatar-default"},
        {"iphone", "phone"},
        {"ipad", "tablet"},
        {"arrow.right.to.line", "go-next"},
        {"arrow.left.to.line", "go-previous"},
        {"lock.trianglebadge.exclamationmark", "dialog-password"},
        {"lock", "changes-prevent"},
        {"lock.fill", "changes-prevent"},
        {"checkmark", "object-select"},
        {"xmark", "window-close"},
        {"minus.circle", "list-remove"},
        {"display", "video-display"},
        {"rectangle.slash", "video-display"},
        {"eye.slash", "view-conceal"},
        {"eye", "view-reveal"},
        {"plus.rectangle", "list-add"},
        {"rectangle.portrait.and.arrow.right", "system-log-out"},
        {"trash", "user-trash"},
        {"clock", "alarm"},
        {"circle", "media-record"},
        {"plus", "list-add"},
        {"exclamationmark.triangle", "dialog-warning"},
        {"ellipsis", "view-more-horizontal"},
        {"arrow.2.squarepath", "view-refresh"},
        {"chevron.left", "go-previous"},
        {"doc.on.doc", "edit-copy"},
        {"envelope", "mail-send"},
        {"arrow.down.circle", "software-update-available"},
        {"key", "dialog-password"},
        {"person.text.rectangle", "user-info"},
        {"square", "checkbox"},
        {"checkmark.square.fill", "checkbox-checked"},
        {"arrow.right", "go-next"},
        {"lock.shield", "security-high"},
        {"checkmark.seal", "emblem-ok"},
        {"link", "edit-copy"},
    };
    for (const auto& [from, to] : names) {
        if (from == symbol) {
            return to;
        }
    }
    return "media-record";
}

} // namespace pelorn::ui
