#pragma once

#include <functional>

namespace pelorn {

class Autostart;
class ControlCommands;

// autostart [on|off]: whether the host starts when the owner logs in to the desktop.
// show: brings the window to the front; `showWindow` says false when the host has none (headless).
void registerDesktopCommands(ControlCommands& commands, const Autostart& autostart,
                             std::function<bool()> showWindow);

} // namespace pelorn
