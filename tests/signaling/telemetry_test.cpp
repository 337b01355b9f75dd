#include "core/settings.hpp"
#include "signaling/connection_telemetry.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

using namespace pelorn;

TEST(ConnectionTelemetry, SummaryWithNoSessionsSaysSo) {
    Settings settings(std::nullopt);
    test::LogCapture log;
    ConnectionTelemetry(settings).logSummary();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"📊 PELORN TELEMETRY: No sessions recorded yet."});
}

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

TEST(ConnectionTelemetry, OneDirectThreeRelayedIsTwentyFivePercent) {
    Settings settings(std::nullopt);
    settings.set("pelornTelemetryDirectCount", 1);
    settings.set("pelornTelemetryRelayCount", 3);
    test::LogCapture log;
    ConnectionTelemetry(settings).logSummary();
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"📊 PELORN TELEMETRY: 1 Direct, 3 Relay. P2P Success Rate: 25.0%"});
}
