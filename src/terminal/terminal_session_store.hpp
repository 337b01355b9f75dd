#pragma once

#include "core/host_loop.hpp"
#include "core/json.hpp"
#include "core/lifetime.hpp"
#include "core/published.hpp"
#include "terminal/tmux.hpp"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pelorn {

class Settings;
class TaskPool;

// One session as clients see it in "term_sessions".
struct TermSessionInfo {
    std::string name;
    double created = 0;
    long long attached = 0;
    double activity = 0;
    long long windows = 0;
    std::optional<bool> managed;
    bool operator==(const TermSessionInfo&) const = default;
};

struct TermSessionsPayload {
    bool available = false;
    std::vector<TermSessionInfo> sessions;
    std::string attachCommand;
    std::optional<int> lifetimeHours;
    bool operator==(const TermSessionsPayload&) const = default;
};

void to_json(nlohmann::json& j, const TermSessionInfo& info);
void from_json(const nlohmann::json& j, TermSessionInfo& info);
void to_json(nlohmann::json& j, const TermSessionsPayload& payload);
void from_json(const nlohmann::json& j, TermSessionsPayload& payload);

// Opens a script in the desktop's terminal application; returns an error text on failure.
using TerminalOpener = std::function<std::optional<std::string>(const std::filesystem::path& script)>;

// The host's picture of the tmux sessions: the list, whether tmux is there, which of this host's
// clients hold which session, and the last error. Refreshes every 2 s while anyone watches.
// Host loop only; tmux runs on the task pool.
class TerminalSessionStore {
public:
    static constexpr auto refreshInterval = std::chrono::seconds(2);
    using Holders = std::map<std::string, std::set<std::string>>;
    // Absent on success.
    using Completion = std::function<void(std::optional<TmuxFailure>)>;

    TerminalSessionStore(HostLoop& loop, TaskPool& pool, const Tmux& tmux, Settings& settings,
                         TerminalOpener opener = desktopOpener());
    ~TerminalSessionStore();
    static TerminalSessionStore& shared();

    const Published<std::vector<Tmux::Session>>& sessions() const { return mSessions; }
    const Published<bool>& available() const { return mAvailable; }
    const Published<Holders>& holders() const { return mHolders; }
    const Published<std::optional<std::string>>& lastError() const { return mLastError; }
    int watchers() const { return mWatchers; }
    bool isRefreshing() const { return mRefreshing; }
    bool isPolling() const { return mTimer.isActive(); }

    void addWatcher();
    void removeWatcher();
    // Starts one background refresh unless one is in flight; `done` runs on the loop after it.
    void refresh(std::function<void()> done = {});
    void create(const std::string& name, Completion completion);
    void kill(const std::string& name, Completion completion);

    void addHolder(const std::string& session, const std::string& label);
    void removeHolder(const std::string& session, const std::string& label);
    std::vector<std::string> holderLabels(const std::string& session) const;
    std::string suggestName() const;
    // "Attached · iPad", "Detached" or "Attached elsewhere".
    std::string statusLabel(const Tmux::Session& session) const;

    TermSessionsPayload payload() const;
    std::string attachCommand(const std::string& session) const { return mTmux.attachCommand(session); }
    // Writes "<tmp>/pelorn-sessions/<name>.command" and opens it in the desktop's terminal.
    void openInTerminal(const std::string& session);
    // Where openInTerminal writes the script for `session`.
    static std::filesystem::path commandFile(const std::string& session);

    // The desktop's own terminal: x-terminal-emulator -e, else the XDG default application.
    static TerminalOpener desktopOpener();

    TerminalSessionStore(const TerminalSessionStore&) = delete;
    TerminalSessionStore& operator=(const TerminalSessionStore&) = delete;

private:
    void run(std::function<TmuxResult<std::monostate>()> work, Completion completion);

    HostLoop& mLoop;
    TaskPool& mPool;
    const Tmux& mTmux;
    Settings& mSettings;
    TerminalOpener mOpener;
    Published<std::vector<Tmux::Session>> mSessions;
    Published<bool> mAvailable;
    Published<Holders> mHolders;
    Published<std::optional<std::string>> mLastError;
    int mWatchers = 0;
    Timer mTimer;
    bool mRefreshing = false;
    std::vector<std::function<void()>> mAfterRefresh;
    // Lets background results notice the store is gone.
    Lifetime<TerminalSessionStore> mLifetime{this};
};

} // namespace pelorn
