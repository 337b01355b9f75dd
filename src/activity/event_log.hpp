#pragma once

#include "activity/logged_event.hpp"
#include "core/published.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace pelorn {

class HostLoop;
class TaskPool;

// What happened on this computer, newest first: bursts de-duplicated, at most `cap` entries of the
// last 30 days, persisted to one JSON file by background writes (at most one at a time, the last
// state always reaching the disk). State lives on the host loop; record() works from any thread.
class EventLog : public std::enable_shared_from_this<EventLog> {
public:
    static constexpr std::size_t cap = 600;
    static constexpr auto window = std::chrono::seconds(2'592'000); // 30 days
    static constexpr auto duplicateWindow = std::chrono::milliseconds(1500);

    // Loads the file (absent: memory only). Create on the host loop's thread.
    static std::shared_ptr<EventLog> create(HostLoop& loop, TaskPool& pool,
                                            std::optional<std::filesystem::path> file);
    static EventLog& shared();
    static std::optional<std::filesystem::path> defaultFile();

    void record(LoggedEvent::Kind kind, std::optional<std::string> subject = std::nullopt,
                std::optional<std::string> detail = std::nullopt);
    void clear();

    const Published<std::vector<LoggedEvent>>& events() const { return mEvents; }
    bool isSaving() const { return mSaving; }

    // Blocks the host loop until every requested write has reached the disk; used before exit.
    void finishWrites();

    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

private:
    EventLog(HostLoop& loop, TaskPool& pool, std::optional<std::filesystem::path> file);
    void load();
    void append(LoggedEvent event);
    // Drops entries older than the window; true when it dropped any.
    bool dropExpired(std::vector<LoggedEvent>& events) const;
    void save();
    void saveFinished();

    HostLoop& mLoop;
    TaskPool& mPool;
    const std::optional<std::filesystem::path> mFile;
    Published<std::vector<LoggedEvent>> mEvents;
    bool mSaving = false;
    bool mSaveAgain = false;
};

} // namespace pelorn
