#pragma once

#include "core/published.hpp"
#include "power/power_inhibitor.hpp"

#include <cstdint>
#include <memory>

namespace pelorn {

class Settings;

// Keeps the computer awake: while the owner's switch ("keepMacAwake") is on, and, independently,
// while the host is online. Host loop only.
class PowerManager {
public:
    static constexpr const char* storageKey = "keepMacAwake";

    // Holds the keep-awake inhibition at once when the switch was left on.
    PowerManager(Settings& settings, std::unique_ptr<PowerInhibitor> inhibitor);
    ~PowerManager();
    static PowerManager& shared();

    void setKeepAwake(bool on);
    void enableKeepAwake();
    void disableKeepAwake();
    void beginOnlineAvailability();
    void endOnlineAvailability();

    // The owner's switch as stored.
    bool keepAwakeRequested() const;
    std::uint32_t assertionID() const { return mAssertionID; }
    std::uint32_t onlineNetworkAssertionID() const { return mOnlineNetworkAssertionID; }
    std::uint32_t onlineSystemAssertionID() const { return mOnlineSystemAssertionID; }

    PowerManager(const PowerManager&) = delete;
    PowerManager& operator=(const PowerManager&) = delete;

private:
    Settings& mSettings;
    std::unique_ptr<PowerInhibitor> mInhibitor;
    std::uint32_t mAssertionID = 0;
    std::uint32_t mOnlineNetworkAssertionID = 0;
    std::uint32_t mOnlineSystemAssertionID = 0;
};

} // namespace pelorn
