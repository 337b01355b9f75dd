#pragma once

#include "core/glib_thread.hpp"
#include "core/host_loop.hpp"
#include "core/lifetime.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace pelorn {

// Asks the desktop's accessibility service what has the keyboard focus. Called only on the
// watcher's own thread, where each call may block (each query is bounded).
class FocusInspector {
public:
    virtual ~FocusInspector() = default;
    // Connects and follows focus; false when the desktop has no accessibility service.
    virtual bool begin() = 0;
    virtual bool isTextFieldFocused() = 0;
    virtual void end() = 0;
};

// Tells the host, while the screen is shared, when a text field gains or loses keyboard focus,
// so the client can raise or lower its keyboard. Reports changes only. Host loop only; the
// queries run on the watcher's own thread so a slow application never stalls the loop.
class TextFocusWatcher {
public:
    static constexpr auto interval = std::chrono::milliseconds(250);

    TextFocusWatcher(HostLoop& loop, FocusInspector& inspector);
    ~TextFocusWatcher();
    static TextFocusWatcher& shared();

    // Receives true when a text field gains focus, false when it loses it. On the host loop.
    void setOnChange(std::function<void(bool)> onChange);
    void start();
    // Ends watching; a client told a text field has focus hears that it lost it.
    void stop();
    bool isWatching() const { return mWatching; }

    TextFocusWatcher(const TextFocusWatcher&) = delete;
    TextFocusWatcher& operator=(const TextFocusWatcher&) = delete;

private:
    // Runs query on the watcher's thread and hands its answer to `then` on the host loop, unless
    // the watcher is gone by then.
    void ask(std::function<bool()> query, std::function<void(TextFocusWatcher&, bool)> then);
    void began(bool available);
    void tick();
    void checked(bool focused);

    HostLoop& mLoop;
    FocusInspector& mInspector;
    std::function<void(bool)> mOnChange;
    bool mWatching = false;
    bool mQueryInFlight = false;
    std::uint64_t mRun = 0; // one per start, so late answers of an earlier run are ignored
    std::optional<bool> mLastReported;
    Timer mTimer;
    Lifetime<TextFocusWatcher> mLifetime{this};
    GlibThread mQueue; // last: it finishes the queued queries before the rest goes away
};

} // namespace pelorn
