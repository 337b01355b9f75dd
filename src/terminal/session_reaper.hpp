#pragma once

#include "core/host_loop.hpp"
#include "core/lifetime.hpp"
#include "core/subscription.hpp"
#include "terminal/session_lifetime.hpp"
#include "terminal/tmux.hpp"

#include <functional>
#include <memory>

namespace pelorn {

class EventLog;
class NotificationCenter;
class Settings;
class TaskPool;
class TerminalSessionStore;

// Once a minute, and whenever the owner changes the lifetime, ends every host-made session whose
// last activity is at least the lifetime ago. Sessions made by hand are never touched; attached
// clients do not protect an idle session. Runs from launch to exit, online or not.
class SessionReaper {
public:
    static constexpr auto sweepInterval = std::chrono::seconds(60);

    struct Services {
        HostLoop& loop;
        TaskPool& pool;
        const Tmux& tmux;
        Settings& settings;
        NotificationCenter& notifications;
        TerminalSessionStore& store;
        EventLog& log;
        // The sessions to consider; the real listing unless a test gives its own.
        std::function<TmuxResult<std::vector<Tmux::Session>>()> listSessions = {};
    };

    explicit SessionReaper(Services services);
    ~SessionReaper();

    void start(); // idempotent
    void sweep();
    bool isWorking() const { return mWorking; }

    SessionReaper(const SessionReaper&) = delete;
    SessionReaper& operator=(const SessionReaper&) = delete;

private:
    Services mServices;
    Timer mTimer;
    Subscription mLifetimeChanges;
    bool mWorking = false;
    Lifetime<SessionReaper> mLifetime{this};
};

} // namespace pelorn
