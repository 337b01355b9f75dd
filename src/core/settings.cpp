#include "core/settings.hpp"

#include "core/atomic_file.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/paths.hpp"

#include <cmath>
#include <sys/stat.h>

namespace pelorn {

Settings::Settings(std::optional<std::filesystem::path> file) : mFile(std::move(file)) {
    std::lock_guard lock(mMutex);
    loadLocked();
}

Settings& Settings::shared() {
    static Settings instance(defaultFile());
    return instance;
}

std::optional<std::filesystem::path> Settings::defaultFile() {
    if (auto dir = configHome()) {
        return *dir / "pelorn" / "settings.json";
    }
    return std::nullopt;
}

Settings::FileStamp Settings::stampLocked() const {
    struct stat st {};
    if (!mFile || ::stat(mFile->c_str(), &st) != 0) {
        return {};
    }
    return {true, st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec, st.st_size, st.st_ino};
}

void Settings::loadLocked() {
    mLoadedStamp = stampLocked();
    mFileIsCorrupt = false;
    mValues = nlohmann::json::object();
    if (!mLoadedStamp.exists) {
        return;
    }
    auto text = readWholeFile(*mFile);
    auto parsed = text ? json::parse(*text) : std::nullopt;
    if (parsed && parsed->is_object()) {
        mValues = std::move(*parsed);
        return;
    }
    mFileIsCorrupt = true;
    Log::shared().info("⚠️ PELORN SETTINGS: " + mFile->string() +
                       " is unreadable or not a JSON object - starting with defaults; it will be kept as " +
                       mFile->filename().string() + ".corrupt");
}

void Settings::reloadIfChangedLocked() {
    if (mFile && stampLocked() != mLoadedStamp) {
        loadLocked();
    }
}

void Settings::saveLocked() {
    if (!mFile) {
        return;
    }
    std::error_code ec;
    std::filesystem::create_directories(mFile->parent_path(), ec);
    if (mFileIsCorrupt) {
        auto kept = *mFile;
        kept += ".corrupt";
        std::filesystem::rename(*mFile, kept, ec);
        mFileIsCorrupt = false;
    }
    auto text = json::dump(mValues);
    auto error =
        text ? writeFileAtomically(*mFile, *text + "\n", 0600) : std::optional<std::string>("encode");
    if (error) {
        Log::shared().info("⚠️ PELORN SETTINGS: could not write " + mFile->string() + ": " + *error);
    }
    mLoadedStamp = stampLocked();
}

std::optional<nlohmann::json> Settings::value(const std::string& key) {
    std::lock_guard lock(mMutex);
    reloadIfChangedLocked();
    auto it = mValues.find(key);
    if (it == mValues.end() || it->is_null()) {
        return std::nullopt;
    }
    return *it;
}

std::string Settings::string(const std::string& key, const std::string& fallback) {
    auto v = value(key);
    return v && v->is_string() ? v->get<std::string>() : fallback;
}

bool Settings::boolean(const std::string& key, bool fallback) {
    auto v = value(key);
    if (v && v->is_boolean()) {
        return v->get<bool>();
    }
    if (v && v->is_number()) {
        return v->get<double>() != 0;
    }
    return fallback;
}

std::int64_t Settings::integer(const std::string& key, std::int64_t fallback) {
    auto v = value(key);
    if (v && v->is_boolean()) {
        return v->get<bool>() ? 1 : 0;
    }
    if (v && (v->is_number_integer() || v->is_number_unsigned())) {
        return v->get<std::int64_t>();
    }
    if (v && v->is_number_float()) {
        double d = std::trunc(v->get<double>());
        if (std::isfinite(d) && std::fabs(d) < 9.2e18) {
            return static_cast<std::int64_t>(d);
        }
    }
    return fallback;
}

void Settings::set(const std::string& key, nlohmann::json value) {
    std::lock_guard lock(mMutex);
    reloadIfChangedLocked();
    mValues[key] = std::move(value);
    saveLocked();
}

void Settings::remove(const std::string& key) {
    std::lock_guard lock(mMutex);
    reloadIfChangedLocked();
    if (mValues.erase(key) == 0 && !mFileIsCorrupt) {
        return;
    }
    saveLocked();
}

} // namespace pelorn
