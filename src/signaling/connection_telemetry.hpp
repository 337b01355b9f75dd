#pragma once

#include <string>

namespace pelorn {

class Settings;

// Counts how internet sessions reached the client (direct or through a relay), kept only in the
// local settings.
class ConnectionTelemetry {
public:
    static constexpr const char* directKey = "pelornTelemetryDirectCount";
    static constexpr const char* relayKey = "pelornTelemetryRelayCount";

    explicit ConnectionTelemetry(Settings& settings);
    static ConnectionTelemetry& shared();

    // "relay" counts as relayed; any other classification as direct.
    void recordPath(const std::string& classification);
    void logSummary();

    ConnectionTelemetry(const ConnectionTelemetry&) = delete;
    ConnectionTelemetry& operator=(const ConnectionTelemetry&) = delete;

private:
    Settings& mSettings;
};

} // namespace pelorn
