#pragma once

#include "core/published.hpp"

#include <optional>
#include <string>

namespace pelorn {

class EventLog;
class HostLoop;
class Settings;
struct HostServices;

// Decides whether this computer is reachable: goOnline starts the listener, presence, the remote
// session listener and the power assertions; goOffline tells clients and tears everything down.
// Both run to completion on the host loop.
class ServerController {
public:
    static constexpr const char* signInRequiredText = "Sign in required to go online.";

    ServerController(HostLoop& loop, Settings& settings, EventLog& log, HostServices& services);
    static ServerController& shared();

    void goOnline();
    void goOffline();
    void toggleOnline();

    const Published<bool>& isOnline() const { return mIsOnline; }
    const Published<std::optional<std::string>>& lastError() const { return mLastError; }

    ServerController(const ServerController&) = delete;
    ServerController& operator=(const ServerController&) = delete;

private:
    HostLoop& mLoop;
    Settings& mSettings;
    EventLog& mLog;
    HostServices& mServices;
    Published<bool> mIsOnline{false};
    Published<std::optional<std::string>> mLastError;
};

// The owner e-mail as the host uses it: lower-cased.
std::string ownerEmail(Settings& settings);

} // namespace pelorn
