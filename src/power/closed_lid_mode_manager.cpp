#include "power/closed_lid_mode_manager.hpp"

#include "core/log.hpp"
#include "core/settings.hpp"

namespace pelorn {

namespace {

// What logind does without any configuration: suspend on the lid, except when docked.
const LidSnapshot distributionDefaults = {{"-b", 0}, {"-c", 0}, {"-u", 1}};

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

} // namespace

ClosedLidModeManager::ClosedLidModeManager(Settings& settings, std::unique_ptr<PrivilegedRunner> runner,
                                           std::unique_ptr<LidSettingsSource> source, Config config)
    : mSettings(settings), mRunner(std::move(runner)), mSource(std::move(source)),
      mConfig(std::move(config)) {
    mIsRequested.set(mSettings.boolean(requestedKey));
    mIsActive.set(mSettings.boolean(activeKey));
    if (mIsActive.get()) {
        mLastError.set("Closed-Lid Mode may still be enabled from an earlier Pelorn session. Turn it off to "
                       "restore your Mac's normal sleep policy.");
    }
}

std::string ClosedLidModeManager::enableCommand() const {
    return "mkdir -p " + quoted(mConfig.dropIn.parent_path().string()) +
           " && printf '%s\\n' '[Login]' 'HandleLidSwitch=ignore' 'HandleLidSwitchExternalPower=ignore' "
           "'HandleLidSwitchDocked=ignore' > " +
           quoted(mConfig.dropIn.string()) + " && " + mConfig.reload;
}

std::string ClosedLidModeManager::restoreCommand(const LidSnapshot& snapshot) const {
    // Only what differs from logind's own defaults is written back; with nothing left the
    // drop-in goes. A source that was not "ignore" gets "suspend", the one value it can stand for.
    std::string lines;
    for (const auto& [flag, key] : lidSwitchSources) {
        auto it = snapshot.find(flag);
        if (it == snapshot.end() || (it->second != 0) == (distributionDefaults.at(flag) != 0)) {
            continue;
        }
        lines += " " + quoted(key + "=" + (it->second != 0 ? "ignore" : "suspend"));
    }
    std::string write = lines.empty()
                            ? "rm -f " + quoted(mConfig.dropIn.string())
                            : "printf '%s\\n' '[Login]'" + lines + " > " + quoted(mConfig.dropIn.string());
    // A write that fails fails the whole line, so it is not reported as done.
    return write + " && " + mConfig.reload;
}

void ClosedLidModeManager::setRequested(bool on) {
    if (on) {
        mIsRequested.set(true);
        mSettings.set(requestedKey, true);
        mLastError.set(std::nullopt);
        return;
    }
    bool restored = disengage();
    mIsRequested.set(!restored);
    mSettings.set(requestedKey, !restored);
}

void ClosedLidModeManager::engageIfRequested() {
    if (!mIsRequested.get() || mIsActive.get()) {
        return;
    }
    LidSnapshot snapshot = mSource->read();
    if (auto error = mRunner->run(enableCommand())) {
        mIsRequested.set(false);
        mSettings.set(requestedKey, false);
        mLastError.set("Closed-Lid Mode was not enabled: " + *error);
        Log::shared().system("⚠️ PELORN: Closed-Lid Mode enable failed: " + *error);
        return;
    }
    mSettings.set(snapshotKey, nlohmann::json(snapshot));
    mSettings.set(activeKey, true);
    mIsActive.set(true);
    mLastError.set(std::nullopt);
    Log::shared().system(
        "🌙 PELORN: Closed-Lid Mode enabled - system sleep is disabled while Pelorn is online");
}

std::optional<LidSnapshot> ClosedLidModeManager::storedSnapshot() {
    auto stored = mSettings.value(snapshotKey);
    if (!stored || !stored->is_object()) {
        return std::nullopt;
    }
    LidSnapshot snapshot;
    for (const auto& [flag, value] : stored->items()) {
        if (!value.is_number_integer()) {
            return std::nullopt;
        }
        snapshot[flag] = value.get<int>();
    }
    return snapshot;
}

bool ClosedLidModeManager::disengage() {
    if (!mIsActive.get()) {
        return true;
    }
    auto snapshot = storedSnapshot();
    if (!snapshot) {
        snapshot = mSource->read();
    }
    if (auto error = mRunner->run(restoreCommand(*snapshot))) {
        mLastError.set("Pelorn could not restore your normal sleep policy: " + *error);
        Log::shared().system("⚠️ PELORN: Closed-Lid Mode restore failed: " + *error);
        return false;
    }
    mSettings.remove(activeKey);
    mSettings.remove(snapshotKey);
    mIsActive.set(false);
    mLastError.set(std::nullopt);
    Log::shared().system("💤 PELORN: Closed-Lid Mode disabled - normal sleep policy restored");
    return true;
}

} // namespace pelorn
