// The terminal section against the real session store, a private tmux server and the real session
// commands, on Qt's offscreen platform.
#include "activity/event_log.hpp"
#include "ui/terminal_section.hpp"
#include "window_fixture.hpp"

#include <QAction>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QToolButton>

using namespace pelorn;
using namespace pelorn::test;
using namespace pelorn::ui;
using namespace std::chrono_literals;

namespace {

struct TerminalSectionTest : ::testing::Test, WindowFixture {
    TerminalSectionTest() {
        settings.set("initialSection", "Terminal");
        open();
        window().resize(940, 640);
    }
    TerminalSessionsView& section() { return *shell().terminalSection(); }
    bool exists(const std::string& name) {
        return std::holds_alternative<std::string>(tmux.run({"has-session", "-t", name}));
    }
    QAction* menuAction(const QString& label) {
        for (auto* action : section().moreMenu()->actions()) {
            if (action->text() == label) {
                return action;
            }
        }
        return nullptr;
    }
    // The section as it reads once the store has looked again.
    void refreshed() {
        ASSERT_TRUE(pumpUntil([&] { return !sessions.isRefreshing(); }));
        bool done = false;
        sessions.refresh([&] { done = true; });
        ASSERT_TRUE(pumpUntil([&] { return done; }));
        settle();
    }
};

TEST_F(TerminalSectionTest, ItShowsTmuxMissingNoSessionsOrOneRowEach) {
    ASSERT_TRUE(pumpUntil([&] { return sessions.watchers() == 1; })) << "shown, the section watches";
    EXPECT_TRUE(section().showsEmptyState());

    // One the host made (it carries the idle lifetime's line), one made outside it.
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("alpha")));
    ASSERT_TRUE(std::holds_alternative<std::string>(tmux.run({"new-session", "-d", "-s", "beta"})));
    sessions.addHolder("beta", "Kitchen iPad");
    refreshed();
    ASSERT_EQ(section().rows().size(), 2);
    static const QRegularExpression since("Running since \\d\\d:\\d\\d · just now");
    for (int row = 0; row < 2; ++row) {
        auto fields = section().rows()[row].split('|');
        ASSERT_EQ(fields.size(), 4) << section().rows()[row].toStdString();
        EXPECT_EQ(fields[0], QString::asprintf("%02d", row + 1));
        EXPECT_EQ(fields[1], row == 0 ? "alpha" : "beta");
        EXPECT_TRUE(since.match(fields[2]).hasMatch()) << fields[2].toStdString();
    }
    EXPECT_TRUE(
        section().rows()[0].split('|')[3].startsWith(QString::fromUtf8("Detached · idle · ends in 1")))
        << section().rows()[0].toStdString();
    EXPECT_EQ(section().rows()[1].split('|')[3].toStdString(), "Attached · Kitchen iPad");

    uninstall();
    refreshed();
    EXPECT_TRUE(section().showsUnavailable());
}

TEST_F(TerminalSectionTest, ANewSessionStartsWithASuggestionAndABadNameKeepsTheSheetOpen) {
    auto* sheet = section().sheet();
    QTest::mouseClick(section().newButton(), Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return sheet->isVisible() && !sheet->nameField()->text().isEmpty(); }));
    static const QRegularExpression suggestion("^([a-z]+-[a-z]+|session-\\d{3})$");
    EXPECT_TRUE(suggestion.match(sheet->nameField()->text()).hasMatch())
        << sheet->nameField()->text().toStdString();
    sheet->nameField()->clear();
    QTest::mouseClick(sheet->suggestButton(), Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return !sheet->nameField()->text().isEmpty(); }));
    EXPECT_TRUE(suggestion.match(sheet->nameField()->text()).hasMatch());

    sheet->nameField()->setText("a:b");
    QTest::mouseClick(sheet->createButton(), Qt::LeftButton);
    EXPECT_EQ(sheet->createButton()->text(), "Creating");
    EXPECT_FALSE(sheet->createButton()->isEnabled());
    ASSERT_TRUE(pumpUntil([&] { return !sheet->isCreating(); }));
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(sheet->errorLabel()->isVisible());
    EXPECT_EQ(sheet->errorLabel()->text(), QString::fromUtf8("Session names can't contain “:” or “.”"));
    EXPECT_TRUE(screenshot(*sheet, "new-session-sheet-error"));

    sheet->nameField()->setText("deploy");
    QTest::mouseClick(sheet->createButton(), Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return !sheet->isVisible(); }));
    EXPECT_EQ(sheet->createButton()->text(), "Create");
    EXPECT_TRUE(exists("deploy"));
    ASSERT_TRUE(pumpUntil([&] { return section().rows().size() == 1; }));
    EXPECT_TRUE(section().rows()[0].startsWith("01|deploy|Running since "));
    EXPECT_TRUE(section().rows()[0].contains(QString::fromUtf8("|Detached · idle · ends in 1")))
        << section().rows()[0].toStdString();
    EXPECT_EQ(log->events().get().front().kind, LoggedEvent::Kind::SessionCreated);

    // Cancel makes nothing.
    QTest::mouseClick(section().newButton(), Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return sheet->isVisible(); }));
    QTest::mouseClick(sheet->cancelButton(), Qt::LeftButton);
    refreshed();
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(section().rows().size(), 1);
}

TEST_F(TerminalSectionTest, TheMoreMenuOpensCopiesAndEndsOnlyAfterConfirmation) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("alpha")));
    refreshed();
    ASSERT_EQ(section().rows().size(), 1);
    QTest::mouseClick(section().moreButton(0), Qt::LeftButton);
    EXPECT_TRUE(section().moreMenu()->isVisible());

    menuAction("Copy Attach Command")->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), sessions.attachCommand("alpha"));
    menuAction("Open in Terminal")->trigger();
    ASSERT_TRUE(pumpUntil([&] { return !openedInTerminal.empty(); }));
    EXPECT_EQ(openedInTerminal.back().filename(), "alpha.command");

    for (const char* answer : {"Cancel", "End Session"}) {
        menuAction(QString::fromUtf8("End Session…"))->trigger();
        auto* box = section().endConfirmation();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "End alpha");
        EXPECT_EQ(box->informativeText(), "Anything running in it will be stopped. This can't be undone.");
        EXPECT_EQ(defaultButtonText(box), "Cancel") << "Return ends nothing";
        QTest::mouseClick(button(box, answer), Qt::LeftButton);
        settle();
        EXPECT_EQ(section().endConfirmation(), nullptr);
    }
    ASSERT_TRUE(pumpUntil([&] { return section().rows().isEmpty(); }));
    EXPECT_FALSE(exists("alpha"));
    EXPECT_TRUE(section().showsEmptyState());
}

} // namespace
