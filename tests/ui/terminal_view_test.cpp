// The local terminal view for real: Qt WebEngine on an X server of the test's own showing the
// shipped page (xterm.js), attached to a private tmux server through the real host pieces. Keys go
// in through the web view; what xterm.js shows is read back from its buffer.
#include "support/private_servers.hpp"
#include "ui/style.hpp"
#include "ui/terminal_section.hpp"
#include "ui/terminal_view.hpp"
#include "window_fixture.hpp"

#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace pelorn;
using namespace pelorn::test;
using namespace pelorn::ui;
using namespace std::chrono_literals;

namespace {

struct TerminalViewTest : ::testing::Test, WindowFixture {
    explicit TerminalViewTest(bool dark = false) {
        applyTheme(*qApp, dark);
        settings.set("initialSection", "Terminal");
        open();
        window().resize(940, 640);
        window().showWindow();
    }
    ~TerminalViewTest() override { applyTheme(*qApp, false); }
    TerminalSessionsView& section() { return *shell().terminalSection(); }
    MacSessionTerminalView* view() { return section().terminalView(); }

    // Opens the session from its row and waits for the page and the attachment.
    void openRow(int row) {
        ASSERT_TRUE(pumpUntil([&] { return section().openButton(row) != nullptr; }));
        QTest::mouseClick(section().openButton(row), Qt::LeftButton);
        ASSERT_NE(view(), nullptr);
        ASSERT_TRUE(pumpUntil([&] { return view()->terminal()->state().attached; }, 30s))
            << view()->message().toStdString();
        // tmux has drawn its status line.
        ASSERT_TRUE(pumpUntil([&] { return screen().contains("[work]"); }, 30s)) << screen().toStdString();
    }
    // What xterm.js shows now.
    QString screen() {
        QString text;
        bool done = false;
        view()->terminal()->evaluate("window.termScreenText()", [&](const QString& value) {
            text = value;
            done = true;
        });
        pumpUntil([&] { return done; });
        return text;
    }
    bool shows(const QString& text) {
        return pumpUntil([&] { return screen().contains(text); }, 20s);
    }
    QWidget* keys() { return view()->terminal()->keyTarget(); }
    void type(const QString& line) {
        QTest::keyClicks(keys(), line);
        QTest::keyClick(keys(), Qt::Key_Return);
    }
};

TEST_F(TerminalViewTest, TypingRunsInTheSessionAndCopyPasteGoThroughTheClipboard) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    ASSERT_NO_FATAL_FAILURE(openRow(0));
    EXPECT_EQ(sessions.holderLabels("work"), std::vector<std::string>{"this Mac"});

    type("echo hi-$((6*7))");
    EXPECT_TRUE(shows("hi-42")) << screen().toStdString();

    QTest::keyClick(keys(), Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(keys(), Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(pumpUntil([] { return QGuiApplication::clipboard()->text().contains("hi-42"); }))
        << QGuiApplication::clipboard()->text().toStdString();

    QGuiApplication::clipboard()->setText("echo pasted-$((2+3))\n");
    QTest::keyClick(keys(), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(shows("pasted-5")) << screen().toStdString();
    QTest::qWait(300); // the view draws its last frame
    EXPECT_TRUE(screenshot(window(), "terminal-session-light"));

    // Back to the list: detached, and the session runs on.
    QTest::mouseClick(view()->backButton(), Qt::LeftButton);
    settle();
    EXPECT_EQ(view(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return sessions.holderLabels("work").empty(); }));
    EXPECT_TRUE(std::holds_alternative<std::string>(tmux.run({"has-session", "-t", "work"})));

    // Closing the window detaches as well.
    ASSERT_NO_FATAL_FAILURE(openRow(0));
    window().close();
    settle();
    EXPECT_EQ(view(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return sessions.holderLabels("work").empty(); }));
    window().showWindow();

    // Again, and the shell ends: the view says so.
    ASSERT_NO_FATAL_FAILURE(openRow(0));
    type("exit");
    ASSERT_TRUE(pumpUntil([&] { return view()->terminal()->state().finished; }, 20s));
    settle();
    EXPECT_EQ(view()->message(), "This session has ended.");
    EXPECT_TRUE(sessions.holderLabels("work").empty());
}

struct DarkTerminalViewTest : TerminalViewTest {
    DarkTerminalViewTest() : TerminalViewTest(true) {}
};

TEST_F(DarkTerminalViewTest, ThePageTakesTheDarkScheme) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    ASSERT_NO_FATAL_FAILURE(openRow(0));
    type("ls -d /usr /etc");
    EXPECT_TRUE(shows("/usr")) << screen().toStdString();
    bool dark = false;
    view()->terminal()->evaluate("location.search",
                                 [&](const QString& query) { dark = query == "?scheme=dark"; });
    EXPECT_TRUE(pumpUntil([&] { return dark; }));
    QTest::qWait(300);
    EXPECT_TRUE(screenshot(window(), "terminal-session-dark"));
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    PrivateXvfb xvfb;
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("TZ", "UTC", 1);
    prepareWebEngine([](const std::string& line) { std::printf("%s\n", line.c_str()); });
    QApplication app(argc, argv);
    applyTheme(app, false);
    return RUN_ALL_TESTS();
}
