// The text-focus watcher against a real GTK window through the real accessibility bus.
#include "core/process_runner.hpp"
#include "input/atspi_focus_inspector.hpp"
#include "input/text_focus_watcher.hpp"
#include "support/test_support.hpp"
#include "support/x_session.hpp"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

namespace {

// The GTK window of focus_window.py, driven line by line.
class FocusWindow {
public:
    FocusWindow() {
        int in[2], out[2];
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string script = (std::filesystem::path(__FILE__).parent_path() / "focus_window.py").string();
        std::vector<char*> argv{const_cast<char*>("/usr/bin/python3"), script.data(), nullptr};
        EXPECT_EQ(posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        mIn = in[1];
        mOut = out[0];
    }
    ~FocusWindow() {
        ::close(mIn);
        ::close(mOut);
        ::kill(mPid, SIGTERM);
        ::waitpid(mPid, nullptr, 0);
    }
    // Sends a command and waits for the window's answer while the host loop goes on.
    void expect(HostLoop& loop, const std::string& command, const std::string& answer) {
        if (!command.empty()) {
            std::string line = command + "\n";
            ASSERT_EQ(::write(mIn, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        }
        ASSERT_TRUE(pump(loop, [&] { return readLines(), mSeen.find(answer + "\n") != std::string::npos; }))
            << "the window did not answer " << answer << "; it said: " << mSeen;
    }

    // Turns the watcher's clock and lets the answers of the real queries in.
    static bool pump(HostLoop& loop, const std::function<bool()>& done,
                     std::chrono::milliseconds limit = 15s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            loop.advance(TextFocusWatcher::interval);
            std::this_thread::sleep_for(20ms);
            loop.runPending();
        }
        return true;
    }
    // A second of polls, for checking that nothing is reported.
    static void idle(HostLoop& loop) {
        auto until = std::chrono::steady_clock::now() + 1s;
        pump(loop, [&] { return std::chrono::steady_clock::now() > until; });
    }

private:
    void readLines() { appendAvailable(mOut, mSeen); }

    pid_t mPid = -1;
    int mIn = -1, mOut = -1;
    std::string mSeen;
};

class TextFocusTest : public ::testing::Test {
protected:
    TextFocusTest() {
        watcher.setOnChange([this](bool focused) { reports.push_back(focused); });
    }
    bool reported(std::size_t count) {
        return FocusWindow::pump(loop, [&] { return reports.size() >= count; });
    }

    HostLoop loop{HostLoop::TimeMode::Manual};
    AtspiFocusInspector inspector;
    TextFocusWatcher watcher{loop, inspector};
    std::vector<bool> reports;
    LogCapture log;
};

TEST_F(TextFocusTest, ReportsTextFieldsGainingAndLosingFocusThenBlursOnStop) {
    PrivateXvfb xvfb;
    PrivateSessionBus bus;
    // What a desktop does when assistive technology is wanted: applications then join the bus.
    ProcessOptions options;
    auto enabled = runProcess({"gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
                               "/org/a11y/bus", "--method", "org.freedesktop.DBus.Properties.Set",
                               "org.a11y.Status", "IsEnabled", "<true>"},
                              options);
    ASSERT_TRUE(enabled.succeeded()) << enabled.err;

    watcher.start();
    ASSERT_TRUE(reported(1));
    EXPECT_EQ(reports, std::vector<bool>{false}) << "the first poll reports, whatever it finds";
    FocusWindow window;
    window.expect(loop, "", "ready"); // the button has the focus
    window.expect(loop, "entry", "focused entry");
    ASSERT_TRUE(reported(2));
    window.expect(loop, "password", "focused password"); // from a text field to a text field
    FocusWindow::idle(loop);
    window.expect(loop, "button", "focused button");
    ASSERT_TRUE(reported(3));
    window.expect(loop, "password", "focused password");
    ASSERT_TRUE(reported(4));
    window.expect(loop, "notes", "focused notes"); // multi-line text: still a text field
    FocusWindow::idle(loop);
    EXPECT_THAT(reports, ElementsAre(false, true, false, true));

    watcher.stop();
    EXPECT_THAT(reports, ElementsAre(false, true, false, true, false)) << "the client's keyboard goes down";
    FocusWindow::idle(loop);
    EXPECT_EQ(reports.size(), 5u) << "nothing while stopped";

    // Watching again reports afresh, and finds the field that already has the focus.
    watcher.start();
    ASSERT_TRUE(reported(6));
    EXPECT_TRUE(reports.back());
    watcher.stop();
    EXPECT_FALSE(reports.back());
    EXPECT_FALSE(log.contains("⌨️ PELORN: no Accessibility permission - remote keyboard stays manual"));
}

TEST_F(TextFocusTest, WithoutAnAccessibilityBusTheKeyboardStaysManual) {
    TempDir dir;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir / "no-bus").string()).c_str(), 1);
    watcher.start();
    ASSERT_TRUE(FocusWindow::pump(loop, [&] { return !watcher.isWatching(); }));
    EXPECT_EQ(log.count("⌨️ PELORN: no Accessibility permission - remote keyboard stays manual"), 1);
    watcher.start();
    ASSERT_TRUE(FocusWindow::pump(loop, [&] { return !watcher.isWatching(); }));
    EXPECT_EQ(log.count("⌨️ PELORN: no Accessibility permission - remote keyboard stays manual"), 2)
        << "once per start";
    FocusWindow::idle(loop);
    watcher.stop();
    EXPECT_TRUE(reports.empty());
}

} // namespace
