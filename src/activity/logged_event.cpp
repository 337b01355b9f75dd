#include "activity/logged_event.hpp"

#include "core/uuid.hpp"

#include <array>
#include <cstdio>
#include <ctime>

namespace pelorn {

namespace {

using Kind = LoggedEvent::Kind;
using Category = LoggedEvent::Category;

struct KindText {
    std::string_view value, title, phrase, icon;
    Category category;
};

// Indexed by Kind.
constexpr std::array<KindText, 19> kindTexts{{
    {"macOnline", "Went online", "went online", "wifi", Category::Connection},
    {"macOffline", "Went offline", "went offline", "wifi.slash", Category::Connection},
    {"deviceConnected", "A device connected", "connected", "arrow.right.to.line", Category::Connection},
    {"deviceDisconnected", "A device disconnected", "disconnected", "arrow.left.to.line",
     Category::Connection},
    {"passwordFailed", "Wrong master password", "gave the wrong master password",
     "lock.trianglebadge.exclamationmark", Category::Security},
    {"passwordLocked", "Locked after too many attempts", "was locked out after too many attempts", "lock",
     Category::Security},
    {"deviceApproved", "Device approved", "approved", "checkmark", Category::Security},
    {"deviceDenied", "Device denied", "denied", "xmark", Category::Security},
    {"deviceRemoved", "Device removed", "removed from this Mac", "minus.circle", Category::Security},
    {"screenStarted", "Screen sharing started", "started screen sharing", "display", Category::Connection},
    {"screenStopped", "Screen sharing stopped", "stopped screen sharing", "rectangle.slash",
     Category::Connection},
    {"privacyOn", "Screens blacked out", "blacked out this Mac's screens", "eye.slash", Category::Security},
    {"privacyOff", "Screens restored", "restored this Mac's screens", "eye", Category::Security},
    {"sessionCreated", "Session created", "created", "plus.rectangle", Category::Terminal},
    {"sessionOpened", "Session opened", "opened", "terminal", Category::Terminal},
    {"sessionClosed", "Session detached", "detached", "rectangle.portrait.and.arrow.right",
     Category::Terminal},
    {"sessionEnded", "Session ended", "ended", "trash", Category::Terminal},
    {"sessionExpired", "Session ended after sitting idle", "ended after sitting idle", "clock",
     Category::Terminal},
    {"other", "Activity", "happened", "circle", Category::Connection},
}};

const KindText& texts(Kind kind) {
    return kindTexts[static_cast<size_t>(kind)];
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key, bool& ok) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    if (!it->is_string()) {
        ok = false;
        return std::nullopt;
    }
    return it->get<std::string>();
}

std::optional<LoggedEvent> decodeEvent(const nlohmann::json& object) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    auto id = object.find("id");
    auto at = object.find("at");
    auto kind = object.find("kind");
    if (id == object.end() || !id->is_string() || at == object.end() || !at->is_string() ||
        kind == object.end() || !kind->is_string()) {
        return std::nullopt;
    }
    auto canonicalId = canonicalUuid(id->get<std::string>());
    auto time = parseIso8601(at->get<std::string>());
    bool ok = true;
    LoggedEvent event;
    event.subject = optionalString(object, "subject", ok);
    event.detail = optionalString(object, "detail", ok);
    if (!canonicalId || !time || !ok) {
        return std::nullopt;
    }
    event.id = *canonicalId;
    event.at = *time;
    event.kind = LoggedEvent::kindFromValue(kind->get<std::string>());
    return event;
}

std::string formatLocal(LoggedEvent::Time at) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    std::tm local{};
    localtime_r(&seconds, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    long offset = local.tm_gmtoff;
    if (offset == 0) {
        return std::string(date) + " Z";
    }
    char zone[32];
    long magnitude = offset < 0 ? -offset : offset;
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600,
                  (magnitude % 3600) / 60);
    return std::string(date) + " " + zone;
}

} // namespace

std::string_view LoggedEvent::value(Kind kind) {
    return texts(kind).value;
}
std::string_view LoggedEvent::title(Kind kind) {
    return texts(kind).title;
}
std::string_view LoggedEvent::phrase(Kind kind) {
    return texts(kind).phrase;
}
std::string_view LoggedEvent::icon(Kind kind) {
    return texts(kind).icon;
}
LoggedEvent::Category LoggedEvent::category(Kind kind) {
    return texts(kind).category;
}

LoggedEvent::Kind LoggedEvent::kindFromValue(std::string_view value) {
    for (size_t i = 0; i < kindTexts.size(); ++i) {
        if (kindTexts[i].value == value) {
            return static_cast<Kind>(i);
        }
    }
    return Kind::Other;
}

std::string_view LoggedEvent::value(Category category) {
    switch (category) {
    case Category::Connection:
        return "connection";
    case Category::Security:
        return "security";
    case Category::Terminal:
        return "terminal";
    }
    return "connection";
}

std::string LoggedEvent::sentence() const {
    if (subject && !subject->empty()) {
        return *subject + " " + std::string(phrase(kind));
    }
    return std::string(title(kind));
}

std::string iso8601(LoggedEvent::Time at) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(at));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::optional<LoggedEvent::Time> parseIso8601(std::string_view text) {
    // yyyy-MM-ddTHH:mm:ss followed by Z or ±HH:MM (the internet date-time form, whole seconds).
    int y, mo, d, h, mi, s, n = 0;
    std::string copy(text);
    if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &n) != 6 ||
        n != 19) {
        return std::nullopt;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) {
        return std::nullopt;
    }
    long offset = 0;
    std::string_view zone = text.substr(19);
    if (zone != "Z") {
        int zh, zm, zn = 0;
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') ||
            std::sscanf(copy.c_str() + 20, "%2d:%2d%n", &zh, &zm, &zn) != 2 || zn != 5 || zh > 23 ||
            zm > 59) {
            return std::nullopt;
        }
        offset = (zone[0] == '-' ? -1 : 1) * (zh * 3600L + zm * 60L);
    }
    std::tm utc{};
    utc.tm_year = y - 1900;
    utc.tm_mon = mo - 1;
    utc.tm_mday = d;
    utc.tm_hour = h;
    utc.tm_min = mi;
    utc.tm_sec = s;
    std::time_t seconds = timegm(&utc);
    return std::chrono::system_clock::from_time_t(seconds - offset);
}

nlohmann::json encodeEvents(const std::vector<LoggedEvent>& events) {
    auto array = nlohmann::json::array();
    for (const auto& e : events) {
        nlohmann::json object = {{"id", e.id}, {"at", iso8601(e.at)}, {"kind", LoggedEvent::value(e.kind)}};
        if (e.subject) {
            object["subject"] = *e.subject;
        }
        if (e.detail) {
            object["detail"] = *e.detail;
        }
        array.push_back(std::move(object));
    }
    return array;
}

std::optional<std::vector<LoggedEvent>> decodeEvents(const nlohmann::json& array) {
    if (!array.is_array()) {
        return std::nullopt;
    }
    std::vector<LoggedEvent> events;
    events.reserve(array.size());
    for (const auto& item : array) {
        auto event = decodeEvent(item);
        if (!event) {
            return std::nullopt;
        }
        events.push_back(std::move(*event));
    }
    return events;
}

std::string exportText(const std::vector<LoggedEvent>& newestFirst) {
    std::string out;
    for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it) {
        if (!out.empty()) {
            out.push_back('\n');
        }
        out += formatLocal(it->at) + "  " + it->sentence();
        if (it->subject || it->detail) {
            std::string inner = it->subject.value_or("");
            if (it->detail) {
                inner += (it->subject ? " - " : "") + *it->detail;
            }
            out += "  (" + inner + ")";
        }
    }
    return out;
}

} // namespace pelorn
