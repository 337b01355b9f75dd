#pragma once

namespace pelorn {

class ControlCommands;
class EventLog;
class HostLoop;
class NotificationCenter;
class Settings;
class TerminalSessionStore;

struct TerminalCommandServices {
    HostLoop& loop;
    TerminalSessionStore& store;
    Settings& settings;
    NotificationCenter& notifications;
    EventLog& log;
};

// The owner's terminal commands: sessions, sessions new [NAME], sessions end NAME, lifetime [HOURS].
void registerTerminalCommands(ControlCommands& commands, TerminalCommandServices services);

} // namespace pelorn
