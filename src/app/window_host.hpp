#pragma once

#include "core/host_loop.hpp"
#include "core/lifetime.hpp"
#include "core/published.hpp"
#include "core/subscription.hpp"
#include "ui/ui_host.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace pelorn {

class ControlCommands;
class DeviceApprovalCoordinator;
class EventLog;
class MasterPasswordStore;
class Settings;
class TerminalSessionStore;
class Tmux;
class TrustedDeviceStore;
class UpdateChecker;
struct ControlResponse;

// The host as the window sees it: the state of the services, copied on the host loop and handed
// to the UI thread whenever it changes, and the window's requests run as the control commands
// pelornctl sends. Made on the host loop; its UI-facing calls come from the UI thread.
class WindowHost final : public UiHost {
public:
    struct Dependencies {
        HostLoop& loop;
        Settings& settings;
        // The operations pelornctl calls, which the window's requests are.
        ControlCommands& commands;
        // What the window shows.
        const Published<bool>& online;
        const Published<std::optional<std::string>>& lastError;
        MasterPasswordStore& passwords;
        TrustedDeviceStore& devices;
        DeviceApprovalCoordinator& approvals;
        EventLog& log;
        const Published<bool>& closedLidRequested;
        const Published<std::optional<std::string>>& closedLidError;
        std::function<bool()> keepAwake;
        // Whether the screen can be captured and input posted right now (on the host loop).
        std::function<bool()> screenCaptureAvailable;
        std::function<bool()> inputAvailable;
        // The terminal section and the local terminal views.
        TerminalSessionStore& sessions;
        const Tmux& tmux;
        // The account section: updates (null without a website), a deletion running, the links.
        UpdateChecker* updates = nullptr;
        const Published<bool>* deleting = nullptr;
        UiLinks links;
        // Whether the desktop starts the host at login.
        std::function<bool()> startAtLogin;
        // Opens a web or mail address in the desktop's application (on the host loop).
        std::function<void(const std::string& url)> openExternal;
    };
    // What is not published (the settings) is looked at this often.
    static constexpr auto settingsPoll = std::chrono::seconds(1);

    explicit WindowHost(Dependencies deps);
    // The build's links, the website as the update checker takes it (the environment may name it).
    static UiLinks configuredLinks();
    ~WindowHost() override;

    // The host has shut down: the window is told, and nothing more is delivered. Host loop.
    void hostEnded();
    // Asks the window to come to the front (the launcher started again). Host loop.
    void bringToFront();

    void watch(Post post, std::function<void(std::shared_ptr<const UiState>)> changed,
               std::function<void()> ended) override;
    void stop() override;
    void toggleOnline() override;
    void setKeepAwake(bool on) override;
    void setStartAtLogin(bool on) override;
    void setClosedLidRequested(bool on) override;
    void answerApproval(const std::string& deviceId, bool approve) override;
    void removeDevice(const std::string& id) override;
    void clearLog() override;
    void setLogsRangeDays(int days) override;
    void setPassword(const std::string& password,
                     std::function<void(std::optional<std::string>)> done) override;
    void signInWithGoogle(std::function<void(std::optional<std::string>)> done) override;
    void copyGoogleSignInLink(std::function<void(std::string, std::optional<std::string>)> done) override;
    void cancelSignIn() override;
    void signInWithApple(std::function<void(std::optional<std::string>)> done) override;
    void signOut() override;
    void deleteAccount(std::function<void(std::optional<std::string>)> done) override;
    void setSessionLifetime(int hours) override;
    void checkForUpdates() override;
    void skipUpdate() override;
    void openExternal(const std::string& url) override;
    void setHasCompletedOnboarding() override;
    void checkPermissions(std::function<void(bool, bool)> done) override;
    void watchSessions() override;
    void createSession(const std::string& name,
                       std::function<void(std::optional<std::string>)> done) override;
    void endSession(const std::string& name, std::function<void(std::optional<std::string>)> done) override;
    void suggestSessionName(std::function<void(std::string)> done) override;
    void openInTerminal(const std::string& name) override;
    std::unique_ptr<UiTerminal> openTerminal(const std::string& session, UiTerminalPage page) override;
    void quit() override;
    void log(const std::string& line) override;
    std::size_t characterCount(const std::string& text) const override;

    // The state as the host sees it now. Host loop.
    UiState currentState() const;

    WindowHost(const WindowHost&) = delete;
    WindowHost& operator=(const WindowHost&) = delete;

private:
    class LocalTerminal;
    class TerminalHandle;
    void startWatching();
    // The terminal section's rows as they read now.
    std::vector<UiSession> sessionRows() const;
    // Whether what the settings hold (they tell nobody of changes) differs from `last`.
    bool settingsChanged(const UiState& last) const;
    void schedule();
    void publish();
    // Runs a control command on the loop; `done` hears its answer on the UI thread.
    void run(std::string command, std::vector<std::string> args, std::optional<std::string> input,
             std::function<void(const ControlResponse&)> done = {});
    // Hands `task` to the UI thread, unless the window stopped listening.
    void toUi(std::function<void()> task);

    Dependencies mDeps;
    // The UI thread's side, set by watch and cleared by stop; read on the loop.
    std::mutex mMutex;
    Post mPost;
    std::function<void(std::shared_ptr<const UiState>)> mChanged;
    std::function<void()> mEnded;
    // Host loop.
    std::vector<Subscription> mSubscriptions;
    Timer mPoll;
    bool mScheduled = false;
    std::shared_ptr<const UiState> mLast;
    bool mWatchingSessions = false;
    int mFrontRequests = 0;
    // The local terminal views, stopped when the host ends, before the services they use.
    std::vector<std::weak_ptr<LocalTerminal>> mTerminals;
    Lifetime<WindowHost> mLifetime{this};
};

} // namespace pelorn
