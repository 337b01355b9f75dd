#pragma once

// The window's texts that follow rules: the password hint, dates, the log's ranges and headings.
// Plain C++, so they are tested without a display.
#include "ui/ui_host.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pelorn::ui {

using Clock = std::chrono::system_clock;

// The main window's sections, in the rail's order.
struct Section {
    std::string_view value;
    std::string_view symbol;
};
inline constexpr std::array<Section, 5> sections{{{"Connect", "wifi"},
                                                  {"Terminal", "terminal"},
                                                  {"Devices", "ipad.and.iphone"},
                                                  {"Logs", "list.bullet"},
                                                  {"Account", "person.crop.circle"}}};
// The index of the stored "initialSection"; Connect for anything that names no section.
std::size_t initialSection(std::string_view stored);

// The master password form.
inline constexpr std::size_t minimumPasswordLength = 4;
struct PasswordFormState {
    std::size_t length = 0; // user-perceived characters of the password
    std::string password;
    std::string confirmation;
    bool saving = false;
};
std::string passwordHint(const PasswordFormState& form);
bool canSavePassword(const PasswordFormState& form);

// "2 hours ago", in full words; "just now" within a minute.
std::string relativeTime(Clock::time_point then, Clock::time_point now);
// "5 Dec", local time.
std::string dayAndMonth(Clock::time_point at);
// "5 Dec 2026", local time.
std::string abbreviatedDate(Clock::time_point at);

// The idle lifetimes of terminal sessions the account section offers: hours (0: never) and label.
inline constexpr std::array<std::pair<int, const char*>, 6> sessionLifetimes{
    {{0, "Never"}, {1, "1 hour"}, {3, "3 hours"}, {6, "6 hours"}, {12, "12 hours"}, {24, "24 hours"}}};
// The mail that "Contact support" starts: to the address, with the account's id below the body.
std::string supportMailUrl(const std::string& address, const std::string& accountId);

// The log's ranges and the texts around them.
inline constexpr std::array<int, 4> logRanges{1, 7, 14, 30};
std::string rangeLabel(int days);
std::string logsIntro(int days);
// "Today", "Yesterday", else "Monday, 1 December"; local days.
std::string dayHeading(Clock::time_point day, Clock::time_point now);
// Whether the event falls on one of the last `days` local calendar days, today included.
bool withinRange(Clock::time_point at, int days, Clock::time_point now);
// Local midnight of the day `at` falls on.
Clock::time_point startOfDay(Clock::time_point at);
std::string olderNote(std::size_t count, int days);
// The copied text of the entries shown: oldest first, a line each.
std::string exportText(const std::vector<UiEvent>& newestFirst);

// The log's filter: all entries or one category.
struct LogFilter {
    std::string_view label;
    std::string_view category; // empty: all
};
inline constexpr std::array<LogFilter, 4> logFilters{
    {{"All", ""}, {"Connections", "connection"}, {"Security", "security"}, {"Terminal", "terminal"}}};

// The symbol names the host uses, as freedesktop icon names.
std::string_view iconName(std::string_view symbol);

} // namespace pelorn::ui
