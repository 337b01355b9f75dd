#include "terminal/tmux.hpp"

#include "core/process_runner.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <random>
#include <unistd.h>

extern char** environ;

namespace pelorn {

namespace {

constexpr std::array<std::string_view, 6> searchDirectories{
    "/opt/homebrew/bin", "/usr/local/bin", "/usr/bin", "/bin", "/usr/sbin", "/sbin"};

constexpr std::array<std::string_view, 32> adjectives{
    "silent", "gentle", "quiet",  "brave", "calm",  "bright", "swift", "still",  "amber",  "golden", "misty",
    "hidden", "lucky",  "wild",   "lunar", "solar", "velvet", "crisp", "hollow", "mellow", "rapid",  "shy",
    "bold",   "pale",   "frosty", "sunny", "dusty", "early",  "late",  "cool",   "warm",   "deep"};
constexpr std::array<std::string_view, 32> nouns{
    "pine",  "glade",  "river",   "harbor", "meadow",  "ridge",  "canyon",  "grove",
    "delta", "summit", "orchard", "lagoon", "prairie", "willow", "cedar",   "maple",
    "otter", "heron",  "falcon",  "fox",    "lynx",    "raven",  "sparrow", "wren",
    "comet", "ember",  "pebble",  "tide",   "cloud",   "dune",   "reef",    "brook"};

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<double> parseDouble(std::string_view field) {
    double value = 0;
    if (field.empty() || field.front() == ' ' || field.front() == '+') {
        return std::nullopt;
    }
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<long long> parseInteger(std::string_view field) {
    if (!field.empty() && field.front() == '+') {
        field.remove_prefix(1);
        if (!field.empty() && field.front() == '-') {
            return std::nullopt;
        }
    }
    long long value = 0;
    auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (field.empty() || error != std::errc() || end != field.data() + field.size()) {
        return std::nullopt;
    }
    return value;
}

bool isNoServer(const std::string& message) {
    auto lower = lowercased(message);
    auto has = [&](const char* part) { return lower.find(part) != std::string::npos; };
    // The last two: a server that was ending as we asked (its last session just closed).
    return has("no server running") || has("no sessions") ||
           (has("error connecting to") && (has("no such file") || has("connection refused"))) ||
           has("server exited unexpectedly");
}

} // namespace

std::string TmuxFailure::text() const {
    return kind == Kind::NotInstalled ? "tmux is not available on this Mac." : message;
}

Tmux::Tmux(std::vector<std::filesystem::path> candidates, std::filesystem::path ownCopy)
    : mCandidates(std::move(candidates)), mOwnCopy(std::move(ownCopy)) {
}

std::optional<std::filesystem::path> Tmux::locate() const {
    for (const auto& candidate : mCandidates) {
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    if (isExecutableFile(mOwnCopy)) {
        return mOwnCopy;
    }
    return std::nullopt;
}

bool Tmux::usesOwnCopy() const {
    auto located = locate();
    return located && *located == mOwnCopy;
}

std::vector<std::string> Tmux::environmentFrom(std::vector<std::string> base, const std::string& home,
                                               const std::string& loginShell) {
    auto find = [&](std::string_view name) {
        return std::find_if(base.begin(), base.end(), [&](const std::string& entry) {
            return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
                   entry[name.size()] == '=';
        });
    };
    auto set = [&](std::string_view name, const std::string& value) {
        auto entry = std::string(name) + "=" + value;
        if (auto it = find(name); it != base.end()) {
            *it = entry;
        } else {
            base.push_back(entry);
        }
    };
    auto get = [&](std::string_view name) -> std::optional<std::string> {
        auto it = find(name);
        return it == base.end() ? std::nullopt : std::optional(it->substr(name.size() + 1));
    };

    std::vector<std::string> pieces;
    std::string path = get("PATH").value_or("");
    for (std::size_t at = 0; at <= path.size();) {
        auto end = path.find(':', at);
        end = end == std::string::npos ? path.size() : end;
        if (end > at) {
            pieces.push_back(path.substr(at, end - at));
        }
        at = end + 1;
    }
    for (auto dir : searchDirectories) {
        if (std::find(pieces.begin(), pieces.end(), dir) == pieces.end()) {
            pieces.emplace_back(dir);
        }
    }
    std::string joined;
    for (const auto& p : pieces) {
        joined += (joined.empty() ? "" : ":") + p;
    }
    set("PATH", joined);
    set("TERM", "xterm-256color");
    if (!get("LANG")) {
        set("LANG", "en_US.UTF-8");
    }
    set("HOME", home);
    if (!get("SHELL")) {
        set("SHELL", loginShell);
    }
    return base;
}

std::vector<std::string> Tmux::environment() const {
    std::vector<std::string> base;
    for (char** e = environ; *e; ++e) {
        base.emplace_back(*e);
    }
    return environmentFrom(std::move(base), userHome(), userLoginShell());
}

TmuxResult<std::string> Tmux::run(const std::vector<std::string>& arguments) const {
    auto tmux = locate();
    if (!tmux) {
        return TmuxFailure{TmuxFailure::Kind::NotInstalled, ""};
    }
    std::vector<std::string> argv{tmux->string(), "-u"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.environment = environment();
    options.workingDirectory = userHome();
    auto result = runProcess(argv, options);
    if (!result.started) {
        return TmuxFailure{TmuxFailure::Kind::Command, result.error};
    }
    if (result.succeeded()) {
        return validUtf8(result.out);
    }
    auto message = trimmed(validUtf8(result.err));
    if (message.empty()) {
        message = result.timedOut ? "tmux did not finish in time"
                                  : "tmux exited with " +
                                        std::to_string(result.signal ? 128 + result.signal : result.exitCode);
    }
    return TmuxFailure{TmuxFailure::Kind::Command, message};
}

const std::string& Tmux::listingFormat() {
    static const std::string format = "#{session_name}\t#{session_created}\t#{session_attached}\t"
                                      "#{session_activity}\t#{session_windows}\t#{@pelorn}";
    return format;
}

std::optional<Tmux::Session> Tmux::parseListingLine(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
        auto end = line.find('\t', at);
        fields.push_back(line.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) {
            break;
        }
        at = end + 1;
    }
    if (fields.size() != 6) {
        return std::nullopt;
    }
    auto created = parseDouble(fields[1]), activity = parseDouble(fields[3]);
    auto attached = parseInteger(fields[2]), windows = parseInteger(fields[4]);
    if (!created || !activity || !attached || !windows) {
        return std::nullopt;
    }
    return Session{std::string(fields[0]), *created, *attached, *activity, *windows, fields[5] == "1"};
}

TmuxResult<std::vector<Tmux::Session>> Tmux::listSessions() const {
    auto output = run({"list-sessions", "-F", listingFormat()});
    if (auto* failure = std::get_if<TmuxFailure>(&output)) {
        if (failure->kind == TmuxFailure::Kind::Command && isNoServer(failure->message)) {
            return std::vector<Session>{};
        }
        return *failure;
    }
    std::vector<Session> sessions;
    std::string_view text = std::get<std::string>(output);
    while (!text.empty()) {
        auto end = text.find('\n');
        auto line = text.substr(0, end);
        if (auto session = parseListingLine(line)) {
            sessions.push_back(std::move(*session));
        }
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return sessions;
}

TmuxResult<std::string> Tmux::validateName(std::string_view name) {
    auto trimmedName = trimmed(name);
    if (trimmedName.empty()) {
        return TmuxFailure{TmuxFailure::Kind::InvalidName, "Give the session a name."};
    }
    if (trimmedName.find_first_of(":.") != std::string::npos) {
        return TmuxFailure{TmuxFailure::Kind::InvalidName, "Session names can't contain “:” or “.”"};
    }
    if (codePointCount(trimmedName) > maxNameLength) {
        return TmuxFailure{TmuxFailure::Kind::InvalidName, "Keep the name under 40 characters."};
    }
    return trimmedName;
}

namespace {

std::string withLiteralEnd(std::string argument) {
    if (argument.ends_with(';')) {
        argument.insert(argument.size() - 1, "\\");
    }
    return argument;
}

} // namespace

std::string Tmux::exactTarget(std::string_view name) {
    // "=" makes the target an exact name, so "work" never ends "work2".
    return withLiteralEnd("=" + std::string(name));
}

std::string Tmux::newSessionName(std::string_view name) {
    std::string out;
    for (char c : name) {
        out += c == '#' ? "##" : std::string(1, c);
    }
    return withLiteralEnd(std::move(out));
}

TmuxResult<std::monostate> Tmux::newSession(const std::string& name) const {
    auto valid = validateName(name);
    if (auto* failure = std::get_if<TmuxFailure>(&valid)) {
        return *failure;
    }
    const auto& n = std::get<std::string>(valid);
    auto result =
        run({"new-session", "-d", "-s", newSessionName(n), "-c", userHome(), ";", "set-option", "-t",
             // set-option takes a pane: the session is named by the exact name and a ":".
             "=" + n + ":", "@pelorn", "1"});
    if (auto* failure = std::get_if<TmuxFailure>(&result)) {
        return *failure;
    }
    return std::monostate{};
}

TmuxResult<std::monostate> Tmux::killSession(const std::string& name) const {
    auto result = run({"kill-session", "-t", exactTarget(name)});
    if (auto* failure = std::get_if<TmuxFailure>(&result)) {
        return *failure;
    }
    return std::monostate{};
}

std::string Tmux::attachCommand(const std::string& name) const {
    std::string program = "tmux";
    if (usesOwnCopy()) {
        program = "'" + locate()->string() + "'";
    }
    // The command is pasted into, or run by, a shell: a name with shell syntax in it is quoted.
    bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || std::strchr("-_@%+=,", c) != nullptr;
    });
    if (plain) {
        return program + " attach -t " + name;
    }
    std::string quoted = "'";
    for (char c : name) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return program + " attach -t " + quoted + "'";
}

std::string Tmux::suggestName(const std::set<std::string>& existing) {
    static thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, 31);
    for (int attempt = 0; attempt < 32; ++attempt) {
        auto name = std::string(adjectives[pick(random)]) + "-" + std::string(nouns[pick(random)]);
        if (!existing.count(name)) {
            return name;
        }
    }
    return "session-" + std::to_string(std::uniform_int_distribution<int>(100, 999)(random));
}

namespace {

// One field of this user's password entry; empty when there is none. getpwuid_r, because tmux
// commands run on several threads at once and getpwuid's answer lives in one shared buffer.
std::string passwordField(char* passwd::*field) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !(found->*field)) {
        return {};
    }
    return found->*field;
}

} // namespace

std::string userHome() {
    if (auto home = passwordField(&passwd::pw_dir); !home.empty()) {
        return home;
    }
    const char* home = std::getenv("HOME");
    return home ? home : "/";
}

std::string userLoginShell() {
    auto shell = passwordField(&passwd::pw_shell);
    return shell.empty() ? "/bin/sh" : shell;
}

} // namespace pelorn
