// The window's texts that follow rules, and the icons its symbols become.
#include "activity/logged_event.hpp"
#include "ui/ui_text.hpp"

#include <QIcon>
#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::ui;
using namespace std::chrono_literals;

TEST(WindowTexts, RelativeTimesAndRanges) {
    auto now = Clock::now();
    for (auto [ago, text] :
         std::vector<std::pair<std::chrono::seconds, std::string>>{{-5s, "just now"},
                                                                   {59s, "just now"},
                                                                   {60s, "1 minute ago"},
                                                                   {3599s, "59 minutes ago"},
                                                                   {2h, "2 hours ago"},
                                                                   {24h, "1 day ago"},
                                                                   {6 * 24h, "6 days ago"},
                                                                   {14 * 24h, "2 weeks ago"},
                                                                   {60 * 24h, "2 months ago"},
                                                                   {800 * 24h, "2 years ago"}}) {
        EXPECT_EQ(relativeTime(now - ago, now), text) << ago.count();
    }
    EXPECT_EQ(rangeLabel(1), "Today");
    EXPECT_EQ(rangeLabel(14), "14 days");
    EXPECT_EQ(rangeLabel(10), "10 days");
    EXPECT_EQ(olderNote(1, 7), "1 entry is older than 7 days. Widen the range to see them.");
    // A range of one day is today's calendar day, not the last 24 hours.
    auto midnight = startOfDay(now);
    EXPECT_TRUE(withinRange(midnight, 1, now));
    EXPECT_FALSE(withinRange(midnight - 1s, 1, now));
    EXPECT_TRUE(withinRange(midnight - 1s, 2, now));
}

// Every symbol the host uses has an icon in the desktop's theme.
TEST(WindowTexts, EverySymbolHasAThemeIcon) {
    std::vector<std::string> symbols{"ipad",
                                     "iphone",
                                     "eye",
                                     "eye.slash",
                                     "lock.fill",
                                     "doc.on.doc",
                                     "envelope",
                                     "arrow.down.circle",
                                     "key",
                                     "person.text.rectangle",
                                     "square",
                                     "checkmark.square.fill",
                                     "arrow.right",
                                     "g.circle.fill",
                                     "apple.logo",
                                     "lock.shield",
                                     "checkmark.seal",
                                     "clock",
                                     "trash",
                                     "rectangle.portrait.and.arrow.right"};
    for (const auto& section : sections) {
        symbols.emplace_back(section.symbol);
    }
    for (int k = 0; k <= static_cast<int>(LoggedEvent::Kind::Other); ++k) {
        symbols.emplace_back(LoggedEvent::icon(static_cast<LoggedEvent::Kind>(k)));
    }
    for (const auto& symbol : symbols) {
        auto name = QString::fromUtf8(iconName(symbol).data(), static_cast<int>(iconName(symbol).size()));
        EXPECT_TRUE(QIcon::hasThemeIcon(name + "-symbolic")) << symbol << " -> " << name.toStdString();
    }
}
