#include "app/control/terminal_commands.hpp"

#include "activity/event_log.hpp"
#include "app/control/control_commands.hpp"
#include "core/host_loop.hpp"
#include "terminal/session_lifetime.hpp"
#include "terminal/terminal_session_store.hpp"

namespace pelorn {

namespace {

std::string lifetimeText(SessionLifetime lifetime) {
    int hours = session_lifetime::hours(lifetime);
    return hours == 0 ? "never" : std::to_string(hours) + " h";
}

ControlResponse listing(const TerminalCommandServices& s) {
    auto& store = s.store;
    if (!store.available().get()) {
        return ControlResponse::failure(TmuxFailure{TmuxFailure::Kind::NotInstalled, ""}.text());
    }
    if (auto error = store.lastError().get()) {
        return ControlResponse::failure(*error);
    }
    double now = std::chrono::duration<double>(s.loop.wallNow().time_since_epoch()).count();
    int hours = session_lifetime::hours(session_lifetime::current(s.settings));
    std::string text;
    auto data = nlohmann::json::array();
    for (const auto& session : store.sessions().get()) {
        auto status = store.statusLabel(session);
        auto idle = idleEndText(session.managed, hours, session.activity, now);
        text += (text.empty() ? "" : "\n") + session.name + "  " + status + (idle.empty() ? "" : "  " + idle);
        data.push_back({{"name", session.name},
                        {"status", status},
                        {"idle", idle},
                        {"created", ageText(session.created, now)},
                        {"managed", session.managed},
                        {"attached", session.attachedClients},
                        {"windows", session.windows}});
    }
    return ControlResponse::success(text.empty() ? "no sessions" : text, data);
}

void sessions(const TerminalCommandServices& s, const ControlRequest& request, ControlCommands::Reply reply) {
    const auto& args = request.args;
    bool creating = !args.empty() && args[0] == "new" && args.size() <= 2;
    bool ending = args.size() == 2 && args[0] == "end";
    if (!args.empty() && !creating && !ending) {
        reply(ControlResponse::failure("usage: sessions [new [NAME] | end NAME]"));
        return;
    }
    // Each answer starts from a fresh listing, so names and statuses are current.
    s.store.refresh([s, args, creating, ending, reply] {
        if (!creating && !ending) {
            reply(listing(s));
            return;
        }
        std::string name = args.size() == 2 ? args[1] : s.store.suggestName();
        auto done = [s, name, creating, reply](std::optional<TmuxFailure> failure) {
            if (failure) {
                reply(ControlResponse::failure(failure->text()));
                return;
            }
            auto valid = Tmux::validateName(name);
            auto shown =
                creating && std::holds_alternative<std::string>(valid) ? std::get<std::string>(valid) : name;
            s.log.record(creating ? LoggedEvent::Kind::SessionCreated : LoggedEvent::Kind::SessionEnded,
                         shown);
            s.store.refresh();
            reply(ControlResponse::success((creating ? "created " : "ended ") + shown,
                                           nlohmann::json{{"name", shown}}));
        };
        if (creating) {
            s.store.create(name, done);
        } else {
            s.store.kill(name, done);
        }
    });
}

ControlResponse lifetime(const TerminalCommandServices& s, const ControlRequest& request) {
    if (request.args.empty()) {
        auto current = session_lifetime::current(s.settings);
        return ControlResponse::success(lifetimeText(current),
                                        nlohmann::json{{"lifetimeHours", session_lifetime::hours(current)}});
    }
    std::optional<SessionLifetime> chosen;
    if (request.args.size() == 1) {
        const auto& a = request.args[0];
        if (a == "never") {
            chosen = SessionLifetime::Never;
        } else if (!a.empty() && a.size() <= 3 && a.find_first_not_of("0123456789") == std::string::npos) {
            chosen = session_lifetime::fromHours(std::stoll(a));
        }
    }
    if (!chosen) {
        return ControlResponse::failure("usage: lifetime [never | 0 | 1 | 3 | 6 | 12 | 24]");
    }
    session_lifetime::set(s.settings, s.notifications, *chosen);
    return ControlResponse::success("idle sessions end after: " + lifetimeText(*chosen),
                                    nlohmann::json{{"lifetimeHours", session_lifetime::hours(*chosen)}});
}

} // namespace

void registerTerminalCommands(ControlCommands& commands, TerminalCommandServices services) {
    commands.add("sessions", [services](const ControlRequest& request, ControlCommands::Reply reply) {
        sessions(services, request, std::move(reply));
    });
    commands.add("lifetime", [services](const ControlRequest& request, ControlCommands::Reply reply) {
        reply(lifetime(services, request));
    });
}

} // namespace pelorn
