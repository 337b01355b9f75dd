// The window's real widgets on Qt's offscreen platform, against the real host state and commands
// (see window_fixture.hpp). Each main screen and the approval sheet are saved as pictures, light
// and dark, under build/screenshots/.
#include "activity/event_log.hpp"
#include "ui/onboarding.hpp"
#include "ui/style.hpp"
#include "ui/ui_text.hpp"
#include "window_fixture.hpp"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace pelorn;
using namespace pelorn::test;
using namespace pelorn::ui;
using namespace std::chrono_literals;
using Content = MainWindow::Content;

namespace {

struct WindowTest : ::testing::Test, WindowFixture {
    explicit WindowTest(bool seedPassword = true) : WindowFixture(seedPassword) {}
};

struct NewOwnerTest : WindowTest {
    NewOwnerTest() : WindowTest(false) {}
};

// Signed out: onboarding, from its first page the first time; signed in without a password: its
// creation; with one: the main shell, each with its minimum size; signed out again: the sign-in page.
TEST_F(NewOwnerTest, TheContentFollowsTheSignInAndThePassword) {
    settings.set("isAuthenticated", false);
    open();
    EXPECT_EQ(window().content(), Content::SignIn);
    EXPECT_EQ(window().onboarding()->page(), 0);
    EXPECT_EQ(window().windowTitle(), "Pelorn");
    EXPECT_EQ(window().minimumSize(), QSize(940, 620));

    settings.set("isAuthenticated", true); // as a sign-in by pelornctl leaves it
    loop.advance(WindowHost::settingsPoll);
    ASSERT_TRUE(pumpUntil([&] { return window().content() == Content::PasswordOnboarding; }));
    EXPECT_EQ(window().minimumSize(), QSize(940, 620));

    auto* form = window().passwordPage()->form();
    QTest::keyClicks(form->passwordField(), "abcd");
    QApplication::setActiveWindow(&window());
    form->passwordField()->setFocus();
    QTest::keyClick(form->passwordField(), Qt::Key_Return);
    EXPECT_TRUE(form->confirmationField()->hasFocus());
    QTest::keyClicks(form->confirmationField(), "abcd");
    QTest::keyClick(form->confirmationField(), Qt::Key_Return); // saves, as the button would
    EXPECT_EQ(form->saveButton()->text(), "Saving");
    ASSERT_TRUE(pumpUntil([&] { return window().content() == Content::MainShell; }, 30s));
    EXPECT_TRUE(passwords->isSet().get());
    EXPECT_TRUE(form->passwordField()->text().isEmpty());
    EXPECT_EQ(window().minimumSize(), QSize(480, 600));

    settings.set("isAuthenticated", false); // signed out: back to the sign-in page
    settings.set("hasCompletedOnboarding", true);
    loop.advance(WindowHost::settingsPoll);
    EXPECT_TRUE(pumpUntil([&] { return window().content() == Content::SignIn; }));
    EXPECT_EQ(window().onboarding()->page(), ui::signInStep);
}

TEST_F(NewOwnerTest, ThePasswordFormsHintAndButtonFollowTheRules) {
    for (bool dark : {true, false}) {
        applyTheme(*qApp, dark);
        open();
        window().resize(940, 640);
        EXPECT_TRUE(screenshot(window(), std::string("master-password-") + (dark ? "dark" : "light")));
    }
    auto* form = window().passwordPage()->form();
    struct Case {
        QString password, confirmation, hint;
        bool enabled;
    };
    const QString decomposed = QString::fromUtf8("e\xcc\x81");
    for (const auto& c : std::vector<Case>{
             {"", "", "At least 4 characters", false},
             {"abc", "", "1 more to go", false},
             {"a", "", "3 more to go", false},
             {"abcd", "abcd", "Looks good", true},
             {"abcd", "abce", "Passwords don't match", false},
             {"abcd", "", "Looks good", false},
             {"ab", "abc", "Passwords don't match", false},
             {decomposed.repeated(3), decomposed.repeated(3), "1 more to go", false}, // three characters
             {decomposed.repeated(4), decomposed.repeated(4), "Looks good", true},
         }) {
        form->passwordField()->setText(c.password);
        form->confirmationField()->setText(c.confirmation);
        EXPECT_EQ(form->hintLabel()->text(), c.hint)
            << c.password.toStdString() << "/" << c.confirmation.toStdString();
        EXPECT_EQ(form->saveButton()->isEnabled(), c.enabled) << c.password.toStdString();
        EXPECT_EQ(form->saveButton()->text(), "Set Master Password");
    }
    // Return in the confirmation does nothing while the button could not be pressed.
    form->passwordField()->setText("abc");
    form->confirmationField()->setText("abc");
    QTest::keyClick(form->confirmationField(), Qt::Key_Return);
    EXPECT_FALSE(form->isSaving());

    EXPECT_EQ(form->showButton()->text(), "Show");
    EXPECT_EQ(form->passwordField()->echoMode(), QLineEdit::Password);
    QTest::mouseClick(form->showButton(), Qt::LeftButton);
    EXPECT_EQ(form->showButton()->text(), "Hide");
    EXPECT_EQ(form->passwordField()->echoMode(), QLineEdit::Normal);
    EXPECT_EQ(form->confirmationField()->echoMode(), QLineEdit::Normal);

    // The reset sheet replaces the password with the same form.
    PasswordResetSheet reset(host);
    EXPECT_EQ(reset.form()->saveButton()->text(), "Save New Password");
}

TEST_F(WindowTest, TheMainShellOpensOnTheStoredSection) {
    for (auto [stored, expected] : std::vector<std::pair<std::string, std::size_t>>{
             {"Logs", 3}, {"Nowhere", 0}, {"", 0}, {"Devices", 2}, {"logs", 0}}) {
        settings.set("initialSection", stored);
        open();
        EXPECT_EQ(shell().selected(), expected) << stored;
        EXPECT_TRUE(shell().railButton(expected)->isChecked());
    }
    QTest::mouseClick(shell().railButton(4), Qt::LeftButton);
    EXPECT_EQ(shell().selected(), 4u);
    EXPECT_EQ(shell().railButton(4)->text(), "ACCOUNT");
}

// Without a tray nothing could bring a hidden window back: closing it minimises it.
TEST_F(WindowTest, WithoutATrayClosingTheWindowMinimisesIt) {
    LogCapture lines;
    open();
    EXPECT_TRUE(lines.contains(
        "⚠️ PELORN: no system tray on this desktop - closing the window minimises it instead"));
    window().close();
    settle();
    EXPECT_TRUE(window().isVisible());
    EXPECT_TRUE(window().isMinimized());
}

// A request brings the window forward with the sheet; the owner's answer, or the 60 s without
// one, closes it.
TEST_F(WindowTest, TheApprovalSheetShowsEachRequestUntilItIsAnswered) {
    open();
    window().hide();
    std::vector<std::pair<std::string, bool>> answers;
    auto ask = [&](const std::string& id, const std::string& name) {
        approvals.request({"REQ-" + id, id, name, "iPad13,4", "your network"},
                          [&answers, id](bool approved) { answers.emplace_back(id, approved); });
        EXPECT_TRUE(pumpUntil([&] { return window().approvalSheet()->isVisible(); }));
    };
    ask("A", "Kitchen iPad");
    auto* sheet = window().approvalSheet();
    EXPECT_TRUE(window().isVisible());
    EXPECT_EQ(sheet->nameLabel()->text(), "Kitchen iPad");
    EXPECT_EQ(sheet->viaLabel()->text(), "wants to connect via your network");
    QTest::mouseClick(sheet->approveButton(), Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return !sheet->isVisible(); }));
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, bool>>{{"A", true}}));

    ask("B", "Phone");
    QTest::mouseClick(sheet->denyButton(), Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return !sheet->isVisible(); }));
    ask("C", "Tablet");
    loop.advance(60s);
    ASSERT_TRUE(pumpUntil([&] { return !sheet->isVisible(); }));
    settle();
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, bool>>{{"A", true}, {"B", false}, {"C", false}}));
}

TEST_F(WindowTest, DevicesAreListedInOrderAndRemovedOnlyAfterConfirmation) {
    settings.set("initialSection", "Devices");
    open();
    auto* section = shell().devicesSection();
    EXPECT_TRUE(section->showsEmptyState());
    devices->approve("A", "Kitchen iPad", "iPad13,4");
    devices->approve("B", "Ann's phone", "iPhone15,2");
    devices->approve("C", "Something", "Pixel 8");
    devices->setConnected("B", true);
    ASSERT_TRUE(pumpUntil([&] { return section->rows().size() == 3; }));
    auto added = QString::fromStdString("Added " + dayAndMonth(std::chrono::system_clock::now()));
    EXPECT_EQ(section->rows(), (QStringList{"ipad|Kitchen iPad|Last used just now|" + added,
                                            "iphone|Ann's phone|Connected|" + added,
                                            "ipad|Something|Last used just now|" + added}));

    std::vector<std::string> revoked;
    auto observer = center.observe(TrustedDeviceStore::revokedNotification, [&](const nlohmann::json& id) {
        revoked.push_back(id.get<std::string>());
    });
    for (const char* choice : {"Cancel", "Remove"}) {
        QTest::mouseClick(section->removeButton(1), Qt::LeftButton);
        auto* confirmation = section->removalConfirmation();
        ASSERT_TRUE(confirmation);
        EXPECT_EQ(confirmation->text(), "Remove Ann's phone");
        EXPECT_EQ(confirmation->informativeText(),
                  "This device will be removed and will need to be paired again for future connections.");
        EXPECT_EQ(defaultButtonText(confirmation), "Cancel") << "Return removes nothing";
        EXPECT_EQ(confirmation->windowTitle(), "Remove Ann's phone");
        button(confirmation, choice)->click();
        settle();
    }
    ASSERT_TRUE(pumpUntil([&] { return section->rows().size() == 2; }));
    EXPECT_EQ(revoked, std::vector<std::string>{"B"}) << "the connected device is told at once";
    EXPECT_FALSE(devices->device("B"));
}

// Entries of four days: the range and the filter choose among them, under day headings; Copy
// takes what is shown; Clear asks first.
TEST_F(WindowTest, TheLogFiltersRangesCopiesAndClears) {
    auto now = std::chrono::system_clock::now();
    auto at = [&](std::chrono::hours ago) { loop.setWallTime(now - ago); };
    at(20 * 24h);
    log->record(LoggedEvent::Kind::PasswordFailed, "Stranger", "over your network");
    at(3 * 24h);
    log->record(LoggedEvent::Kind::DeviceApproved, "iPad");
    at(24h);
    log->record(LoggedEvent::Kind::DeviceConnected, "iPad", "over your network");
    at(0h);
    log->record(LoggedEvent::Kind::MacOnline);
    settings.set("initialSection", "Logs");
    open();
    auto* logs = shell().logsSection();
    auto heading = [&](std::chrono::hours ago) {
        return "# " + QString::fromStdString(dayHeading(now - ago, now));
    };
    EXPECT_EQ(logs->rows(),
              (QStringList{"# Today", "Went online", "# Yesterday", "iPad connected", heading(72h),
                           "iPad approved", heading(480h), "Stranger gave the wrong master password"}));
    EXPECT_EQ(logs->introLabel()->text(),
              "Everything that has happened on this Mac, for the last 30 days. Kept here and sent nowhere.");

    logs->rangeBox()->setCurrentIndex(1); // 7 days
    EXPECT_EQ(logs->rows().size(), 6);
    EXPECT_TRUE(pumpUntil([&] { return settings.integer("logsRangeDays") == 7; }));
    logs->filterBox()->setCurrentIndex(2); // Security
    EXPECT_EQ(logs->rows(), (QStringList{heading(72h), "iPad approved"}));
    logs->rangeBox()->setCurrentIndex(0); // Today
    EXPECT_FALSE(logs->showsList());
    EXPECT_EQ(logs->emptyText()->text(), "2 entries are older than today. Widen the range to see them.");
    logs->filterBox()->setCurrentIndex(3); // Terminal: there is none
    EXPECT_EQ(logs->emptyTitle()->text(), "Nothing under Terminal");
    EXPECT_EQ(logs->emptyText()->text(), "Try another filter, or All.");

    logs->filterBox()->setCurrentIndex(0);
    logs->rangeBox()->setCurrentIndex(2); // 14 days
    QTest::mouseClick(logs->copyButton(), Qt::LeftButton);
    EXPECT_EQ(logs->copyButton()->text(), "Copied");
    std::vector<LoggedEvent> shown(log->events().get().begin(), log->events().get().begin() + 3);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), exportText(shown));

    QTest::mouseClick(logs->clearButton(), Qt::LeftButton);
    ASSERT_TRUE(logs->clearConfirmation());
    EXPECT_EQ(logs->clearConfirmation()->text(),
              "Every entry is deleted from this Mac. What happens next is still recorded.");
    EXPECT_EQ(defaultButtonText(logs->clearConfirmation()), "Cancel") << "Return clears nothing";
    button(logs->clearConfirmation(), "Cancel")->click();
    settle();
    EXPECT_EQ(log->events().get().size(), 4u);
    QTest::mouseClick(logs->clearButton(), Qt::LeftButton);
    button(logs->clearConfirmation(), "Clear")->click();
    ASSERT_TRUE(pumpUntil([&] { return logs->emptyTitle()->text() == "Nothing yet"; }));
    EXPECT_TRUE(log->events().get().empty());
    EXPECT_EQ(logs->emptyText()->text(),
              "Going online, a device connecting, a session opening - it all shows up here.");
}

TEST_F(WindowTest, ConnectShowsTheHostAndDrivesItThroughItsCommands) {
    open();
    auto* connect = shell().connectSection();
    EXPECT_EQ(connect->stateLabel()->text(), "Offline");
    EXPECT_EQ(connect->detailLabel()->text(), "This Mac stays private until you go online");
    QTest::mouseClick(connect->onlineButton(), Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return connect->stateLabel()->text() == "Online"; }));
    EXPECT_EQ(connect->detailLabel()->text(), "This Mac is discoverable on your local network");
    EXPECT_EQ(connect->onlineButton()->text(), "Go Offline");
    EXPECT_TRUE(controller.isOnline().get());
    EXPECT_NE(std::find(journal.calls.begin(), journal.calls.end(), "advertiser.start ann@example.com"),
              journal.calls.end());
    QTest::mouseClick(connect->onlineButton(), Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return connect->onlineButton()->text() == "Go Online"; }));

    settings.set("userEmail", "");
    QTest::mouseClick(connect->onlineButton(), Qt::LeftButton);
    ASSERT_TRUE(pumpUntil([&] { return !connect->errorLabel()->isHidden(); }));
    EXPECT_EQ(connect->errorLabel()->text(), "Sign in required to go online.");

    connect->keepAwakeSwitch()->click();
    connect->closedLidSwitch()->click();
    ASSERT_TRUE(pumpUntil([&] { return asked.size() == 2; }));
    EXPECT_EQ(asked, (std::vector<std::string>{"keep-awake on", "closed-lid on"}));
    closedLidError.set("Closed-lid mode needs administrator approval");
    ASSERT_TRUE(pumpUntil([&] { return !connect->closedLidErrorLabel()->isHidden(); }));
    loop.advance(WindowHost::settingsPoll);
    settle();
    EXPECT_TRUE(connect->keepAwakeSwitch()->isChecked());

    // "Start at Login" writes the desktop's autostart entry, the real command's.
    EXPECT_FALSE(connect->startAtLoginSwitch()->isChecked());
    connect->startAtLoginSwitch()->click();
    ASSERT_TRUE(pumpUntil([&] { return autostart.isOn(); }));
    loop.advance(WindowHost::settingsPoll);
    ASSERT_TRUE(pumpUntil([&] { return window().state()->startAtLogin; }));
    EXPECT_TRUE(connect->startAtLoginSwitch()->isChecked());

    // Permissions: asked on showing and every 2 s; revoking one shows within that.
    ASSERT_TRUE(pumpUntil([&] { return connect->screenRecordingLabel()->text() == "GRANTED"; }));
    settle();
    screenCapture = false;
    settle();
    EXPECT_EQ(connect->screenRecordingLabel()->text(), "GRANTED") << "not asked again yet";
    ASSERT_TRUE(pumpUntil([&] { return connect->screenRecordingLabel()->text() == "DENIED"; }, 5s));
    EXPECT_EQ(connect->accessibilityLabel()->text(), "GRANTED");

    // Ctrl+Q quits as the tray's "Quit Pelorn" does.
    window().show();
    QApplication::setActiveWindow(&window());
    QTest::keyClick(&window(), Qt::Key_Q, Qt::ControlModifier);
    ASSERT_TRUE(pumpUntil([&] { return !asked.empty() && asked.back() == "quit"; }));
}

// Each screen and the sheet, light and dark, as pictures to look at.
TEST_F(WindowTest, EachScreenIsDrawnLightAndDark) {
    devices->approve("A", "Kitchen iPad", "iPad13,4");
    devices->approve("B", "Ann's iPhone", "iPhone15,2");
    devices->setConnected("B", true);
    log->record(LoggedEvent::Kind::MacOnline);
    loop.advance(5s);
    log->record(LoggedEvent::Kind::DeviceConnected, "Ann's iPhone", "over your network");
    loop.advance(5s);
    log->record(LoggedEvent::Kind::SessionCreated, "work");
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("work")));
    ASSERT_TRUE(std::holds_alternative<std::monostate>(tmux.newSession("build-logs")));
    sessions.addHolder("work", "Ann's iPhone");
    for (bool dark : {false, true}) {
        applyTheme(*qApp, dark);
        std::string theme = dark ? "dark" : "light";
        open();
        window().resize(940, 640);
        window().show();
        for (auto [index, name] : std::vector<std::pair<std::size_t, std::string>>{
                 {0, "connect"}, {1, "terminal"}, {2, "devices"}, {3, "logs"}, {4, "account"}}) {
            shell().select(index);
            window().resize(940, 640);
            settle();
            EXPECT_TRUE(screenshot(window(), name + "-" + theme)) << name;
            // And at the smallest the window allows.
            window().resize(window().minimumSize());
            settle();
            EXPECT_TRUE(screenshot(window(), name + "-smallest-" + theme)) << name;
        }
        approvals.request({"REQ", "N", "Kitchen iPad", "iPad13,4", "your network"}, [](bool) {});
        ASSERT_TRUE(pumpUntil([&] { return window().approvalSheet()->isVisible(); }));
        EXPECT_TRUE(screenshot(*window().approvalSheet(), "approval-sheet-" + theme));
        approvals.resolve(false);
        settle();
        app.reset();
    }
    applyTheme(*qApp, false);
}

} // namespace
