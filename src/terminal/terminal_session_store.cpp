#include "terminal/terminal_session_store.hpp"

#include "core/atomic_file.hpp"
#include "core/paths.hpp"
#include "core/process_runner.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "terminal/session_lifetime.hpp"

#include <glib.h>

namespace pelorn {

void to_json(nlohmann::json& j, const TermSessionInfo& info) {
    j = {{"name", info.name},
         {"created", info.created},
         {"attached", info.attached},
         {"activity", info.activity},
         {"windows", info.windows}};
    if (info.managed) {
        j["managed"] = *info.managed;
    }
}

void from_json(const nlohmann::json& j, TermSessionInfo& info) {
    j.at("name").get_to(info.name);
    j.at("created").get_to(info.created);
    j.at("attached").get_to(info.attached);
    j.at("activity").get_to(info.activity);
    j.at("windows").get_to(info.windows);
    info.managed = j.contains("managed") ? std::optional(j.at("managed").get<bool>()) : std::nullopt;
}

void to_json(nlohmann::json& j, const TermSessionsPayload& payload) {
    j = {{"available", payload.available},
         {"sessions", payload.sessions},
         {"attachCommand", payload.attachCommand}};
    if (payload.lifetimeHours) {
        j["lifetimeHours"] = *payload.lifetimeHours;
    }
}

void from_json(const nlohmann::json& j, TermSessionsPayload& payload) {
    j.at("available").get_to(payload.available);
    j.at("sessions").get_to(payload.sessions);
    j.at("attachCommand").get_to(payload.attachCommand);
    payload.lifetimeHours =
        j.contains("lifetimeHours") ? std::optional(j.at("lifetimeHours").get<int>()) : std::nullopt;
}

TerminalSessionStore::TerminalSessionStore(HostLoop& loop, TaskPool& pool, const Tmux& tmux,
                                           Settings& settings, TerminalOpener opener)
    : mLoop(loop), mPool(pool), mTmux(tmux), mSettings(settings), mOpener(std::move(opener)),
      mAvailable(tmux.isAvailable()) {
}

TerminalSessionStore::~TerminalSessionStore() = default;

void TerminalSessionStore::addWatcher() {
    ++mWatchers;
    refresh();
    if (!mTimer.isActive()) {
        mTimer.startRepeating(mLoop, refreshInterval, [this] { refresh(); });
    }
}

void TerminalSessionStore::removeWatcher() {
    mWatchers = std::max(mWatchers - 1, 0);
    if (mWatchers == 0) {
        mTimer.cancel();
    }
}

void TerminalSessionStore::refresh(std::function<void()> done) {
    if (done) {
        mAfterRefresh.push_back(std::move(done));
    }
    if (mRefreshing) {
        return;
    }
    mRefreshing = true;
    if (bool available = mTmux.isAvailable(); available != mAvailable.get()) {
        mAvailable.set(available);
    }
    // The pool thread touches only the tmux wrapper and the loop, which outlive the store.
    mPool.submit([&tmux = mTmux, &loop = mLoop, self = mLifetime.weak()] {
        auto listed = tmux.listSessions();
        loop.post([self, listed = std::move(listed)]() mutable {
            auto* owner = self.lock();
            if (!owner) {
                return;
            }
            auto& store = *owner;
            store.mRefreshing = false;
            if (auto* sessions = std::get_if<std::vector<Tmux::Session>>(&listed)) {
                if (*sessions != store.mSessions.get()) {
                    store.mSessions.set(std::move(*sessions));
                }
                if (store.mLastError.get()) {
                    store.mLastError.set(std::nullopt);
                }
            } else {
                store.mLastError.set(std::get<TmuxFailure>(listed).text());
            }
            for (auto& after : std::exchange(store.mAfterRefresh, {})) {
                after();
            }
        });
    });
}

void TerminalSessionStore::run(std::function<TmuxResult<std::monostate>()> work, Completion completion) {
    mPool.submit([&loop = mLoop, self = mLifetime.weak(), work = std::move(work),
                  completion = std::move(completion)]() mutable {
        auto result = work();
        loop.post([self, result = std::move(result), completion = std::move(completion)] {
            if (!self.lock() || !completion) {
                return;
            }
            auto* failure = std::get_if<TmuxFailure>(&result);
            completion(failure ? std::optional(*failure) : std::nullopt);
        });
    });
}

void TerminalSessionStore::create(const std::string& name, Completion completion) {
    run([&tmux = mTmux, name] { return tmux.newSession(name); }, std::move(completion));
}

void TerminalSessionStore::kill(const std::string& name, Completion completion) {
    run([&tmux = mTmux, name] { return tmux.killSession(name); }, std::move(completion));
}

void TerminalSessionStore::addHolder(const std::string& session, const std::string& label) {
    mHolders.update([&](Holders& holders) { holders[session].insert(label); });
}

void TerminalSessionStore::removeHolder(const std::string& session, const std::string& label) {
    if (!mHolders.get().count(session)) {
        return;
    }
    mHolders.update([&](Holders& holders) {
        auto& labels = holders[session];
        labels.erase(label);
        if (labels.empty()) {
            holders.erase(session);
        }
    });
}

std::vector<std::string> TerminalSessionStore::holderLabels(const std::string& session) const {
    auto found = mHolders.get().find(session);
    if (found == mHolders.get().end()) {
        return {};
    }
    return {found->second.begin(), found->second.end()}; // a std::set is already in ascending order
}

std::string TerminalSessionStore::suggestName() const {
    std::set<std::string> names;
    for (const auto& s : mSessions.get()) {
        names.insert(s.name);
    }
    return Tmux::suggestName(names);
}

std::string TerminalSessionStore::statusLabel(const Tmux::Session& session) const {
    auto labels = holderLabels(session.name);
    if (!labels.empty()) {
        std::string text = "Attached · ";
        for (std::size_t i = 0; i < labels.size(); ++i) {
            text += (i ? ", " : "") + labels[i];
        }
        return text;
    }
    return session.attachedClients <= 0 ? "Detached" : "Attached elsewhere";
}

TermSessionsPayload TerminalSessionStore::payload() const {
    TermSessionsPayload p{.available = mAvailable.get(),
                          .sessions = {},
                          .attachCommand = mTmux.attachCommand("NAME"),
                          .lifetimeHours = session_lifetime::hours(session_lifetime::current(mSettings))};
    for (const auto& s : mSessions.get()) {
        p.sessions.push_back({s.name, s.created, s.attachedClients, s.activity, s.windows, s.managed});
    }
    return p;
}

std::filesystem::path TerminalSessionStore::commandFile(const std::string& session) {
    // The name becomes one file name inside the folder, whatever it holds.
    std::string file = session;
    for (auto& c : file) {
        if (c == '/' || c == '\0') {
            c = '_';
        }
    }
    if (file.empty() || file == "." || file == "..") {
        file = "_" + file;
    }
    return appRuntimeDir() / "sessions" / (file + ".command");
}

void TerminalSessionStore::openInTerminal(const std::string& session) {
    auto fail = [this](const std::string& reason) { mLastError.set("Couldn't open Terminal: " + reason); };
    std::error_code ec;
    auto file = commandFile(session);
    // A launcher in a folder someone else can write to could be swapped before it runs.
    if (auto error = makePrivateFolders(runtimeRoot(), file.parent_path())) {
        fail(*error);
        return;
    }
    // zsh where it exists, as the owner's scripts expect; otherwise the POSIX shell.
    std::string shell = std::filesystem::exists("/bin/zsh") ? "/bin/zsh" : "/bin/sh";
    if (auto error =
            writeFileAtomically(file, "#!" + shell + "\nclear\nexec " + mTmux.attachCommand(session), 0755)) {
        fail(*error);
        return;
    }
    std::filesystem::permissions(file, std::filesystem::perms(0755), ec);
    if (auto error = mOpener(file)) {
        fail(*error);
    }
}

TerminalOpener TerminalSessionStore::desktopOpener() {
    return [](const std::filesystem::path& script) -> std::optional<std::string> {
        std::vector<std::string> argv;
        if (auto* terminal = g_find_program_in_path("x-terminal-emulator")) {
            argv = {terminal, "-e", script.string()};
            g_free(terminal);
        } else if (auto* opener = g_find_program_in_path("xdg-open")) {
            argv = {opener, script.string()};
            g_free(opener);
        } else {
            return "no terminal application was found (x-terminal-emulator or xdg-open).";
        }
        auto args = cStrings(argv);
        GError* error = nullptr;
        // Without DO_NOT_REAP_CHILD GLib detaches the child, so nothing waits for the window to close.
        if (!g_spawn_async(nullptr, args.data(), nullptr,
                           GSpawnFlags(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
                           nullptr, nullptr, &error)) {
            std::string text = error->message;
            g_error_free(error);
            return text;
        }
        return std::nullopt;
    };
}

} // namespace pelorn
