// Attachments to real tmux sessions on a private server, through a real pseudo-terminal.
#include "support/private_tmux.hpp"
#include "terminal/terminal_attachment.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>

using namespace pelorn;
using namespace std::chrono_literals;
using Reason = TerminalAttachment::ExitReason;

namespace {

struct AttachmentTest : ::testing::Test, test::PrivateTmux {
    ~AttachmentTest() override { attachment.reset(); }

    void attach(const std::string& session, int columns = 80, int rows = 24) {
        auto started = TerminalAttachment::start(
            loop, tmux, session, columns, rows, "tester",
            [this](std::string_view bytes) {
                std::lock_guard lock(mutex);
                output.append(bytes);
                return true;
            },
            [this](const std::string& name, Reason reason) { exits.emplace_back(name, reason); });
        ASSERT_TRUE(std::holds_alternative<std::shared_ptr<TerminalAttachment>>(started))
            << std::get<TmuxFailure>(started).text();
        attachment = std::get<std::shared_ptr<TerminalAttachment>>(started);
    }
    bool sawOutput(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return test::pumpUntil(
            loop,
            [&] {
                std::lock_guard lock(mutex);
                return output.find(text) != std::string::npos;
            },
            limit);
    }
    std::vector<std::string> clientsOf() {
        auto r = tmux.run({"list-clients", "-F", "#{session_name}"});
        std::vector<std::string> names;
        if (auto* text = std::get_if<std::string>(&r)) {
            for (std::size_t at = 0; at < text->size();) {
                auto end = text->find('\n', at);
                names.push_back(text->substr(at, end - at));
                at = end == std::string::npos ? text->size() : end + 1;
            }
        }
        return names;
    }

    HostLoop loop{HostLoop::TimeMode::Manual};
    test::LogCapture lines;
    std::mutex mutex;
    std::string output; // guarded by mutex: written on the reading thread
    std::vector<std::pair<std::string, Reason>> exits;
    std::shared_ptr<TerminalAttachment> attachment;
};

TEST_F(AttachmentTest, RunsARealShellAndFollowsTheWindowSize) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    attach("work", 0, 0);
    EXPECT_TRUE(lines.contains("🖥 Attached to tmux session work for tester"));
    EXPECT_EQ(attachment->windowSize(), std::pair(20, 5));
    attachment->resize(0, 40);
    EXPECT_EQ(attachment->windowSize(), std::pair(20, 5));
    attachment->resize(100000, 50);
    EXPECT_EQ(attachment->windowSize(), std::pair(65535, 50));

    attachment->resize(100, 30);
    attachment->write("echo hi-$((6*7))\r");
    EXPECT_TRUE(sawOutput("hi-42"));
    // tmux picks the new size up from SIGWINCH in its own time, so the shell is asked until it
    // has it (on a loaded machine that takes a while).
    bool resized = false;
    for (int i = 0; i < 50 && !resized; ++i) {
        attachment->write("stty size\r");
        resized = sawOutput("29 100", 200ms); // one row goes to the status line
    }
    EXPECT_TRUE(resized);
    EXPECT_TRUE(exits.empty());
}

// A terminal that takes no input never holds up the caller: input waits up to a cap, the rest is
// dropped with one line, and what waited arrives once the terminal reads again.
TEST_F(AttachmentTest, InputToAStalledTerminalNeverWaits) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    attach("work");
    ASSERT_EQ(::kill(attachment->pid(), SIGSTOP), 0); // the tmux client reads nothing now
    std::string block(64 * 1024, 'x');
    for (std::size_t i = 0; i < 2 * TerminalAttachment::maxPendingInput / block.size(); ++i) {
        attachment->write(block);
    }
    EXPECT_EQ(lines.count("⚠️ Terminal work is not taking input - dropped input from tester"), 1);
    ASSERT_EQ(::kill(attachment->pid(), SIGCONT), 0);
    // What waited reaches the shell, which echoes it (tmux draws it line by line, so the x's are
    // counted, not looked for in one run).
    EXPECT_TRUE(test::pumpUntil(
        loop,
        [&] {
            std::lock_guard lock(mutex);
            return std::count(output.begin(), output.end(), 'x') >= 2000;
        },
        60s));
}

TEST_F(AttachmentTest, CloseDetachesOnceAndTheSessionLivesOn) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    attach("work");
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return clientsOf() == std::vector<std::string>{"work"}; }));
    attachment->close(Reason::Replaced);
    attachment->close(Reason::Detached);
    EXPECT_EQ(exits, (std::vector<std::pair<std::string, Reason>>{{"work", Reason::Replaced}}));
    EXPECT_FALSE(attachment->isOpen());
    attachment->write("ignored\r");
    attachment->resize(10, 10);
    // The signalled client goes away; its end reports nothing more.
    EXPECT_TRUE(test::pumpUntil(loop, [&] { return clientsOf().empty(); }));
    loop.runPending();
    EXPECT_EQ(exits.size(), 1u);
    auto listed = tmux.listSessions();
    ASSERT_TRUE(std::holds_alternative<std::vector<Tmux::Session>>(listed));
    EXPECT_EQ(std::get<std::vector<Tmux::Session>>(listed).size(), 1u);
}

TEST_F(AttachmentTest, SessionEndingByItselfEndsTheAttachment) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    attach("work");
    attachment->write("exit\r");
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return !exits.empty(); }));
    EXPECT_EQ(exits, (std::vector<std::pair<std::string, Reason>>{{"work", Reason::Ended}}));
    EXPECT_FALSE(attachment->isOpen());
}

TEST_F(AttachmentTest, NameIsTargetedExactly) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work2")));
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    attach("work");
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return !clientsOf().empty(); }));
    EXPECT_EQ(clientsOf(), std::vector<std::string>{"work"});

    attachment.reset();
    attach("wor"); // no such session: the client exits by itself
    ASSERT_TRUE(test::pumpUntil(loop, [&] { return !exits.empty(); }));
    EXPECT_EQ(exits.back(), std::pair(std::string("wor"), Reason::Ended));
}

TEST(TerminalAttachment, WithoutTmuxNothingStarts) {
    HostLoop loop{HostLoop::TimeMode::Manual};
    Tmux none({"/nonexistent/tmux"}, "/nonexistent/own");
    bool exited = false;
    auto started = TerminalAttachment::start(
        loop, none, "work", 80, 24, "t", [](std::string_view) { return true; },
        [&](const std::string&, Reason) { exited = true; });
    ASSERT_TRUE(std::holds_alternative<TmuxFailure>(started));
    EXPECT_EQ(std::get<TmuxFailure>(started).text(), "tmux is not available on this Mac.");
    EXPECT_FALSE(exited);
    EXPECT_EQ(TerminalAttachment::fromRaw("replaced"), Reason::Replaced);
    EXPECT_EQ(TerminalAttachment::fromRaw("gone"), std::nullopt);
    EXPECT_EQ(TerminalAttachment::rawValue(Reason::Detached), "detached");
}

} // namespace
