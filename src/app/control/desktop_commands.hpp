#pragma once

#include "x11/x11_monitors.hpp"

#include <functional>
#include <optional>
#include <vector>

namespace pelorn {

class Autostart;
class ControlCommands;
class Settings;

// autostart [on|off]: whether the host starts when the owner logs in to the desktop.
// show: brings the window to the front; `showWindow` says false when the host has none (headless).
void registerDesktopCommands(ControlCommands& commands, const Autostart& autostart,
                             std::function<bool()> showWindow);

// display [NAME|--primary]: the monitors (name, size, place, primary, which one is streamed), or
// the monitor to stream and drive from now on (the setting "streamDisplay"; --primary: the primary
// one, whichever that is). `monitors` lists them, or says none when the desktop session is not X11's.
void registerDisplayCommand(ControlCommands& commands, Settings& settings,
                            std::function<std::optional<std::vector<X11Monitor>>()> monitors);

} // namespace pelorn
