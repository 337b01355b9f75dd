#pragma once

namespace pelorn {

class Autostart;
class ControlCommands;

// autostart [on|off]: whether the host starts when the owner logs in to the desktop.
void registerDesktopCommands(ControlCommands& commands, const Autostart& autostart);

} // namespace pelorn
