// The tmux wrapper: pure rules by value, the rest against real tmux on a private server.
#include "core/process_runner.hpp"
#include "support/private_tmux.hpp"
#include "terminal/tmux.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace pelorn;

namespace {

void writeScript(const std::filesystem::path& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
}

template <class T> const TmuxFailure& failureOf(const TmuxResult<T>& r) {
    static const TmuxFailure none{TmuxFailure::Kind::Command, "<no failure>"};
    return std::holds_alternative<TmuxFailure>(r) ? std::get<TmuxFailure>(r) : none;
}

TEST(TmuxEnvironment, PathGetsTheStandardDirectoriesOnceAfterItsOwn) {
    auto env = Tmux::environmentFrom({"TERM=dumb", "HOME=/elsewhere"}, "/home/me", "/bin/bash");
    EXPECT_EQ(env,
              (std::vector<std::string>{"TERM=xterm-256color", "HOME=/home/me",
                                        "PATH=/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
                                        "LANG=en_US.UTF-8", "SHELL=/bin/bash"}));
    env = Tmux::environmentFrom({"PATH=/usr/bin::/custom", "LANG=de_DE.UTF-8", "SHELL=/usr/bin/fish"}, "/h",
                                "/bin/sh");
    EXPECT_EQ(env, (std::vector<std::string>{
                       "PATH=/usr/bin:/custom:/opt/homebrew/bin:/usr/local/bin:/bin:/usr/sbin:/sbin",
                       "LANG=de_DE.UTF-8", "SHELL=/usr/bin/fish", "TERM=xterm-256color", "HOME=/h"}));
}

TEST(TmuxNames, ValidationTrimsAndRefusesWithItsTexts) {
    EXPECT_EQ(std::get<std::string>(Tmux::validateName("  work \n")), "work");
    EXPECT_EQ(failureOf(Tmux::validateName("   ")).text(), "Give the session a name.");
    EXPECT_EQ(failureOf(Tmux::validateName("a:b")).text(), "Session names can't contain “:” or “.”");
    EXPECT_EQ(failureOf(Tmux::validateName("a.b")).kind, TmuxFailure::Kind::InvalidName);
    std::string forty;
    for (int i = 0; i < 40; ++i) {
        forty += "é"; // characters, not bytes, count
    }
    EXPECT_TRUE(std::holds_alternative<std::string>(Tmux::validateName(forty)));
    EXPECT_EQ(failureOf(Tmux::validateName(forty + "x")).text(), "Keep the name under 40 characters.");
}

TEST(TmuxNames, SuggestionsAvoidTakenNamesThenFallBack) {
    std::set<std::string> taken;
    for (int i = 0; i < 200; ++i) {
        auto name = Tmux::suggestName(taken);
        ASSERT_EQ(taken.count(name), 0u) << name;
        ASSERT_NE(name.find('-'), std::string::npos);
        taken.insert(name);
    }
    // With every pair taken only the numbered fallback is left.
    std::set<std::string> all;
    for (int i = 0; i < 20000 && all.size() < 1024; ++i) {
        auto n = Tmux::suggestName({});
        all.insert(n);
    }
    ASSERT_EQ(all.size(), 1024u);
    auto fallback = Tmux::suggestName(all);
    ASSERT_EQ(fallback.rfind("session-", 0), 0u) << fallback;
    int number = std::stoi(fallback.substr(8));
    EXPECT_GE(number, 100);
    EXPECT_LE(number, 999);
}

TEST(TmuxListing, LinesInTheWrongShapeAreSkipped) {
    auto s = Tmux::parseListingLine("work\t1700000000\t2\t1700000100.5\t3\t1");
    ASSERT_TRUE(s);
    EXPECT_EQ(*s, (Tmux::Session{"work", 1700000000, 2, 1700000100.5, 3, true}));
    EXPECT_FALSE(Tmux::parseListingLine("mine\t1\t+0\t1\t-1\t")->managed);
    EXPECT_FALSE(Tmux::parseListingLine("a\t1\t0\t1\t1"));                       // five fields
    EXPECT_FALSE(Tmux::parseListingLine("a\t1\t0\t1\t1\t1\tx"));                 // seven
    EXPECT_FALSE(Tmux::parseListingLine("a\t 1\t0\t1\t1\t1"));                   // leading space
    EXPECT_FALSE(Tmux::parseListingLine("a\t1\t\t1\t1\t1"));                     // empty integer
    EXPECT_FALSE(Tmux::parseListingLine("a\t1\t99999999999999999999\t1\t1\t1")); // overflow
    EXPECT_FALSE(Tmux::parseListingLine("a\t1x\t0\t1\t1\t1"));
}

TEST(TmuxLocate, FixedPathsComeBeforeTheOwnCopy) {
    test::TempDir dir;
    writeScript(dir / "own-tmux", "exit 0");
    Tmux ownOnly({dir / "missing"}, dir / "own-tmux");
    EXPECT_EQ(ownOnly.locate(), dir / "own-tmux");
    EXPECT_TRUE(ownOnly.usesOwnCopy());
    EXPECT_EQ(ownOnly.attachCommand("work"), "'" + (dir / "own-tmux").string() + "' attach -t work");

    writeScript(dir / "system-tmux", "exit 0");
    Tmux both({dir / "missing", dir / "system-tmux"}, dir / "own-tmux");
    EXPECT_EQ(both.locate(), dir / "system-tmux");
    EXPECT_FALSE(both.usesOwnCopy());
    EXPECT_EQ(both.attachCommand("work"), "tmux attach -t work");

    std::ofstream(dir / "not-executable") << "x";
    Tmux none({dir / "not-executable"}, dir / "missing");
    EXPECT_FALSE(none.isAvailable());
    EXPECT_EQ(failureOf(none.listSessions()).text(), "tmux is not available on this Mac.");
}

TEST(TmuxRun, FailureCarriesTmuxsWordsOrTheExitStatus) {
    test::TempDir dir;
    writeScript(dir / "quiet", "exit 1");
    writeScript(dir / "talks", "echo '  bad thing  ' >&2; exit 3");
    writeScript(dir / "args", "printf '%s|' \"$@\"; printf '%s' \"$TERM\"");
    EXPECT_EQ(failureOf(Tmux({dir / "quiet"}, "").run({"x"})).text(), "tmux exited with 1");
    EXPECT_EQ(failureOf(Tmux({dir / "talks"}, "").run({"x"})).text(), "bad thing");
    EXPECT_EQ(std::get<std::string>(Tmux({dir / "args"}, "").run({"list-sessions", "a b"})),
              "-u|list-sessions|a b|xterm-256color");
    // No server yet is an empty list, not an error.
    writeScript(dir / "noserver", "echo 'no server running on /tmp/tmux-0/default' >&2; exit 1");
    auto listed = Tmux({dir / "noserver"}, "").listSessions();
    ASSERT_TRUE(std::holds_alternative<std::vector<Tmux::Session>>(listed));
    EXPECT_TRUE(std::get<std::vector<Tmux::Session>>(listed).empty());
}

// Real tmux on a server of this test's own.
struct RealTmux : ::testing::Test, test::PrivateTmux {
    std::vector<Tmux::Session> list() {
        auto r = tmux.listSessions();
        EXPECT_TRUE(std::holds_alternative<std::vector<Tmux::Session>>(r)) << failureOf(r).text();
        return std::holds_alternative<std::vector<Tmux::Session>>(r) ? std::get<std::vector<Tmux::Session>>(r)
                                                                     : std::vector<Tmux::Session>{};
    }
};

TEST_F(RealTmux, SessionsAreMadeListedAndEndedByExactName) {
    EXPECT_TRUE(list().empty()); // no server yet
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("  work  ")));
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work2")));
    ASSERT_TRUE(std::holds_alternative<std::string>(tmux.run({"new-session", "-d", "-s", "mine"})));
    EXPECT_EQ(failureOf(tmux.newSession("work2")).text(), "duplicate session: work2");
    EXPECT_EQ(failureOf(tmux.newSession("a.b")).kind, TmuxFailure::Kind::InvalidName);

    auto sessions = list();
    ASSERT_EQ(sessions.size(), 3u);
    std::map<std::string, Tmux::Session> byName;
    for (auto& s : sessions) {
        byName[s.name] = s;
    }
    EXPECT_TRUE(byName.at("work").managed);
    EXPECT_FALSE(byName.at("mine").managed);
    EXPECT_EQ(byName.at("work").windows, 1);
    EXPECT_EQ(byName.at("work").attachedClients, 0);
    EXPECT_GT(byName.at("work").created, 1.6e9);

    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.killSession("work")));
    sessions = list();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_TRUE(std::none_of(sessions.begin(), sessions.end(), [](auto& s) { return s.name == "work"; }));
    EXPECT_EQ(failureOf(tmux.killSession("wor")).text(), "can't find session: wor");
}

// tmux expands formats in a new session's name and ends a command at an argument ending in ";":
// a client's name must reach it as plain text all the same.
TEST_F(RealTmux, NamesWithTmuxSyntaxAreTakenLiterally) {
    // Names can't hold ".", so the witness is a plain path of its own.
    std::filesystem::path ran = "/tmp/pelorn-tmux-format-ran";
    std::filesystem::remove(ran);
    std::vector<std::string> names{"#(touch " + ran.string() + ")", "a;b", "a;", "#{session_name}", "##"};
    for (const auto& name : names) {
        auto made = tmux.newSession(name);
        ASSERT_TRUE(std::holds_alternative<std::monostate>(made)) << name << ": " << failureOf(made).text();
    }
    std::set<std::string> listed;
    for (const auto& s : list()) {
        listed.insert(s.name);
        EXPECT_TRUE(s.managed) << s.name;
    }
    EXPECT_EQ(listed, std::set<std::string>(names.begin(), names.end()));
    for (const auto& name : names) {
        EXPECT_TRUE(std::holds_alternative<std::monostate>(tmux.killSession(name))) << name;
    }
    EXPECT_TRUE(list().empty());
    EXPECT_FALSE(std::filesystem::exists(ran));
}

} // namespace
