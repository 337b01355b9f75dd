#include "activity/event_log.hpp"

#include "core/atomic_file.hpp"
#include "core/host_loop.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/paths.hpp"
#include "core/task_pool.hpp"
#include "core/uuid.hpp"

namespace pelorn {

EventLog::EventLog(HostLoop& loop, TaskPool& pool, std::optional<std::filesystem::path> file)
    : mLoop(loop), mPool(pool), mFile(std::move(file)) {
}

std::shared_ptr<EventLog> EventLog::create(HostLoop& loop, TaskPool& pool,
                                           std::optional<std::filesystem::path> file) {
    // The constructor is private (the log must be held by a shared_ptr), so make_shared cannot reach it.
    std::shared_ptr<EventLog> log(new EventLog(loop, pool, std::move(file)));
    log->load();
    return log;
}

std::optional<std::filesystem::path> EventLog::defaultFile() {
    auto dir = appDataDir();
    if (!dir) {
        return std::nullopt;
    }
    // Who connected from where, and when, is the owner's business only.
    std::error_code ec;
    std::filesystem::create_directories(*dir, ec);
    std::filesystem::permissions(*dir, std::filesystem::perms::owner_all, ec);
    return *dir / "activity.json";
}

void EventLog::load() {
    if (!mFile) {
        return;
    }
    auto text = readWholeFile(*mFile);
    auto parsed = text ? json::parse(*text) : std::nullopt;
    auto events = parsed ? decodeEvents(*parsed) : std::nullopt;
    if (!events) {
        return;
    }
    bool dropped = dropExpired(*events);
    mEvents.set(std::move(*events));
    if (dropped) {
        save();
    }
}

void EventLog::record(LoggedEvent::Kind kind, std::optional<std::string> subject,
                      std::optional<std::string> detail) {
    LoggedEvent event{randomUuid(), mLoop.wallNow(), kind, std::move(subject), std::move(detail)};
    if (mLoop.isLoopThread()) {
        append(std::move(event));
        return;
    }
    mLoop.post([weak = weak_from_this(), event = std::move(event)]() mutable {
        if (auto self = weak.lock()) {
            self->append(std::move(event));
        }
    });
}

void EventLog::append(LoggedEvent event) {
    const auto& current = mEvents.get();
    if (!current.empty()) {
        const auto& newest = current.front();
        if (newest.kind == event.kind && newest.subject == event.subject &&
            event.at - newest.at < duplicateWindow) {
            return;
        }
    }
    mEvents.update([&](std::vector<LoggedEvent>& events) {
        events.insert(events.begin(), std::move(event));
        if (events.size() > cap) {
            events.resize(cap);
        }
        dropExpired(events);
    });
    save();
}

bool EventLog::dropExpired(std::vector<LoggedEvent>& events) const {
    auto oldest = mLoop.wallNow() - window;
    auto before = events.size();
    std::erase_if(events, [&](const LoggedEvent& e) { return e.at < oldest; });
    return events.size() != before;
}

void EventLog::clear() {
    mEvents.set({});
    save();
}

void EventLog::save() {
    if (!mFile) {
        return;
    }
    if (mSaving) {
        mSaveAgain = true;
        return;
    }
    mSaving = true;
    mPool.submit([weak = weak_from_this(), &loop = mLoop, file = *mFile, snapshot = mEvents.get()] {
        if (auto text = json::dump(encodeEvents(snapshot))) {
            if (auto error = writeFileAtomically(file, *text, 0600)) {
                Log::shared().debug("EventLog::save", *error);
            }
        }
        loop.post([weak] {
            if (auto self = weak.lock()) {
                self->saveFinished();
            }
        });
    });
}

void EventLog::saveFinished() {
    mSaving = false;
    if (mSaveAgain) {
        mSaveAgain = false;
        save();
    }
}

void EventLog::finishWrites() {
    while (mSaving) {
        mPool.waitIdle();
        mLoop.runPending();
    }
}

} // namespace pelorn
