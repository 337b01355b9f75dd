#include "app/window_host.hpp"

#include "access/device_approval_coordinator.hpp"
#include "access/master_password_store.hpp"
#include "access/security.hpp"
#include "access/trusted_device_store.hpp"
#include "account/update_checker.hpp"
#include "activity/event_log.hpp"
#include "app/control/control_commands.hpp"
#include "cloud/cloud_config.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "terminal/mac_terminal_controller.hpp"
#include "terminal/session_lifetime.hpp"
#include "terminal/terminal_session_store.hpp"

namespace pelorn {

namespace {

// The stored range of the log, days; 30 for anything unusable.
int logsRangeDays(Settings& settings) {
    auto days = settings.integer("logsRangeDays", 30);
    return days > 0 && days <= 3650 ? static_cast<int>(days) : 30;
}

} // namespace

// One local terminal view: its controller on the host loop, its page on the UI thread.
class WindowHost::LocalTerminal final : public TerminalPage,
                                        public std::enable_shared_from_this<LocalTerminal> {
public:
    LocalTerminal(WindowHost& host, UiTerminalPage page) : mHost(host), mPage(std::move(page)) {}

    // Host loop.
    void start(const std::string& session) {
        auto& deps = mHost.mDeps;
        mController = std::make_unique<MacTerminalController>(deps.loop, deps.tmux, deps.sessions, session,
                                                              weak_from_this());
        auto changed = [this](const auto&) { publish(); };
        mSubscriptions.push_back(mController->error().subscribe(changed));
        mSubscriptions.push_back(mController->attached().subscribe(changed));
        mSubscriptions.push_back(mController->finished().subscribe(changed));
        publish();
    }
    void stop() {
        mSubscriptions.clear();
        mController.reset();
    }
    MacTerminalController* controller() const { return mController.get(); }

    void evaluate(const std::string& script, std::function<void(bool)> done) override {
        toUi([script, done = std::move(done)](LocalTerminal& terminal) {
            std::function<void(bool)> back;
            if (done) {
                back = [loop = &terminal.mHost.mDeps.loop, done](bool isTrue) {
                    loop->post([done, isTrue] { done(isTrue); });
                };
            }
            terminal.mPage.evaluate(script, back);
        });
    }
    void setClipboard(const std::string& text) override {
        toUi([text](LocalTerminal& terminal) { terminal.mPage.setClipboard(text); });
    }
    void readClipboard(std::function<void(std::optional<std::string>)> done) override {
        toUi([done = std::move(done)](LocalTerminal& terminal) {
            terminal.mHost.mDeps.loop.post([done, text = terminal.mPage.clipboardText()] { done(text); });
        });
    }

    // UI thread: the view is open, and the page may be used.
    bool open = true;

private:
    void publish() {
        UiTerminalState state{mController->error().get(), mController->attached().get(),
                              mController->finished().get()};
        toUi([state](LocalTerminal& terminal) { terminal.mPage.changed(state); });
    }
    // Runs `task` on the UI thread while the view is open.
    void toUi(std::function<void(LocalTerminal&)> task) {
        mHost.toUi([self = weak_from_this(), task = std::move(task)] {
            auto terminal = self.lock();
            if (terminal && terminal->open) {
                task(*terminal);
            }
        });
    }

    WindowHost& mHost;
    const UiTerminalPage mPage;
    // Host loop.
    std::unique_ptr<MacTerminalController> mController;
    std::vector<Subscription> mSubscriptions;
};

WindowHost::WindowHost(Dependencies deps) : mDeps(std::move(deps)) {
}

UiLinks WindowHost::configuredLinks() {
    std::vector<std::string> problems; // said at launch, where the update checker is made
    return {websiteUrl(processEnvironment(), PELORN_WEBSITE, problems).value_or(""), PELORN_APP_STORE_URL,
            PELORN_SUPPORT_EMAIL};
}

WindowHost::~WindowHost() {
    mLifetime.end();
}

UiState WindowHost::currentState() const {
    auto& settings = mDeps.settings;
    UiState s;
    s.signedIn = settings.boolean("isAuthenticated");
    s.hasCompletedOnboarding = settings.boolean("hasCompletedOnboarding");
    s.accountEmail = settings.string("userEmail");
    s.accountName = settings.string("userName");
    s.passwordSet = mDeps.passwords.isSet().get();
    s.online = mDeps.online.get();
    s.lastError = mDeps.lastError.get();
    s.keepAwake = mDeps.keepAwake && mDeps.keepAwake();
    s.closedLidRequested = mDeps.closedLidRequested.get();
    s.closedLidError = mDeps.closedLidError.get();
    s.frontRequests = mFrontRequests;
    if (const auto& pending = mDeps.approvals.pending().get()) {
        s.approval = UiApproval{pending->id, pending->deviceId, pending->deviceName, pending->deviceModel,
                                pending->via};
    }
    const auto& connected = mDeps.devices.connected().get();
    for (const auto& d : mDeps.devices.devices().get()) {
        s.devices.push_back({d.id, d.name, d.model, d.approvedAt, d.lastSeenAt, connected.contains(d.id)});
    }
    for (const auto& e : mDeps.log.events().get()) {
        s.events.push_back({e.id, e.at, e.sentence(), std::string(LoggedEvent::icon(e.kind)),
                            std::string(LoggedEvent::value(LoggedEvent::category(e.kind))), exportText({e})});
    }
    s.logsRangeDays = logsRangeDays(settings);
    s.initialSection = settings.string("initialSection");
    s.tmuxAvailable = mDeps.sessions.available().get();
    s.sessions = sessionRows();
    s.sessionsError = mDeps.sessions.lastError().get();
    s.accountUid = settings.string("userUID");
    s.deletingAccount = mDeps.deleting && mDeps.deleting->get();
    s.sessionLifetimeHours = session_lifetime::hours(session_lifetime::current(settings));
    s.passwordUpdatedAt = mDeps.passwords.updatedAt().get();
    if (auto* updates = mDeps.updates) {
        s.updatesConfigured = true;
        s.checkingForUpdates = updates->checking().get();
        s.updateStatus = updates->status().get();
        if (const auto& offered = updates->available().get()) {
            s.update = UiRelease{offered->version, offered->url};
        }
        s.updateRequired = updates->required().get();
    }
    s.links = mDeps.links;
    s.startAtLogin = mDeps.startAtLogin && mDeps.startAtLogin();
    s.updateInstruction = PELORN_PACKAGED ? UpdateChecker::packageManagerHint : "";
    return s;
}

std::vector<UiSession> WindowHost::sessionRows() const {
    auto& store = mDeps.sessions;
    double now = std::chrono::duration<double>(mDeps.loop.wallNow().time_since_epoch()).count();
    int hours = session_lifetime::hours(session_lifetime::current(mDeps.settings));
    std::vector<UiSession> rows;
    for (const auto& session : store.sessions().get()) {
        auto created = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::duration<double>(session.created)));
        rows.push_back({session.name, created, ageText(session.created, now), store.statusLabel(session),
                        idleEndText(session.managed, hours, session.activity, now),
                        store.attachCommand(session.name)});
    }
    return rows;
}

bool WindowHost::settingsChanged(const UiState& last) const {
    auto& settings = mDeps.settings;
    return last.signedIn != settings.boolean("isAuthenticated") ||
           last.hasCompletedOnboarding != settings.boolean("hasCompletedOnboarding") ||
           last.accountEmail != settings.string("userEmail") ||
           last.accountName != settings.string("userName") ||
           last.keepAwake != (mDeps.keepAwake && mDeps.keepAwake()) ||
           last.startAtLogin != (mDeps.startAtLogin && mDeps.startAtLogin()) ||
           last.logsRangeDays != logsRangeDays(settings) ||
           last.initialSection != settings.string("initialSection") ||
           last.accountUid != settings.string("userUID") ||
           last.sessionLifetimeHours != session_lifetime::hours(session_lifetime::current(settings)) ||
           // The sessions' ages and idle ends move with the clock.
           last.sessions != sessionRows();
}

void WindowHost::watch(Post post, std::function<void(std::shared_ptr<const UiState>)> changed,
                       std::function<void()> ended) {
    {
        std::lock_guard lock(mMutex);
        mPost = std::move(post);
        mChanged = std::move(changed);
        mEnded = std::move(ended);
    }
    mDeps.loop.post([self = mLifetime.weak()] {
        if (auto* host = self.lock()) {
            host->startWatching();
        }
    });
}

void WindowHost::startWatching() {
    auto changed = [this](const auto&) { schedule(); };
    mSubscriptions.clear();
    mSubscriptions.push_back(mDeps.online.subscribe(changed));
    mSubscriptions.push_back(mDeps.lastError.subscribe(changed));
    mSubscriptions.push_back(mDeps.passwords.isSet().subscribe(changed));
    mSubscriptions.push_back(mDeps.devices.devices().subscribe(changed));
    mSubscriptions.push_back(mDeps.devices.connected().subscribe(changed));
    mSubscriptions.push_back(mDeps.approvals.pending().subscribe(changed));
    mSubscriptions.push_back(mDeps.log.events().subscribe(changed));
    mSubscriptions.push_back(mDeps.closedLidRequested.subscribe(changed));
    mSubscriptions.push_back(mDeps.closedLidError.subscribe(changed));
    mSubscriptions.push_back(mDeps.sessions.sessions().subscribe(changed));
    mSubscriptions.push_back(mDeps.sessions.available().subscribe(changed));
    mSubscriptions.push_back(mDeps.sessions.holders().subscribe(changed));
    mSubscriptions.push_back(mDeps.sessions.lastError().subscribe(changed));
    mSubscriptions.push_back(mDeps.passwords.updatedAt().subscribe(changed));
    if (auto* updates = mDeps.updates) {
        mSubscriptions.push_back(updates->checking().subscribe(changed));
        mSubscriptions.push_back(updates->status().subscribe(changed));
        mSubscriptions.push_back(updates->available().subscribe(changed));
        mSubscriptions.push_back(updates->required().subscribe(changed));
    }
    if (mDeps.deleting) {
        mSubscriptions.push_back(mDeps.deleting->subscribe(changed));
    }
    // The settings (sign-in, keep-awake, the log's range) change without telling anyone.
    mPoll.startRepeating(mDeps.loop, settingsPoll, [this] {
        if (mLast && !settingsChanged(*mLast)) {
            return;
        }
        schedule();
    });
    mLast.reset();
    publish();
}

void WindowHost::stop() {
    {
        std::lock_guard lock(mMutex);
        mPost = {};
        mChanged = {};
        mEnded = {};
    }
    mDeps.loop.post([self = mLifetime.weak()] {
        if (auto* host = self.lock()) {
            host->mSubscriptions.clear();
            host->mPoll.cancel();
        }
    });
}

void WindowHost::hostEnded() {
    mSubscriptions.clear();
    mPoll.cancel();
    for (const auto& weak : std::exchange(mTerminals, {})) {
        if (auto terminal = weak.lock()) {
            terminal->stop();
        }
    }
    std::lock_guard lock(mMutex);
    if (mPost && mEnded) {
        mPost(mEnded);
    }
    mPost = {};
    mChanged = {};
    mEnded = {};
}

void WindowHost::bringToFront() {
    ++mFrontRequests;
    schedule();
}

void WindowHost::schedule() {
    if (std::exchange(mScheduled, true)) {
        return;
    }
    // Changes that come together (a device approved and connected) make one new state.
    mDeps.loop.post([self = mLifetime.weak()] {
        if (auto* host = self.lock()) {
            host->mScheduled = false;
            host->publish();
        }
    });
}

void WindowHost::publish() {
    auto state = std::make_shared<const UiState>(currentState());
    if (mLast && *mLast == *state) {
        return;
    }
    mLast = state;
    std::lock_guard lock(mMutex);
    if (mPost && mChanged) {
        mPost([changed = mChanged, state] { changed(state); });
    }
}

void WindowHost::toUi(std::function<void()> task) {
    std::lock_guard lock(mMutex);
    if (mPost) {
        mPost(std::move(task));
    }
}

void WindowHost::run(std::string command, std::vector<std::string> args, std::optional<std::string> input,
                     std::function<void(const ControlResponse&)> done) {
    mDeps.loop.post([self = mLifetime.weak(),
                     request = ControlRequest{std::move(command), std::move(args), std::move(input)},
                     done = std::move(done)] {
        auto* host = self.lock();
        if (!host) {
            return;
        }
        host->mDeps.commands.dispatch(request, [self, done](ControlResponse response) {
            auto* again = self.lock();
            if (again && done) {
                again->toUi([done, response = std::move(response)] { done(response); });
            }
            if (again) {
                again->schedule();
            }
        });
    });
}

void WindowHost::toggleOnline() {
    mDeps.loop.post([self = mLifetime.weak()] {
        if (auto* host = self.lock()) {
            host->run(host->mDeps.online.get() ? "offline" : "online", {}, std::nullopt);
        }
    });
}

void WindowHost::setKeepAwake(bool on) {
    run("keep-awake", {on ? "on" : "off"}, std::nullopt);
}

void WindowHost::setStartAtLogin(bool on) {
    run("autostart", {on ? "on" : "off"}, std::nullopt);
}

void WindowHost::setClosedLidRequested(bool on) {
    run("closed-lid", {on ? "on" : "off"}, std::nullopt);
}

void WindowHost::answerApproval(const std::string& deviceId, bool approve) {
    run(approve ? "approve" : "deny", {deviceId}, std::nullopt);
}

void WindowHost::removeDevice(const std::string& id) {
    run("devices", {"remove", id}, std::nullopt);
}

void WindowHost::clearLog() {
    run("logs", {"clear"}, std::nullopt);
}

void WindowHost::setLogsRangeDays(int days) {
    mDeps.loop.post([self = mLifetime.weak(), days] {
        if (auto* host = self.lock()) {
            host->mDeps.settings.set("logsRangeDays", days);
            host->schedule();
        }
    });
}

void WindowHost::setPassword(const std::string& password,
                             std::function<void(std::optional<std::string>)> done) {
    run("password", {"set"}, password, [done = std::move(done)](const ControlResponse& response) {
        done(response.ok ? std::nullopt : std::optional(response.error));
    });
}

void WindowHost::signInWithGoogle(std::function<void(std::optional<std::string>)> done) {
    run("sign-in", {"google"}, std::nullopt, [done = std::move(done)](const ControlResponse& response) {
        done(response.ok ? std::nullopt : std::optional(response.error));
    });
}

void WindowHost::copyGoogleSignInLink(std::function<void(std::string, std::optional<std::string>)> done) {
    run("sign-in", {"google", "--print-link"}, std::nullopt,
        [done = std::move(done)](const ControlResponse& response) {
            if (!response.ok) {
                done({}, response.error);
                return;
            }
            done(response.data.is_object() ? response.data.value("url", "") : "", std::nullopt);
        });
}

void WindowHost::cancelSignIn() {
    run("sign-in", {"cancel"}, std::nullopt);
}

void WindowHost::signInWithApple(std::function<void(std::optional<std::string>)> done) {
    run("sign-in", {"apple"}, std::nullopt, [done = std::move(done)](const ControlResponse& response) {
        done(response.ok ? std::nullopt : std::optional(response.error));
    });
}

void WindowHost::signOut() {
    run("sign-out", {}, std::nullopt);
}

void WindowHost::deleteAccount(std::function<void(std::optional<std::string>)> done) {
    run("account", {"delete", "--yes"}, std::nullopt,
        [done = std::move(done)](const ControlResponse& response) {
            done(response.ok ? std::nullopt : std::optional(response.error));
        });
}

void WindowHost::setSessionLifetime(int hours) {
    run("lifetime", {hours == 0 ? "never" : std::to_string(hours)}, std::nullopt);
}

void WindowHost::checkForUpdates() {
    run("update", {"check"}, std::nullopt);
}

void WindowHost::skipUpdate() {
    run("update", {"skip"}, std::nullopt);
}

void WindowHost::openExternal(const std::string& url) {
    mDeps.loop.post([self = mLifetime.weak(), url] {
        auto* host = self.lock();
        if (host && host->mDeps.openExternal) {
            host->mDeps.openExternal(url);
        }
    });
}

void WindowHost::setHasCompletedOnboarding() {
    mDeps.loop.post([self = mLifetime.weak()] {
        if (auto* host = self.lock()) {
            host->mDeps.settings.set("hasCompletedOnboarding", true);
        }
    });
}

void WindowHost::checkPermissions(std::function<void(bool, bool)> done) {
    mDeps.loop.post([self = mLifetime.weak(), done = std::move(done)] {
        auto* host = self.lock();
        if (!host) {
            return;
        }
        bool screen = host->mDeps.screenCaptureAvailable && host->mDeps.screenCaptureAvailable();
        bool input = host->mDeps.inputAvailable && host->mDeps.inputAvailable();
        host->toUi([done, screen, input] { done(screen, input); });
    });
}

void WindowHost::watchSessions() {
    mDeps.loop.post([self = mLifetime.weak()] {
        auto* host = self.lock();
        // Once: the store then polls for the rest of the run.
        if (host && !std::exchange(host->mWatchingSessions, true)) {
            host->mDeps.sessions.addWatcher();
        }
    });
}

void WindowHost::createSession(const std::string& name,
                               std::function<void(std::optional<std::string>)> done) {
    run("sessions", {"new", name}, std::nullopt, [done = std::move(done)](const ControlResponse& response) {
        done(response.ok ? std::nullopt : std::optional(response.error));
    });
}

void WindowHost::endSession(const std::string& name, std::function<void(std::optional<std::string>)> done) {
    run("sessions", {"end", name}, std::nullopt, [done = std::move(done)](const ControlResponse& response) {
        done(response.ok ? std::nullopt : std::optional(response.error));
    });
}

void WindowHost::suggestSessionName(std::function<void(std::string)> done) {
    mDeps.loop.post([self = mLifetime.weak(), done = std::move(done)] {
        if (auto* host = self.lock()) {
            host->toUi([done, name = host->mDeps.sessions.suggestName()] { done(name); });
        }
    });
}

void WindowHost::openInTerminal(const std::string& name) {
    mDeps.loop.post([self = mLifetime.weak(), name] {
        if (auto* host = self.lock()) {
            host->mDeps.sessions.openInTerminal(name);
        }
    });
}

class WindowHost::TerminalHandle final : public UiTerminal {
public:
    TerminalHandle(HostLoop& loop, std::shared_ptr<LocalTerminal> terminal)
        : mLoop(loop), mTerminal(std::move(terminal)) {}
    ~TerminalHandle() override {
        mTerminal->open = false;
        mLoop.post([terminal = mTerminal] { terminal->stop(); });
    }
    void pageLoaded() override {
        onLoop([](MacTerminalController& controller) { controller.pageLoaded(); });
    }
    void receive(const std::string& name, const std::string& json) override {
        onLoop([name, json](MacTerminalController& controller) {
            auto body = nlohmann::json::parse(json, nullptr, false);
            if (!body.is_discarded()) {
                controller.receive(name, body);
            }
        });
    }

private:
    void onLoop(std::function<void(MacTerminalController&)> task) {
        mLoop.post([terminal = std::weak_ptr(mTerminal), task = std::move(task)] {
            auto held = terminal.lock();
            if (held && held->controller()) {
                task(*held->controller());
            }
        });
    }
    HostLoop& mLoop;
    std::shared_ptr<LocalTerminal> mTerminal;
};

std::unique_ptr<UiTerminal> WindowHost::openTerminal(const std::string& session, UiTerminalPage page) {
    auto terminal = std::make_shared<LocalTerminal>(*this, std::move(page));
    mDeps.loop.post([self = mLifetime.weak(), terminal, session] {
        if (auto* host = self.lock()) {
            std::erase_if(host->mTerminals, [](const auto& weak) { return weak.expired(); });
            host->mTerminals.push_back(terminal);
            terminal->start(session);
        }
    });
    return std::make_unique<TerminalHandle>(mDeps.loop, terminal);
}

void WindowHost::quit() {
    run("quit", {}, std::nullopt);
}

void WindowHost::log(const std::string& line) {
    Log::shared().info(line);
}

std::size_t WindowHost::characterCount(const std::string& text) const {
    return graphemeCount(text);
}

} // namespace pelorn
