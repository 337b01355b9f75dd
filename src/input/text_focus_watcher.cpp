#include "input/text_focus_watcher.hpp"

#include "core/log.hpp"

namespace pelorn {

TextFocusWatcher::TextFocusWatcher(HostLoop& loop, FocusInspector& inspector)
    : mLoop(loop), mInspector(inspector) {
}

TextFocusWatcher::~TextFocusWatcher() {
    mTimer.cancel();
    mLifetime.end();
    if (mWatching) {
        mQueue.invoke([&inspector = mInspector] { inspector.end(); });
    }
}

void TextFocusWatcher::setOnChange(std::function<void(bool)> onChange) {
    mOnChange = std::move(onChange);
}

void TextFocusWatcher::start() {
    if (mWatching) {
        return;
    }
    mWatching = true;
    ++mRun;
    ask([this] { return mInspector.begin(); },
        [run = mRun](TextFocusWatcher& self, bool available) {
            if (self.mWatching && self.mRun == run) {
                self.began(available);
            }
        });
}

void TextFocusWatcher::ask(std::function<bool()> query, std::function<void(TextFocusWatcher&, bool)> then) {
    // The weak handle is taken here, on the loop, never on the watcher's thread.
    mQueue.invoke([&loop = mLoop, query = std::move(query), then = std::move(then), self = mLifetime.weak()] {
        bool answer = query();
        loop.post([self, then, answer] {
            if (auto* watcher = self.lock()) {
                then(*watcher, answer);
            }
        });
    });
}

void TextFocusWatcher::began(bool available) {
    if (!available) {
        Log::shared().info("⌨️ PELORN: no Accessibility permission - remote keyboard stays manual");
        mWatching = false;
        mQueue.invoke([&inspector = mInspector] { inspector.end(); });
        return;
    }
    mTimer.startRepeating(mLoop, interval, [this] { tick(); });
}

void TextFocusWatcher::tick() {
    // A query still waiting on a slow application is not joined by another.
    if (mQueryInFlight) {
        return;
    }
    mQueryInFlight = true;
    ask([this] { return mInspector.isTextFieldFocused(); },
        [run = mRun](TextFocusWatcher& self, bool focused) {
            self.mQueryInFlight = false;
            if (self.mWatching && self.mRun == run) {
                self.checked(focused);
            }
        });
}

void TextFocusWatcher::checked(bool focused) {
    if (mLastReported == focused) {
        return;
    }
    mLastReported = focused;
    if (mOnChange) {
        mOnChange(focused);
    }
}

void TextFocusWatcher::stop() {
    if (!mWatching) {
        return;
    }
    mWatching = false;
    mTimer.cancel();
    mQueue.invoke([&inspector = mInspector] { inspector.end(); });
    bool wasFocused = mLastReported.value_or(false);
    mLastReported.reset();
    if (wasFocused && mOnChange) {
        mOnChange(false);
    }
}

} // namespace pelorn
