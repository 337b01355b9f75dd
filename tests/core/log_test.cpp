// What the journal learns of each line: its priority, and whether stdout is the journal at all.
#include "core/log.hpp"
#include "support/test_support.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

using namespace pelorn;

TEST(LogPriority, ErrorsAndWarningsAreMarkedAsSuch) {
    for (auto [line, priority] : std::vector<std::pair<std::string, int>>{
             {"❌ Receive error: frame too long", LOG_ERR},
             {"⚠️ Presence skipped - no signed-in account.", LOG_WARNING},
             {"⛔️ PELORN: No Accessibility permission - cursor will NOT move", LOG_WARNING},
             {"✅ Pelorn Mac daemon started (offline)", LOG_INFO},
             {"a warning ⚠️ later in the line", LOG_INFO},
             {"", LOG_INFO}}) {
        EXPECT_EQ(Log::priority(line), priority) << line;
    }
}

TEST(LogPriority, OnlyTheStreamSystemdNamesIsTheJournal) {
    test::TempDir dir;
    int fd = ::open((dir / "out").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    auto named = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    EXPECT_TRUE(Log::isJournalStream(named.c_str(), fd));
    EXPECT_FALSE(
        Log::isJournalStream((std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1)).c_str(), fd));
    EXPECT_FALSE(Log::isJournalStream(nullptr, fd));
    EXPECT_FALSE(Log::isJournalStream("journal", fd));
    ::close(fd);
}
