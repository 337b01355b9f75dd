#pragma once

namespace pelorn {

class ClosedLidModeManager;
class ControlCommands;
class PowerManager;
class ServerController;

struct PowerCommandTargets {
    PowerManager& power;
    ClosedLidModeManager& closedLid;
    ServerController& controller;
};

// keep-awake on|off, closed-lid on|off (what the window's switches do), and both in "status".
void registerPowerCommands(ControlCommands& commands, PowerCommandTargets targets);

} // namespace pelorn
