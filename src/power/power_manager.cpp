#include "power/power_manager.hpp"

#include "core/log.hpp"
#include "core/settings.hpp"

namespace pelorn {

namespace {
constexpr const char* activeName = "Pelorn is active";
constexpr const char* availableName = "Pelorn is available for remote control";
} // namespace

PowerManager::PowerManager(Settings& settings, std::unique_ptr<PowerInhibitor> inhibitor)
    : mSettings(settings), mInhibitor(std::move(inhibitor)) {
    if (keepAwakeRequested()) {
        enableKeepAwake();
    }
}

PowerManager::~PowerManager() {
    disableKeepAwake();
    endOnlineAvailability();
}

bool PowerManager::keepAwakeRequested() const {
    return mSettings.boolean(storageKey);
}

void PowerManager::setKeepAwake(bool on) {
    mSettings.set(storageKey, on);
    if (on) {
        enableKeepAwake();
    } else {
        disableKeepAwake();
    }
}

void PowerManager::enableKeepAwake() {
    if (mAssertionID != 0) {
        return;
    }
    auto acquired = mInhibitor->acquire(PowerInhibitor::Kind::KeepAwake, activeName);
    if (auto* error = std::get_if<std::string>(&acquired)) {
        Log::shared().info("⚠️ Power: Failed to create awake assertion (error " + *error + ")");
        return;
    }
    mAssertionID = std::get<std::uint32_t>(acquired);
    Log::shared().info("🕯️ Power: Mac will stay awake (assertion " + std::to_string(mAssertionID) +
                       " active)");
}

void PowerManager::disableKeepAwake() {
    if (mAssertionID == 0) {
        return;
    }
    auto failure = mInhibitor->release(mAssertionID);
    mAssertionID = 0;
    Log::shared().info(failure ? "⚠️ Power: Failed to release awake assertion (error " + *failure + ")"
                               : std::string("💤 Power: Mac can now sleep (assertion released)"));
}

void PowerManager::beginOnlineAvailability() {
    if (mOnlineNetworkAssertionID != 0 || mOnlineSystemAssertionID != 0) {
        return;
    }
    auto network = mInhibitor->acquire(PowerInhibitor::Kind::OnlineNetwork, availableName);
    auto system = mInhibitor->acquire(PowerInhibitor::Kind::OnlineSystem, availableName);
    auto* networkId = std::get_if<std::uint32_t>(&network);
    auto* systemId = std::get_if<std::uint32_t>(&system);
    if (networkId && systemId) {
        mOnlineNetworkAssertionID = *networkId;
        mOnlineSystemAssertionID = *systemId;
        Log::shared().info("🌙 Power: Mac will stay available while Pelorn is online");
        return;
    }
    // Both or neither: one half would keep the computer awake with nothing saying so.
    for (auto* id : {networkId, systemId}) {
        if (id) {
            mInhibitor->release(*id);
        }
    }
    auto code = [](const std::variant<std::uint32_t, std::string>& r) {
        return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : std::string("0");
    };
    Log::shared().info("⚠️ Power: Failed to keep the Mac awake while online (network: " + code(network) +
                       ", system: " + code(system) + ")");
}

void PowerManager::endOnlineAvailability() {
    for (auto* id : {&mOnlineNetworkAssertionID, &mOnlineSystemAssertionID}) {
        if (*id != 0) {
            mInhibitor->release(*id);
            *id = 0;
        }
    }
    Log::shared().info("💤 Power: Online availability assertion released");
}

} // namespace pelorn
