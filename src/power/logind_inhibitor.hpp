#pragma once

#include "power/power_inhibitor.hpp"

#include <map>
#include <string>

typedef struct _GDBusConnection GDBusConnection;

namespace pelorn {

// Inhibitions from systemd-logind (`Inhibit` on the system bus), each held as the descriptor
// logind returns and ended by closing it: "idle" for keeping awake, "sleep" for the online pair.
// Keeping awake also inhibits the session's screen saver where the session bus has one. The buses
// are those of the environment (DBUS_SYSTEM_BUS_ADDRESS, DBUS_SESSION_BUS_ADDRESS), reached on
// first use. Calls block for at most a couple of seconds.
class LogindInhibitor final : public PowerInhibitor {
public:
    LogindInhibitor() = default;
    ~LogindInhibitor() override;

    std::variant<std::uint32_t, std::string> acquire(Kind kind, const std::string& why) override;
    std::optional<std::string> release(std::uint32_t handle) override;

    LogindInhibitor(const LogindInhibitor&) = delete;
    LogindInhibitor& operator=(const LogindInhibitor&) = delete;

private:
    struct Held {
        int fd = -1;
        std::optional<std::uint32_t> screenSaverCookie;
    };

    GDBusConnection* bus(bool system, std::string& error);

    GDBusConnection* mSystem = nullptr;
    GDBusConnection* mSession = nullptr;
    std::map<std::uint32_t, Held> mHeld;
    std::uint32_t mNextHandle = 1;
};

} // namespace pelorn
