#pragma once

#include <functional>

namespace pelorn {

class ControlCommands;
class EventLog;
class HostIdentity;
class Advertiser;
class HostLoop;
class ServerController;

struct HostCommandTargets {
    HostLoop& loop;
    ServerController& controller;
    EventLog& log;
    HostIdentity& identity;
    Advertiser& advertiser;
    std::function<void()> quit;
};

// status, online, offline, logs, quit. Each later subsystem adds its commands beside these.
void registerHostCommands(ControlCommands& commands, HostCommandTargets targets);

} // namespace pelorn
