#include "activity/event_log.hpp"
#include "core/atomic_file.hpp"
#include "core/host_loop.hpp"
#include "core/task_pool.hpp"
#include "support/test_support.hpp"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

using namespace pelorn;
using namespace std::chrono_literals;
using Kind = LoggedEvent::Kind;

namespace {

const auto march1 = std::chrono::system_clock::from_time_t(1740852245); // 2025-03-01T18:04:05Z

class EventLogTest : public ::testing::Test {
protected:
    EventLogTest() { loop.setWallTime(march1); }

    std::shared_ptr<EventLog> open() { return EventLog::create(loop, pool, file); }
    nlohmann::json stored() { return nlohmann::json::parse(*readWholeFile(file)); }
    void writeStored(const nlohmann::json& j) { std::ofstream(file) << j.dump(); }

    test::TempDir dir;
    std::filesystem::path file = dir / "activity.json";
    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
};

} // namespace

// A repeat of the newest event's kind and subject (the detail is not compared) is dropped when it
// comes less than 1.5 s after it, or before it on a clock that was set back.
TEST_F(EventLogTest, RepeatsWithinOnePointFiveSecondsAreDropped) {
    struct Step {
        std::chrono::milliseconds after;
        Kind kind;
        const char* subject;
        std::size_t events;
    };
    const Step steps[] = {
        {0ms, Kind::DeviceConnected, "iPad", 1},
        {1000ms, Kind::DeviceConnected, "iPad", 1},  // within the window
        {499ms, Kind::DeviceConnected, "iPad", 1},   // 1499 ms after the kept one
        {1ms, Kind::DeviceConnected, "iPad", 2},     // 1500 ms: a new event
        {100ms, Kind::DeviceConnected, "iPhone", 3}, // another subject
        {0ms, Kind::MacOnline, nullptr, 4},          // another kind
        {-10000ms, Kind::MacOnline, nullptr, 4},     // from before the newest
    };
    auto log = open();
    for (const auto& step : steps) {
        loop.setWallTime(loop.wallNow() + step.after);
        log->record(step.kind, step.subject ? std::optional<std::string>(step.subject) : std::nullopt,
                    "over your network");
        EXPECT_EQ(log->events().get().size(), step.events) << &step - steps;
    }
}

TEST_F(EventLogTest, The601stEventRemovesTheOldest) {
    auto log = open();
    for (int i = 0; i < 601; ++i) {
        log->record(Kind::SessionCreated, "s" + std::to_string(i));
    }
    const auto& events = log->events().get();
    ASSERT_EQ(events.size(), EventLog::cap);
    EXPECT_EQ(events.front().subject, "s600");
    EXPECT_EQ(events.back().subject, "s1");
    log->finishWrites();
    EXPECT_EQ(stored().size(), EventLog::cap);
    EXPECT_EQ(stored()[0]["subject"], "s600");
}

TEST_F(EventLogTest, EntriesOlderThanThirtyDaysAreDroppedAtLoadAndTheFileRewritten) {
    writeStored(nlohmann::json::array({
        {{"id", "01234567-89AB-CDEF-0123-456789ABCDEF"},
         {"at", "2025-02-28T10:00:00Z"},
         {"kind", "macOnline"}},
        {{"id", "11234567-89AB-CDEF-0123-456789ABCDEF"},
         {"at", "2025-01-29T10:00:00Z"},
         {"kind", "macOffline"}},
    }));
    auto log = open();
    ASSERT_EQ(log->events().get().size(), 1u);
    EXPECT_EQ(log->events().get()[0].kind, Kind::MacOnline);
    log->finishWrites();
    EXPECT_EQ(stored().size(), 1u);
    EXPECT_EQ(stored()[0]["kind"], "macOnline");
}

TEST_F(EventLogTest, LoadWithNothingExpiredDoesNotRewriteTheFile) {
    auto original = nlohmann::json::array({{{"id", "01234567-89ab-cdef-0123-456789abcdef"},
                                            {"at", "2025-03-01T18:00:00+01:00"},
                                            {"kind", "macOnline"}}});
    writeStored(original);
    auto log = open();
    log->finishWrites();
    EXPECT_EQ(stored(), original);
    ASSERT_EQ(log->events().get().size(), 1u);
    EXPECT_EQ(log->events().get()[0].at, march1 - 1h - 4min - 5s); // 17:00:00Z
    EXPECT_EQ(log->events().get()[0].id, "01234567-89AB-CDEF-0123-456789ABCDEF");
}

TEST_F(EventLogTest, UnknownKindLoadsAsOtherAndShowsActivity) {
    writeStored(nlohmann::json::array({{{"id", "01234567-89AB-CDEF-0123-456789ABCDEF"},
                                        {"at", "2025-03-01T12:00:00Z"},
                                        {"kind", "teleported"}}}));
    auto log = open();
    ASSERT_EQ(log->events().get().size(), 1u);
    EXPECT_EQ(log->events().get()[0].kind, Kind::Other);
    EXPECT_EQ(log->events().get()[0].sentence(), "Activity");
}

TEST_F(EventLogTest, CorruptOrPartlyInvalidFileStartsEmptyAndTheNextAppendReplacesIt) {
    for (const std::string& bad :
         {std::string("not json"), std::string("{\"a\":1}"),
          std::string(R"([{"id":"X","at":"2025-03-01T12:00:00Z","kind":"macOnline"}])"),
          std::string(R"([{"id":"01234567-89AB-CDEF-0123-456789ABCDEF","kind":"macOnline"}])"),
          std::string(
              R"([{"id":"01234567-89AB-CDEF-0123-456789ABCDEF","at":"yesterday","kind":"macOnline"}])")}) {
        std::ofstream(file) << bad;
        auto log = open();
        EXPECT_TRUE(log->events().get().empty()) << bad;
        log->finishWrites();
        EXPECT_EQ(*readWholeFile(file), bad); // nothing is written until something happens
        log->record(Kind::MacOnline);
        log->finishWrites();
        EXPECT_EQ(stored().size(), 1u);
    }
}

TEST_F(EventLogTest, FileFormIsNewestFirstWithOptionalMembersLeftOut) {
    auto log = open();
    log->record(Kind::MacOnline);
    loop.advance(2500ms);
    log->record(Kind::DeviceConnected, "iPad", "over your network");
    log->finishWrites();
    auto j = stored();
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0]["kind"], "deviceConnected");
    EXPECT_EQ(j[0]["at"], "2025-03-01T18:04:07Z"); // whole seconds
    EXPECT_EQ(j[0]["subject"], "iPad");
    EXPECT_EQ(j[1].size(), 3u);
    EXPECT_FALSE(j[1].contains("subject"));
    EXPECT_FALSE(j[1].contains("detail"));
    // And it loads back as the same events (to the second).
    auto reloaded = EventLog::create(loop, pool, file);
    ASSERT_EQ(reloaded->events().get().size(), 2u);
    EXPECT_EQ(reloaded->events().get()[0].id, log->events().get()[0].id);
    EXPECT_EQ(reloaded->events().get()[0].detail, "over your network");
}

TEST_F(EventLogTest, AppendsDuringAWriteAreWrittenByOneFollowUpWrite) {
    auto log = open();
    log->record(Kind::SessionCreated, "a");
    EXPECT_TRUE(log->isSaving());
    log->record(Kind::SessionCreated, "b");
    log->record(Kind::SessionCreated, "c");
    log->finishWrites();
    EXPECT_FALSE(log->isSaving());
    auto j = stored();
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[0]["subject"], "c");
}

TEST(EventText, ExportIsOldestFirstInLocalTimeWithQualifiers) {
    ::setenv("TZ", "America/Los_Angeles", 1);
    ::tzset();
    std::vector<LoggedEvent> newestFirst{
        {"b", march1 + 60s, Kind::DeviceConnected, "iPad", "over your network"},
        {"a", march1, Kind::MacOnline, std::nullopt, std::nullopt},
        {"c", march1 - 60s, Kind::ScreenStopped, std::nullopt, "over the internet"},
    };
    EXPECT_EQ(exportText(newestFirst),
              "2025-03-01 10:03:05 -08:00  Screen sharing stopped  (over the internet)\n"
              "2025-03-01 10:04:05 -08:00  Went online\n"
              "2025-03-01 10:05:05 -08:00  iPad connected  (iPad - over your network)");
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(exportText({newestFirst[1]}), "2025-03-01 18:04:05 Z  Went online");
    ::unsetenv("TZ");
    ::tzset();
}

TEST(EventText, Iso8601ParsingRefusesMalformedDates) {
    EXPECT_EQ(parseIso8601("2025-03-01T18:04:05Z"), march1);
    EXPECT_EQ(parseIso8601("2025-03-01T19:04:05+01:00"), march1);
    for (const char* bad : {"2025-03-01 18:04:05Z", "2025-13-01T18:04:05Z", "2025-03-01T18:04:05",
                            "2025-03-01T18:04:05+0100", "2025-03-01T18:04:05Zjunk", ""}) {
        EXPECT_FALSE(parseIso8601(bad)) << bad;
    }
}
