#include "signaling/connection_telemetry.hpp"

#include "core/log.hpp"
#include "core/settings.hpp"

#include <cstdio>

namespace pelorn {

ConnectionTelemetry::ConnectionTelemetry(Settings& settings) : mSettings(settings) {
}

void ConnectionTelemetry::recordPath(const std::string& classification) {
    const char* key = classification == "relay" ? relayKey : directKey;
    mSettings.set(key, mSettings.integer(key) + 1);
    logSummary();
}

void ConnectionTelemetry::logSummary() {
    auto direct = mSettings.integer(directKey);
    auto relay = mSettings.integer(relayKey);
    auto total = direct + relay;
    if (total < 1) {
        Log::shared().info("📊 PELORN TELEMETRY: No sessions recorded yet.");
        return;
    }
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f",
                  static_cast<double>(direct) / static_cast<double>(total) * 100.0);
    Log::shared().info("📊 PELORN TELEMETRY: " + std::to_string(direct) + " Direct, " + std::to_string(relay) +
                       " Relay. P2P Success Rate: " + rate + "%");
}

} // namespace pelorn
