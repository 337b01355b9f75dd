#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pelorn {

// What went wrong running tmux; `text` is what users and clients are shown.
struct TmuxFailure {
    enum class Kind { InvalidName, Command, NotInstalled };
    Kind kind;
    std::string message; // empty for NotInstalled

    std::string text() const;
    bool operator==(const TmuxFailure&) const = default;
};

template <class T> using TmuxResult = std::variant<T, TmuxFailure>;

// Every shell session the host offers is a session on the user's default tmux server, so it
// outlives the connection and the host. Sessions the host makes carry the user option @pelorn=1.
// Each call runs one short tmux process and blocks until it exits: call from background tasks.
class Tmux {
public:
    struct Session {
        std::string name;
        double created = 0; // seconds since 1970
        long long attachedClients = 0;
        double activity = 0; // seconds since 1970
        long long windows = 0;
        bool managed = false;
        bool operator==(const Session&) const = default;
    };

    static constexpr std::size_t maxNameLength = 40;

    // The executables tried in order; the last is the host's own copy.
    explicit Tmux(std::vector<std::filesystem::path> candidates, std::filesystem::path ownCopy);
    static Tmux& shared();

    std::optional<std::filesystem::path> locate() const;
    bool isAvailable() const { return locate().has_value(); }
    bool usesOwnCopy() const;
    // "NAME=value" entries for every tmux process.
    std::vector<std::string> environment() const;

    // tmux's standard output, untrimmed.
    TmuxResult<std::string> run(const std::vector<std::string>& arguments) const;
    TmuxResult<std::vector<Session>> listSessions() const;
    TmuxResult<std::monostate> newSession(const std::string& name) const;
    TmuxResult<std::monostate> killSession(const std::string& name) const;
    std::string attachCommand(const std::string& name) const;

    static TmuxResult<std::string> validateName(std::string_view name);
    // A session name as tmux must be given it to take it literally. tmux reads an argument that
    // ends in ";" as the end of a command, so that ";" is escaped; a new session's name is also
    // expanded as a format ("#(cmd)" would run cmd), so there "#" is doubled.
    static std::string exactTarget(std::string_view name);    // "-t", matching this name only
    static std::string newSessionName(std::string_view name); // "-s"
    static std::string suggestName(const std::set<std::string>& existing);
    // One line of the listing; absent when it is not in the expected shape.
    static std::optional<Session> parseListingLine(std::string_view line);
    // The environment tmux gets from `base` (the process's own, "NAME=value").
    static std::vector<std::string> environmentFrom(std::vector<std::string> base, const std::string& home,
                                                    const std::string& loginShell);
    static const std::string& listingFormat();

private:
    std::vector<std::filesystem::path> mCandidates;
    std::filesystem::path mOwnCopy;
};

// The user's home folder and login shell from the password database ($HOME and "/bin/sh" without).
std::string userHome();
std::string userLoginShell();

} // namespace pelorn
