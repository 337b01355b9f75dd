// The session store, the lifetime setting and the idle reaper, on a manual clock, against a real
// tmux server private to each test.
#include "activity/event_log.hpp"
#include "core/atomic_file.hpp"
#include "core/host_loop.hpp"
#include "core/notification_center.hpp"
#include "core/paths.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "support/private_tmux.hpp"
#include "terminal/session_lifetime.hpp"
#include "terminal/session_reaper.hpp"
#include "terminal/terminal_session_store.hpp"

#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace pelorn;
using namespace std::chrono_literals;

namespace {

TEST(SessionLifetime, StoredHoursAndTheirFallback) {
    HostLoop loop{HostLoop::TimeMode::Manual};
    NotificationCenter center{loop};
    Settings settings{std::nullopt};
    EXPECT_EQ(session_lifetime::current(settings), SessionLifetime::TwelveHours);
    for (auto [stored, expected] :
         std::vector<std::pair<nlohmann::json, SessionLifetime>>{{0, SessionLifetime::Never},
                                                                 {1, SessionLifetime::OneHour},
                                                                 {24, SessionLifetime::OneDay},
                                                                 {5, SessionLifetime::TwelveHours},
                                                                 {6.5, SessionLifetime::TwelveHours},
                                                                 {"6", SessionLifetime::TwelveHours},
                                                                 {-1, SessionLifetime::TwelveHours}}) {
        settings.set(session_lifetime::settingsKey, stored);
        EXPECT_EQ(session_lifetime::current(settings), expected) << stored.dump();
    }
    int changes = 0;
    auto observed = center.observe(session_lifetime::changedNotification, [&](const auto&) { ++changes; });
    session_lifetime::set(settings, center, SessionLifetime::SixHours);
    loop.runPending();
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(settings.integer(session_lifetime::settingsKey), 6);
}

TEST(SessionLifetime, IdleAndAgeTexts) {
    const double now = 1'800'000'000;
    EXPECT_EQ(idleEndText(true, 3, now - 3600 + 5 * 60, now), "idle · ends in 2h 5m");
    EXPECT_EQ(idleEndText(true, 1, now - 3600 + 30, now), "idle · ends in under a minute");
    EXPECT_EQ(idleEndText(true, 1, now - 3600 + 59 * 60 + 59, now), "idle · ends in 59m");
    EXPECT_EQ(idleEndText(true, 1, now - 3600 + 3600, now), "idle · ends in 1h 0m");
    EXPECT_EQ(idleEndText(true, 1, now - 3600, now), "ending now");
    EXPECT_EQ(idleEndText(true, 1, now - 7200, now), "ending now");
    EXPECT_EQ(idleEndText(false, 12, now, now), "");
    EXPECT_EQ(idleEndText(true, 0, now, now), "");

    EXPECT_EQ(ageText(now + 100, now), "just now"); // a clock that went back
    EXPECT_EQ(ageText(now - 59, now), "just now");
    EXPECT_EQ(ageText(now - 60, now), "1m");
    EXPECT_EQ(ageText(now - 3599, now), "59m");
    EXPECT_EQ(ageText(now - 2 * 3600 - 5 * 60, now), "2h 5m");
    EXPECT_EQ(ageText(now - 3 * 86400 - 4 * 3600 - 59, now), "3d 4h");
}

TEST(SessionPayload, JsonShape) {
    TermSessionsPayload p{.available = true,
                          .sessions = {{"work", 1.5, 2, 3.25, 1, false}},
                          .attachCommand = "tmux attach -t NAME",
                          .lifetimeHours = 0};
    EXPECT_EQ(nlohmann::json(p),
              nlohmann::json::parse(R"({"available":true,"attachCommand":"tmux attach -t NAME",
        "lifetimeHours":0,"sessions":[{"name":"work","created":1.5,"attached":2,"activity":3.25,"windows":1,
        "managed":false}]})"));
    // Older hosts leave the optional keys out.
    auto decoded = nlohmann::json::parse(R"({"available":false,"attachCommand":"x","sessions":[
        {"name":"a","created":1,"attached":0,"activity":2,"windows":3}]})")
                       .get<TermSessionsPayload>();
    EXPECT_FALSE(decoded.lifetimeHours);
    ASSERT_EQ(decoded.sessions.size(), 1u);
    EXPECT_FALSE(decoded.sessions[0].managed);
    EXPECT_EQ(decoded.sessions[0].windows, 3);
    EXPECT_EQ(nlohmann::json(decoded).get<TermSessionsPayload>(), decoded);
}

class StoreTest : public ::testing::Test, protected test::PrivateTmux {
protected:
    ~StoreTest() override {
        pool.waitIdle();
        loop.runPending();
    }
    bool refreshed() {
        bool done = false;
        store.refresh([&] { done = true; });
        return test::pumpUntil(loop, [&] { return done; });
    }
    void created(const std::string& name) {
        ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession(name)));
    }

    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
    Settings settings{std::nullopt};
    std::vector<std::filesystem::path> opened;
    std::optional<std::string> openFailure;
    TerminalSessionStore store{loop, pool, tmux, settings, [this](const std::filesystem::path& p) {
                                   opened.push_back(p);
                                   return openFailure;
                               }};
};

TEST_F(StoreTest, RefreshPublishesOnlyChanges) {
    EXPECT_TRUE(store.available().get());
    int published = 0;
    auto sub = store.sessions().subscribe([&](const auto&) { ++published; });
    ASSERT_TRUE(refreshed()); // a fresh server: nothing, and no error
    EXPECT_TRUE(store.sessions().get().empty());
    EXPECT_FALSE(store.lastError().get());
    created("work");
    ASSERT_TRUE(refreshed());
    EXPECT_EQ(published, 1);
    ASSERT_EQ(store.sessions().get().size(), 1u);
    EXPECT_TRUE(store.sessions().get()[0].managed);
    ASSERT_TRUE(refreshed());
    EXPECT_EQ(published, 1);
}

TEST_F(StoreTest, WatchersDriveTheTwoSecondRefresh) {
    store.addWatcher();
    store.addWatcher();
    EXPECT_TRUE(store.isPolling());
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return !store.isRefreshing(); }));
    created("work");
    loop.advance(2s); // the tick starts a refresh that finds the new session
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return store.sessions().get().size() == 1; }));
    store.removeWatcher();
    EXPECT_TRUE(store.isPolling());
    store.removeWatcher();
    store.removeWatcher(); // never below zero
    EXPECT_EQ(store.watchers(), 0);
    EXPECT_FALSE(store.isPolling());
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return !store.isRefreshing(); }));
    created("other");
    loop.advance(10s);
    pool.waitIdle();
    loop.runPending();
    EXPECT_EQ(store.sessions().get().size(), 1u);
}

TEST_F(StoreTest, HoldersAndStatusLabels) {
    Tmux::Session s{.name = "work", .attachedClients = 0};
    EXPECT_EQ(store.statusLabel(s), "Detached");
    s.attachedClients = 1;
    EXPECT_EQ(store.statusLabel(s), "Attached elsewhere");
    store.addHolder("work", "iPhone");
    store.addHolder("work", "iPad");
    store.addHolder("work", "iPad");
    EXPECT_EQ(store.holderLabels("work"), (std::vector<std::string>{"iPad", "iPhone"}));
    EXPECT_EQ(store.statusLabel(s), "Attached · iPad, iPhone");
    store.removeHolder("work", "iPad");
    store.removeHolder("work", "iPhone");
    store.removeHolder("elsewhere", "iPad");
    EXPECT_TRUE(store.holders().get().empty());
    EXPECT_EQ(store.statusLabel(s), "Attached elsewhere");
}

TEST_F(StoreTest, PayloadCarriesTheLifetimeAndTheAttachCommand) {
    created("work");
    ASSERT_TRUE(refreshed());
    settings.set(session_lifetime::settingsKey, 0);
    auto p = store.payload();
    EXPECT_EQ(p.lifetimeHours, 0);
    EXPECT_EQ(p.attachCommand, "tmux attach -t NAME");
    ASSERT_EQ(p.sessions.size(), 1u);
    EXPECT_EQ(p.sessions[0].managed, true);
    EXPECT_EQ(nlohmann::json(p)["lifetimeHours"], 0);

    // The host's own copy is named by its path, quoted for the shell.
    Tmux own{{"/nonexistent/tmux"}, "/usr/bin/tmux"};
    EXPECT_EQ(own.attachCommand("NAME"), "'/usr/bin/tmux' attach -t NAME");
    EXPECT_EQ(tmux.attachCommand("my work;rm -rf ~"), "tmux attach -t 'my work;rm -rf ~'");
    EXPECT_EQ(tmux.attachCommand("it's"), "tmux attach -t 'it'\\''s'");
}

TEST_F(StoreTest, OpenInTerminalWritesARunnableScript) {
    store.openInTerminal("work");
    store.openInTerminal("work");
    auto file = TerminalSessionStore::commandFile("work");
    // In a folder of this user's alone, so nobody can swap the script before it runs.
    EXPECT_EQ(file, appRuntimeDir() / "sessions" / "work.command");
    EXPECT_EQ(std::filesystem::status(file.parent_path()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    ASSERT_EQ(opened, (std::vector<std::filesystem::path>{file, file}));
    std::string shell = std::filesystem::exists("/bin/zsh") ? "/bin/zsh" : "/bin/sh";
    EXPECT_EQ(readWholeFile(file), "#!" + shell + "\nclear\nexec tmux attach -t work");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_FALSE(store.lastError().get());

    // A name never leaves the folder.
    EXPECT_EQ(TerminalSessionStore::commandFile("../../etc/x").parent_path(), file.parent_path());
    EXPECT_EQ(TerminalSessionStore::commandFile("..").parent_path(), file.parent_path());

    openFailure = "no terminal application was found";
    store.openInTerminal("work");
    EXPECT_EQ(store.lastError().get(), "Couldn't open Terminal: no terminal application was found");
}

// The reaper with a listing of the test's own, on the loop's clock.
class ReaperTest : public StoreTest {
protected:
    ReaperTest() {
        loop.setWallTime(
            std::chrono::system_clock::time_point(std::chrono::seconds(static_cast<long long>(now))));
    }

    Tmux::Session session(std::string name, double idleSeconds, bool managed = true) {
        return {std::move(name), now - 100000, 0, now - idleSeconds, 1, managed};
    }
    void sweepOnce() {
        reaper.sweep();
        ASSERT_TRUE(test::pumpUntil(loop, [&] { return !reaper.isWorking(); }));
    }
    std::vector<std::string> names() {
        auto listed = tmux.listSessions();
        std::vector<std::string> out;
        for (const auto& s : std::get<std::vector<Tmux::Session>>(listed)) {
            out.push_back(s.name);
        }
        return out;
    }

    static constexpr double now = 1'800'000'000;
    NotificationCenter center{loop};
    std::shared_ptr<EventLog> log = EventLog::create(loop, pool, std::nullopt);
    std::vector<Tmux::Session> listing;
    std::atomic<int> listings{0}; // counted on the task pool
    test::LogCapture lines;
    SessionReaper reaper{{loop, pool, tmux, settings, center, store, *log, [this] {
                              ++listings;
                              return TmuxResult<std::vector<Tmux::Session>>(listing);
                          }}};
};

TEST_F(ReaperTest, EndsManagedSessionsIdleAtLeastTheLifetime) {
    for (auto name : {"old", "edge", "young", "mine"}) {
        created(name);
    }
    listing = {session("old", 12 * 3600 + 1), session("edge", 12 * 3600),
               session("young", 11 * 3600 + 59 * 60), session("mine", 1e6, false)};
    sweepOnce();
    EXPECT_EQ(names(), (std::vector<std::string>{"mine", "young"}));
    EXPECT_TRUE(lines.contains("⏳ PELORN: ended session old (idle over 12 h)"));
    EXPECT_TRUE(lines.contains("⏳ PELORN: ended session edge (idle over 12 h)"));
    const auto& events = log->events().get();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, LoggedEvent::Kind::SessionExpired);
    EXPECT_EQ(events[0].subject, "edge");
    EXPECT_EQ(events[0].detail, "idle over 12h");
    // The store refreshes so clients see the sessions go.
    EXPECT_TRUE(test::pumpUntil(loop, [&] { return store.sessions().get().size() == 2; }));
}

TEST_F(ReaperTest, NeverReapsNothingAndListsNothing) {
    settings.set(session_lifetime::settingsKey, 0);
    listing = {session("old", 1e7)};
    sweepOnce();
    EXPECT_EQ(listings, 0);
    settings.set(session_lifetime::settingsKey, 5); // reads as twelve hours
    listing = {session("a", 12 * 3600 - 1)};
    sweepOnce();
    EXPECT_EQ(listings, 1);
    EXPECT_TRUE(log->events().get().empty());
}

TEST_F(ReaperTest, FailedKillIsLoggedAndTheRestGoOn) {
    created("second");
    listing = {session("gone", 2e5), session("second", 2e5)};
    sweepOnce();
    EXPECT_TRUE(lines.contains("⏳ PELORN: could not end gone - can't find session: gone"));
    EXPECT_TRUE(names().empty());
}

TEST_F(ReaperTest, TimerAndLifetimeChangesSweep) {
    created("work");
    settings.set(session_lifetime::settingsKey, 24);
    listing = {session("work", 2 * 3600)};
    reaper.start();
    reaper.start();
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return !reaper.isWorking(); }));
    EXPECT_EQ(listings, 1);
    EXPECT_EQ(names(), std::vector<std::string>{"work"});
    loop.advance(60s);
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return !reaper.isWorking(); }));
    EXPECT_EQ(listings, 2);
    // A shorter lifetime takes effect at once, without waiting for the next tick.
    session_lifetime::set(settings, center, SessionLifetime::OneHour);
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return listings == 3 && !reaper.isWorking(); }));
    EXPECT_TRUE(names().empty());
}

// The same reaper on the real listing: tmux's own activity times and @pelorn marks.
TEST_F(StoreTest, ReaperAgainstRealTmux) {
    created("managed");
    ASSERT_TRUE(std::holds_alternative<std::string>(tmux.run({"new-session", "-d", "-s", "byhand"})));
    NotificationCenter center{loop};
    auto log = EventLog::create(loop, pool, std::nullopt);
    SessionReaper reaper{{loop, pool, tmux, settings, center, store, *log}};
    settings.set(session_lifetime::settingsKey, 1);
    loop.setWallTime(std::chrono::system_clock::now() + 2h);
    reaper.sweep();
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return !reaper.isWorking(); }));
    auto listed = std::get<std::vector<Tmux::Session>>(tmux.listSessions());
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "byhand");
    EXPECT_FALSE(listed[0].managed);
}

} // namespace
