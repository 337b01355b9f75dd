#include "terminal/session_reaper.hpp"

#include "activity/event_log.hpp"
#include "core/log.hpp"
#include "core/notification_center.hpp"
#include "core/task_pool.hpp"
#include "terminal/terminal_session_store.hpp"

#include <chrono>

namespace pelorn {

SessionReaper::SessionReaper(Services services) : mServices(std::move(services)) {
    if (!mServices.listSessions) {
        mServices.listSessions = [&tmux = mServices.tmux] { return tmux.listSessions(); };
    }
}

SessionReaper::~SessionReaper() = default;

void SessionReaper::start() {
    if (mTimer.isActive()) {
        return;
    }
    mTimer.startRepeating(mServices.loop, sweepInterval, [this] { sweep(); });
    sweep();
    mLifetimeChanges = mServices.notifications.observe(session_lifetime::changedNotification,
                                                       [this](const nlohmann::json&) { sweep(); });
}

void SessionReaper::sweep() {
    if (mWorking) {
        return;
    }
    auto lifetime = session_lifetime::current(mServices.settings);
    auto allowed = session_lifetime::allowedIdle(lifetime);
    if (!allowed) {
        return;
    }
    mWorking = true;
    // The listing's times are wall-clock seconds; the loop's wall clock lets tests set "now".
    double now = std::chrono::duration<double>(mServices.loop.wallNow().time_since_epoch()).count();
    int hours = session_lifetime::hours(lifetime);
    mServices.pool.submit(
        [services = mServices, self = mLifetime.weak(), now, allowed = allowed->count(), hours] {
            auto listed = services.listSessions();
            auto* sessions = std::get_if<std::vector<Tmux::Session>>(&listed);
            bool anyCandidate = false;
            for (const auto& s : sessions ? *sessions : std::vector<Tmux::Session>{}) {
                if (!s.managed || s.activity > now - static_cast<double>(allowed)) {
                    continue;
                }
                anyCandidate = true;
                auto killed = services.tmux.run({"kill-session", "-t", Tmux::exactTarget(s.name)});
                if (auto* failure = std::get_if<TmuxFailure>(&killed)) {
                    Log::shared().info("⏳ PELORN: could not end " + s.name + " - " + failure->text());
                    continue;
                }
                services.log.record(LoggedEvent::Kind::SessionExpired, s.name,
                                    "idle over " + std::to_string(hours) + "h");
                Log::shared().info("⏳ PELORN: ended session " + s.name + " (idle over " +
                                   std::to_string(hours) + " h)");
            }
            services.loop.post([self, anyCandidate] {
                auto* reaper = self.lock();
                if (!reaper) {
                    return;
                }
                if (anyCandidate) {
                    reaper->mServices.store.refresh(); // so clients see the sessions go
                }
                reaper->mWorking = false;
            });
        });
}

} // namespace pelorn
