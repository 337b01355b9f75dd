#include "core/settings.hpp"
#include "signaling/connection_telemetry.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

using namespace pelorn;

TEST(ConnectionTelemetry, CountsRelayExactlyAndEverythingElseAsDirect) {
    Settings settings(std::nullopt);
    ConnectionTelemetry telemetry(settings);
    test::LogCapture log;
    telemetry.recordPath("host");
    telemetry.recordPath("relay");
    telemetry.recordPath("Relay");
    telemetry.recordPath("relay");
    telemetry.recordPath("relay");
    EXPECT_EQ(settings.integer(ConnectionTelemetry::directKey), 2);
    EXPECT_EQ(settings.integer(ConnectionTelemetry::relayKey), 3);
    ASSERT_EQ(log.lines().size(), 5u);
    EXPECT_EQ(log.lines()[0], "📊 PELORN TELEMETRY: 1 Direct, 0 Relay. P2P Success Rate: 100.0%");
    EXPECT_EQ(log.lines()[3], "📊 PELORN TELEMETRY: 2 Direct, 2 Relay. P2P Success Rate: 50.0%");
}
