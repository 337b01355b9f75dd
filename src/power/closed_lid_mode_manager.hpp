#pragma once

#include "core/published.hpp"
#include "power/lid_settings.hpp"
#include "power/privileged_runner.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace pelorn {

class Settings;

// Closed-lid mode: while the host is online and the owner asked for it, logind ignores the lid
// (a drop-in sets the three lid-switch keys to "ignore"). What logind did before is remembered in
// the settings, so a later run can put it back even after a crash. Host loop; enabling and
// restoring block while the owner is asked for the administrator password.
class ClosedLidModeManager {
public:
    static constexpr const char* requestedKey = "closedLidModeRequested";
    static constexpr const char* activeKey = "closedLidModeActiveByPelorn";
    static constexpr const char* snapshotKey = "closedLidModePreviousSettings";

    struct Config {
        std::filesystem::path dropIn = "/etc/systemd/logind.conf.d/pelorn-closed-lid.conf";
        // Makes logind read its configuration again.
        std::string reload = "systemctl kill -s HUP systemd-logind";
    };

    ClosedLidModeManager(Settings& settings, std::unique_ptr<PrivilegedRunner> runner,
                         std::unique_ptr<LidSettingsSource> source, Config config);
    static ClosedLidModeManager& shared();

    void setRequested(bool on);
    void engageIfRequested();
    // True when the normal policy is in force afterwards.
    bool disengage();

    const Published<bool>& isRequested() const { return mIsRequested; }
    const Published<bool>& isActive() const { return mIsActive; }
    const Published<std::optional<std::string>>& lastError() const { return mLastError; }

    // The command lines run with administrator rights.
    std::string enableCommand() const;
    std::string restoreCommand(const LidSnapshot& snapshot) const;

    ClosedLidModeManager(const ClosedLidModeManager&) = delete;
    ClosedLidModeManager& operator=(const ClosedLidModeManager&) = delete;

private:
    std::optional<LidSnapshot> storedSnapshot();

    Settings& mSettings;
    std::unique_ptr<PrivilegedRunner> mRunner;
    std::unique_ptr<LidSettingsSource> mSource;
    Config mConfig;
    Published<bool> mIsRequested{false};
    Published<bool> mIsActive{false};
    Published<std::optional<std::string>> mLastError{std::nullopt};
};

} // namespace pelorn
