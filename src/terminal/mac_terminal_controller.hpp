#pragma once

#include "core/host_loop.hpp"
#include "core/json.hpp"
#include "core/lifetime.hpp"
#include "core/published.hpp"
#include "terminal/terminal_attachment.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pelorn {

class TerminalSessionStore;

// The terminal page of a local view as its controller drives it. Called on the host loop; the
// callbacks come back on the host loop.
class TerminalPage {
public:
    virtual ~TerminalPage() = default;
    // Runs `script` in the page; `done`, when given, hears once it has run whether its value was
    // the boolean true.
    virtual void evaluate(const std::string& script, std::function<void(bool isTrue)> done) = 0;
    virtual void setClipboard(const std::string& text) = 0;
    // `done` gets the clipboard's text; absent when it holds none.
    virtual void readClipboard(std::function<void(std::optional<std::string>)> done) = 0;
};

// Connects one session's terminal page in the window to an attachment of its own, owned by
// "this Mac". The page's first size opens the attachment; output waiting for the page to be ready
// is held, trimmed to the newest bytes beyond a cap. Host loop only.
class MacTerminalController {
public:
    static constexpr const char* owner = "this Mac";
    static constexpr std::size_t pendingCap = 400000;
    static constexpr std::size_t pendingKept = 300000;
    // Output handed to the page and not yet taken by it; beyond it the attachment stops reading
    // (the program writing waits) until the page catches up to half of it.
    static constexpr std::size_t maxInFlight = 1024 * 1024;
    static constexpr const char* loadFailedText = "The terminal view failed to load.";

    MacTerminalController(HostLoop& loop, const Tmux& tmux, TerminalSessionStore& store, std::string session,
                          std::weak_ptr<TerminalPage> page);
    // Detaches; the session keeps running.
    ~MacTerminalController();

    // The page has finished loading (or failed to): checks that it is ready.
    void pageLoaded();
    // A message the page posted: "termInput", "termResize", "termCopy" or "termPaste".
    void receive(std::string_view name, const nlohmann::json& body);
    // Detaches; the session keeps running.
    void close();
    // Output of the session: to the page when it is ready, else held.
    void deliver(std::string chunk) { take(std::move(chunk), false); }

    const std::string& session() const { return mSession; }
    const Published<std::optional<std::string>>& error() const { return mError; }
    // The session's tmux client ended by itself.
    const Published<bool>& finished() const { return mFinished; }
    const Published<bool>& attached() const { return mAttached; }
    bool pageReady() const { return mPageReady; }
    const std::string& pending() const { return mPending; }
    const TerminalAttachment* attachment() const { return mAttachment.get(); }

    // The calls the page is given.
    static std::string writeScript(std::string_view bytes);
    static std::string pasteScript(std::string_view text);
    static constexpr const char* readyScript = "window.termReady === true";
    static constexpr const char* focusScript = "window.termFocus && window.termFocus();";
    static constexpr const char* clearSelectionScript =
        "window.termClearSelection && window.termClearSelection();";

    MacTerminalController(const MacTerminalController&) = delete;
    MacTerminalController& operator=(const MacTerminalController&) = delete;

private:
    struct Flow;
    void start(int columns, int rows);
    // `counted`: the reader counted these bytes as in flight.
    void take(std::string chunk, bool counted);
    void flush();
    // The page has taken, or the buffer holds, bytes the reader counted.
    void released(std::size_t bytes);
    void ended(TerminalAttachment::ExitReason reason);
    // Hands bytes to the page, telling the flow when the page has taken them.
    void write(const std::shared_ptr<TerminalPage>& page, std::string_view bytes, bool counted);

    HostLoop& mLoop;
    const Tmux& mTmux;
    TerminalSessionStore& mStore;
    const std::string mSession;
    std::weak_ptr<TerminalPage> mPage;
    Published<std::optional<std::string>> mError;
    Published<bool> mFinished{false};
    Published<bool> mAttached{false};
    std::shared_ptr<TerminalAttachment> mAttachment;
    bool mPageReady = false;
    std::string mPending;
    std::shared_ptr<Flow> mFlow;
    Lifetime<MacTerminalController> mLifetime{this};
};

} // namespace pelorn
