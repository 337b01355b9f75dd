#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace pelorn {

// The owner's settings: one JSON object in $XDG_CONFIG_HOME/pelorn/settings.json under the
// system's literal keys. Every change replaces the file atomically. Edits made to the file by
// someone else (the owner, a script, a test) are picked up on the next read. Any thread.
class Settings {
public:
    // Without a path the settings live in memory only.
    explicit Settings(std::optional<std::filesystem::path> file);
    static Settings& shared();
    static std::optional<std::filesystem::path> defaultFile();

    std::optional<nlohmann::json> value(const std::string& key);
    std::string string(const std::string& key, const std::string& fallback = "");
    bool boolean(const std::string& key, bool fallback = false);
    // Numbers are truncated, booleans read as 0 or 1; anything else is the fallback.
    std::int64_t integer(const std::string& key, std::int64_t fallback = 0);

    void set(const std::string& key, nlohmann::json value);
    void remove(const std::string& key);

    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

private:
    struct FileStamp {
        bool exists = false;
        std::int64_t mtimeNs = 0;
        std::int64_t size = 0;
        std::uint64_t inode = 0;
        bool operator==(const FileStamp&) const = default;
    };

    FileStamp stampLocked() const;
    void reloadIfChangedLocked();
    void loadLocked();
    void saveLocked();

    const std::optional<std::filesystem::path> mFile;
    std::mutex mMutex; // guards the fields below; settings are read from background work too
    nlohmann::json mValues = nlohmann::json::object();
    FileStamp mLoadedStamp;
    bool mFileIsCorrupt = false;
};

} // namespace pelorn
