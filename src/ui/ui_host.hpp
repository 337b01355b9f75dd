#pragma once

// What the window sees of the host, and all it can ask of it. The window runs on the UI thread
// and never touches a service: it is handed copies of the host's state and its requests run on
// the host loop as the same operations pelornctl calls. Header-only plain data, so the window,
// which is loaded into the host at run time, links nothing of the host's.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pelorn {

struct UiDevice {
    std::string id;
    std::string name;
    std::string model;
    std::chrono::system_clock::time_point approvedAt;
    std::chrono::system_clock::time_point lastSeenAt;
    bool connected = false;
    bool operator==(const UiDevice&) const = default;
};

struct UiEvent {
    std::string id;
    std::chrono::system_clock::time_point at;
    std::string sentence;
    std::string icon;       // the kind's symbol name
    std::string category;   // "connection", "security" or "terminal"
    std::string exportLine; // its line in the log's copied text
    bool operator==(const UiEvent&) const = default;
};

struct UiApproval {
    std::string id;
    std::string deviceId;
    std::string deviceName;
    std::string deviceModel;
    std::string via;
    bool operator==(const UiApproval&) const = default;
};

// One tmux session as the terminal section lists it.
struct UiSession {
    std::string name;
    std::chrono::system_clock::time_point created;
    std::string age;     // how long it has been running: "5m", "2h 5m"
    std::string status;  // "Attached · iPad", "Detached" or "Attached elsewhere"
    std::string idleEnd; // when the idle lifetime ends it; empty when it never will
    std::string attachCommand;
    bool operator==(const UiSession&) const = default;
};

// A newer release on the product's website.
struct UiRelease {
    std::string version;
    std::string url;
    bool operator==(const UiRelease&) const = default;
};

// Where the window sends the owner: configuration of the build; empty when there is none.
struct UiLinks {
    std::string website;      // the product's site: "/terms" and "/privacy" below it
    std::string appStore;     // the companion app's store page
    std::string supportEmail; // the address "Contact support" writes to
    bool operator==(const UiLinks&) const = default;
};

// Everything the window shows, at one moment.
struct UiState {
    bool signedIn = false;
    bool hasCompletedOnboarding = false;
    bool passwordSet = false;
    std::string accountEmail;
    std::string accountName;
    std::string accountUid;
    bool deletingAccount = false;
    bool online = false;
    std::optional<std::string> lastError;
    bool keepAwake = false;
    bool startAtLogin = false;
    // A distribution's package: how to update instead of a download page; empty otherwise.
    std::string updateInstruction;
    bool closedLidRequested = false;
    std::optional<std::string> closedLidError;
    std::optional<UiApproval> approval;
    std::vector<UiDevice> devices; // in the order of approval
    std::vector<UiEvent> events;   // newest first
    int logsRangeDays = 30;
    std::string initialSection;
    bool tmuxAvailable = true;
    std::vector<UiSession> sessions; // in tmux's order
    std::optional<std::string> sessionsError;
    int sessionLifetimeHours = 12; // 0: never
    std::optional<std::chrono::system_clock::time_point> passwordUpdatedAt;
    bool updatesConfigured = false; // a website to check exists
    bool checkingForUpdates = false;
    std::string updateStatus;
    std::optional<UiRelease> update; // offered
    bool updateRequired = false;
    UiLinks links;
    int frontRequests = 0; // each one more: the window comes to the front
    bool operator==(const UiState&) const = default;
};

// A local terminal view's state.
struct UiTerminalState {
    std::optional<std::string> error; // shown instead of the terminal
    bool attached = false;
    bool finished = false; // the session ended by itself
    bool operator==(const UiTerminalState&) const = default;
};

// The web page of a local terminal view, as the window offers it to the host. Each is called on
// the UI thread, and only while the view is open.
struct UiTerminalPage {
    // Runs `script` in the page; `done`, when given, hears whether its value was the boolean true.
    std::function<void(const std::string& script, std::function<void(bool isTrue)> done)> evaluate;
    std::function<void(const std::string& text)> setClipboard;
    // Absent when the clipboard holds no text.
    std::function<std::optional<std::string>()> clipboardText;
    std::function<void(const UiTerminalState& state)> changed;
};

// An open local terminal view, as the window drives it. UI thread; destroying it closes it (the
// session keeps running).
class UiTerminal {
public:
    virtual ~UiTerminal() = default;
    // The page has finished loading, or failed to.
    virtual void pageLoaded() = 0;
    // A message the page posted, its body as JSON text.
    virtual void receive(const std::string& name, const std::string& json) = 0;
};

class UiHost {
public:
    using Post = std::function<void(std::function<void()>)>;
    virtual ~UiHost() = default;

    // Starts delivering the host's state: `changed` gets the first state and then each new one,
    // and `ended` is called once the host has shut down (the window then closes for good); both
    // always through `post`, which runs its function on the UI thread. Until stop().
    virtual void watch(Post post, std::function<void(std::shared_ptr<const UiState>)> changed,
                       std::function<void()> ended) = 0;
    virtual void stop() = 0;

    // Requests; each runs on the host loop. Those with a completion hear back through `post`.
    virtual void toggleOnline() = 0;
    virtual void setKeepAwake(bool on) = 0;
    virtual void setStartAtLogin(bool on) = 0;
    virtual void setClosedLidRequested(bool on) = 0;
    virtual void answerApproval(const std::string& deviceId, bool approve) = 0;
    virtual void removeDevice(const std::string& id) = 0;
    virtual void clearLog() = 0;
    virtual void setLogsRangeDays(int days) = 0;
    // Absent on success, else the text to show.
    virtual void setPassword(const std::string& password,
                             std::function<void(std::optional<std::string> error)> done) = 0;
    virtual void signInWithGoogle(std::function<void(std::optional<std::string> error)> done) = 0;
    // Google's sign-in link instead of the browser: `done` gets it (or, with none, why), and the
    // attempt goes on until the link is used, the attempt times out or it is cancelled.
    virtual void
    copyGoogleSignInLink(std::function<void(std::string link, std::optional<std::string> error)> done) = 0;
    virtual void cancelSignIn() = 0;
    // Nothing on success or when the owner cancelled, else the text to show.
    virtual void signInWithApple(std::function<void(std::optional<std::string> error)> done) = 0;
    virtual void signOut() = 0;
    virtual void deleteAccount(std::function<void(std::optional<std::string> error)> done) = 0;
    // 0 (never), 1, 3, 6, 12 or 24.
    virtual void setSessionLifetime(int hours) = 0;
    virtual void checkForUpdates() = 0;
    virtual void skipUpdate() = 0;
    // In the desktop's browser or mail application.
    virtual void openExternal(const std::string& url) = 0;
    virtual void setHasCompletedOnboarding() = 0;
    // Screen capture and synthetic input possible right now.
    virtual void checkPermissions(std::function<void(bool screenRecording, bool accessibility)> done) = 0;
    // The terminal section is shown: the sessions are kept current from now on.
    virtual void watchSessions() = 0;
    // Absent on success, else the text to show.
    virtual void createSession(const std::string& name,
                               std::function<void(std::optional<std::string> error)> done) = 0;
    virtual void endSession(const std::string& name,
                            std::function<void(std::optional<std::string> error)> done) = 0;
    // A free name for a new session.
    virtual void suggestSessionName(std::function<void(std::string name)> done) = 0;
    // In the desktop's own terminal application.
    virtual void openInTerminal(const std::string& name) = 0;
    // A view of the session in the window, driving `page`.
    virtual std::unique_ptr<UiTerminal> openTerminal(const std::string& session, UiTerminalPage page) = 0;
    // Goes offline and ends the process, as "Quit Pelorn" does.
    virtual void quit() = 0;
    // A line in the host's log.
    virtual void log(const std::string& line) = 0;

    // User-perceived characters, as the password store counts them. Any thread.
    virtual std::size_t characterCount(const std::string& text) const = 0;
};

// The window's entry point in its module: runs the UI on the calling thread (the process's main
// thread) until the host quits; returns the exit status. `host` outlives the call.
using UiRunFunction = int (*)(UiHost* host, int argc, char** argv);
inline constexpr const char* uiRunSymbol = "pelorn_ui_run";

} // namespace pelorn
