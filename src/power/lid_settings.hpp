#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace pelorn {

// Whether each power source keeps running with the lid closed, as logind is set now: "-b" on
// battery (HandleLidSwitch), "-c" on AC power (HandleLidSwitchExternalPower), "-u" docked
// (HandleLidSwitchDocked); 1 for "ignore", 0 for anything else. Sources it could not read are absent.
using LidSnapshot = std::map<std::string, int>;

class LidSettingsSource {
public:
    virtual ~LidSettingsSource() = default;
    virtual LidSnapshot read() = 0;
};

// The sources in the order they are restored, with the logind key each stands for.
inline const std::vector<std::pair<std::string, std::string>> lidSwitchSources = {
    {"-b", "HandleLidSwitch"}, {"-c", "HandleLidSwitchExternalPower"}, {"-u", "HandleLidSwitchDocked"}};

} // namespace pelorn
