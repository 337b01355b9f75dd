// The account section and onboarding on Qt's offscreen platform, against the real WindowHost and
// command table (see window_fixture.hpp): the rows' texts, the requests they make, the update
// sheet, deletion's confirmation, and onboarding's pages and the agreement that gates sign-in.
// Every onboarding page and the account section are saved as pictures under build/screenshots/.
#include "ui/account_section.hpp"
#include "ui/onboarding.hpp"
#include "ui/style.hpp"
#include "window_fixture.hpp"

#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;
using ui::AccountSection;
using ui::OnboardingView;

namespace {

struct AccountTest : ::testing::Test, WindowFixture {
    explicit AccountTest(bool seedPassword = true) : WindowFixture(seedPassword) {}
    AccountSection& account() {
        shell().select(4);
        return *shell().accountSection();
    }
    void setManifest(const std::string& body) {
        std::lock_guard lock(manifestMutex);
        manifest = body;
    }
    void press(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
};

TEST_F(AccountTest, RowsShowTheAccountThePasswordAndTheDevices) {
    settings.set("userUID", "uid-0123456789abcdefghijkl");
    open();
    auto& a = account();
    EXPECT_EQ(a.emailLabel()->text(), "Ann@Example.com");
    EXPECT_EQ(a.devicesRow()->valueLabel()->text(), "None");
    EXPECT_EQ(a.passwordRow()->valueLabel()->text().right(4), QString::number(QDate::currentDate().year()));
    for (auto id : {"A", "B", "C"}) {
        devices->approve(id, std::string("iPad ") + id, "iPad13,4");
    }
    ASSERT_TRUE(pumpUntil([&] { return a.devicesRow()->valueLabel()->text() == "3"; }));
    EXPECT_EQ(a.lifetimePicker()->currentText(), "12 hours");

    // "Never" is the lifetime command's 0.
    a.lifetimePicker()->activated(0);
    ASSERT_TRUE(pumpUntil([&] { return settings.integer("terminalSessionLifetimeHours", -1) == 0; }));
    loop.advance(WindowHost::settingsPoll);
    ASSERT_TRUE(pumpUntil([&] { return window().state()->sessionLifetimeHours == 0; }));
    EXPECT_EQ(a.lifetimePicker()->currentText(), "Never");

    // The account's id: shown, copied whole, the button's symbol a check mark afterwards.
    EXPECT_EQ(a.accountIdRow()->valueLabel()->text(), QString::fromUtf8("uid-01…ghijkl"));
    EXPECT_EQ(a.copyIdButton()->property("symbol"), "doc.on.doc");
    press(a.copyIdButton());
    EXPECT_EQ(QApplication::clipboard()->text(), "uid-0123456789abcdefghijkl");
    EXPECT_EQ(a.copyIdButton()->property("symbol"), "checkmark");

    press(a.supportButton());
    ASSERT_TRUE(pumpUntil([&] { return !openedExternally.empty(); }));
    EXPECT_EQ(openedExternally.back(), "mailto:help@pelorn.example?subject=Pelorn%20support&body=%0A%0A---%0A"
                                       "Account%20ID%3A%20uid-0123456789abcdefghijkl");

    // Signing out: the window goes back to onboarding, on its sign-in page for this owner.
    settings.set("hasCompletedOnboarding", true);
    press(a.signOutButton());
    ASSERT_TRUE(pumpUntil([&] { return window().content() == MainWindow::Content::SignIn; }));
    EXPECT_EQ(window().onboarding()->page(), ui::signInStep);
    EXPECT_EQ(asked, std::vector<std::string>{"sign-out"});
}

struct NewOwnerAccountTest : AccountTest {
    NewOwnerAccountTest() : AccountTest(false) {}
};

TEST_F(NewOwnerAccountTest, WithoutAMasterPasswordItsRowReadsNotSet) {
    open();
    EXPECT_EQ(shell().accountSection()->passwordRow()->valueLabel()->text(), "Not set");
}

TEST_F(AccountTest, ANewReleaseIsCheckedForOfferedAndSkipped) {
    open();
    auto& a = account();
    // While the manifest is on its way the row reads "Checking".
    std::unique_lock held(manifestMutex);
    press(a.updatesButton());
    for (int i = 0; i < 2000 && a.updatesButton()->valueLabel()->text() != "Checking"; ++i) {
        loop.runPending();
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(a.updatesButton()->valueLabel()->text(), "Checking");
    held.unlock();
    ASSERT_TRUE(
        pumpUntil([&] { return a.updatesButton()->valueLabel()->text() == "Pelorn 0.1.0 is up to date."; }));

    setManifest(R"({"version":"0.2.0","url":"https://example.org/pelorn-0.2.0.deb"})");
    press(a.updatesButton());
    auto* sheet = shell().updateSheet();
    ASSERT_TRUE(pumpUntil([&] { return sheet->isVisible(); }));
    EXPECT_EQ(sheet->titleLabel()->text(), "Pelorn 0.2.0 is available.");
    EXPECT_EQ(sheet->textLabel()->text(), "A newer version is ready to download.");
    EXPECT_TRUE(screenshot(*sheet, "update-sheet-light"));
    press(sheet->downloadButton());
    ASSERT_TRUE(pumpUntil([&] { return !openedExternally.empty(); }));
    EXPECT_EQ(openedExternally.back(), "https://example.org/pelorn-0.2.0.deb");

    // Offered again on the next check of the same run only once shown and not skipped: skip it.
    setManifest(R"({"version":"0.3.0","url":"https://example.org/pelorn-0.3.0.deb"})");
    press(a.updatesButton());
    ASSERT_TRUE(
        pumpUntil([&] { return sheet->isVisible() && sheet->titleLabel()->text().contains("0.3.0"); }));
    press(sheet->skipButton());
    ASSERT_TRUE(pumpUntil([&] { return settings.string("skippedUpdateVersion") == "0.3.0"; }));
    EXPECT_FALSE(sheet->isVisible());

    // A required update cannot be skipped.
    setManifest(
        R"({"version":"0.4.0","url":"https://example.org/pelorn-0.4.0.deb","minimumVersion":"0.4.0"})");
    press(a.updatesButton());
    ASSERT_TRUE(
        pumpUntil([&] { return sheet->isVisible() && sheet->titleLabel()->text().contains("0.4.0"); }));
    EXPECT_EQ(sheet->textLabel()->text(),
              "This version is no longer supported. Update to keep using Pelorn.");
    EXPECT_FALSE(sheet->skipButton()->isVisible());
    press(sheet->laterButton());

    // A distribution's package is updated by its package manager: no download, the way instead.
    sheet->present({"0.4.0", "https://example.org/pelorn-0.4.0.deb"}, false, "sudo apt install pelorn-host");
    EXPECT_FALSE(sheet->downloadButton()->isVisible());
    EXPECT_EQ(sheet->instructionLabel()->text(), "sudo apt install pelorn-host");
    press(sheet->laterButton());
}

TEST_F(AccountTest, DeletingAsksFirstAndShowsAFailure) {
    open();
    auto& a = account();
    EXPECT_EQ(a.deleteButton()->valueLabel()->text(), "Permanent");
    press(a.deleteButton());
    ASSERT_TRUE(a.deleteConfirmation());
    EXPECT_EQ(a.deleteConfirmation()->text(), "Delete your account?");
    EXPECT_TRUE(a.deleteConfirmation()->informativeText().contains("This cannot be undone."));
    EXPECT_EQ(defaultButtonText(a.deleteConfirmation()), "Cancel") << "Return deletes nothing";
    EXPECT_TRUE(screenshot(*a.deleteConfirmation(), "delete-account-confirmation-light"));
    press(button(a.deleteConfirmation(), "Cancel"));
    settle();
    EXPECT_TRUE(asked.empty());

    press(a.deleteButton());
    press(button(a.deleteConfirmation(), "Delete"));
    ASSERT_TRUE(pumpUntil([&] { return deleteReply != nullptr; }));
    EXPECT_EQ(asked, std::vector<std::string>{"account delete --yes"});
    EXPECT_EQ(a.deleteButton()->valueLabel()->text(), QString::fromUtf8("Deleting…"));
    EXPECT_FALSE(a.deleteButton()->isEnabled());
    std::exchange(deleteReply, nullptr)(ControlResponse::failure(
        "Something went wrong deleting your account. Nothing was half-deleted — try again."));
    ASSERT_TRUE(pumpUntil([&] { return a.deleteButton()->valueLabel()->text() == "Permanent"; }));
    EXPECT_EQ(a.errorLabel()->text(),
              QString::fromUtf8(
                  "Something went wrong deleting your account. Nothing was half-deleted — try again."));
    EXPECT_TRUE(a.deleteButton()->isEnabled());
}

TEST_F(AccountTest, TheSectionIsDrawnLightAndDark) {
    settings.set("userUID", "Xh3kP0q9LmN2vB7cT4wZ8rY1sD6f");
    devices->approve("A", "Kitchen iPad", "iPad13,4");
    for (bool dark : {false, true}) {
        ui::applyTheme(*qApp, dark);
        open();
        window().resize(940, 720);
        window().show();
        account();
        settle();
        EXPECT_TRUE(screenshot(window(), std::string("account-section-") + (dark ? "dark" : "light")));
        app.reset();
    }
    ui::applyTheme(*qApp, false);
}

struct OnboardingTest : ::testing::Test, WindowFixture {
    OnboardingTest() : WindowFixture(false) { settings.set("isAuthenticated", false); }
    OnboardingView& onboarding() { return *window().onboarding(); }
    void press(QAbstractButton* button) { QTest::mouseClick(button, Qt::LeftButton); }
};

TEST_F(OnboardingTest, PagesGoForwardBackAndSkipToSignIn) {
    open();
    auto& o = onboarding();
    ASSERT_EQ(o.page(), 0);
    EXPECT_EQ(o.chipLabel()->text(), "CONTROL");
    EXPECT_EQ(o.titleLabel()->text(), "Your Mac, wherever you are");
    EXPECT_TRUE(o.backButton()->isHidden());
    press(o.nextButton());
    EXPECT_EQ(o.page(), 1);
    EXPECT_EQ(o.chipLabel()->text(), "TERMINAL");
    EXPECT_FALSE(o.backButton()->isHidden());
    press(o.backButton());
    EXPECT_EQ(o.page(), 0);
    settle();
    EXPECT_FALSE(settings.boolean("hasCompletedOnboarding"));
    press(o.skipButton());
    EXPECT_EQ(o.page(), ui::signInStep);
    EXPECT_EQ(o.titleLabel()->text(), "Sign in to get started");
    EXPECT_TRUE(o.nextButton()->isHidden());
    EXPECT_TRUE(o.skipButton()->isHidden());
    ASSERT_TRUE(pumpUntil([&] { return settings.boolean("hasCompletedOnboarding"); }));

    // Page 4: the store page and the product's address.
    o.goTo(4);
    press(o.appStoreButton());
    ASSERT_TRUE(pumpUntil([&] { return !openedExternally.empty(); }));
    EXPECT_EQ(openedExternally.back(), "https://apps.example/pelorn");
    press(o.copyWebsiteButton());
    EXPECT_EQ(QApplication::clipboard()->text(), "https://pelorn.example");
    EXPECT_EQ(o.copyWebsiteButton()->text(), "Link copied");
}

// Nothing starts until the owner agrees; then each way of signing in asks the host, and what comes
// back is shown.
TEST_F(OnboardingTest, TheAgreementGatesEverySignIn) {
    open();
    auto& o = onboarding();
    o.goTo(ui::signInStep);
    EXPECT_TRUE(o.agreementLabel()->text().contains("href=\"https://pelorn.example/terms\""));
    EXPECT_TRUE(o.agreementLabel()->text().contains("href=\"https://pelorn.example/privacy\""));
    Q_EMIT o.agreementLabel()->linkActivated("https://pelorn.example/terms");
    for (auto* b : {o.googleButton(), o.appleButton(), o.copySignInLinkButton()}) {
        press(b);
    }
    settle();
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(o.statusLabel()->text(), "Agree to the Terms and Privacy Policy first.");
    EXPECT_EQ(openedExternally, std::vector<std::string>{"https://pelorn.example/terms"});

    press(o.agreeBox());
    EXPECT_EQ(o.agreeBox()->property("symbol"), "checkmark.square.fill");
    press(o.googleButton());
    ASSERT_TRUE(pumpUntil([&] { return signInReply != nullptr; }));
    EXPECT_EQ(o.googleButton()->text(), "Signing in...");
    std::exchange(signInReply, nullptr)(ControlResponse::failure("sign-in failed (the host's log says why)"));
    ASSERT_TRUE(pumpUntil([&] { return o.googleButton()->text() == "Continue with Google"; }));
    EXPECT_EQ(o.statusLabel()->text(), "sign-in failed (the host's log says why)");

    press(o.appleButton());
    ASSERT_TRUE(pumpUntil([&] { return signInReply != nullptr; }));
    std::exchange(signInReply,
                  nullptr)(ControlResponse::failure("Apple refused the sign-in (invalid_client)"));
    ASSERT_TRUE(
        pumpUntil([&] { return o.statusLabel()->text() == "Apple refused the sign-in (invalid_client)"; }));

    press(o.copySignInLinkButton());
    ASSERT_TRUE(pumpUntil([&] { return signInReply != nullptr; }));
    std::exchange(signInReply, nullptr)(
        ControlResponse::success("link", {{"url", "https://accounts.example/o/oauth2?state=s"}}));
    ASSERT_TRUE(
        pumpUntil([&] { return o.statusLabel()->text() == "Link copied - paste it in any browser"; }));
    EXPECT_EQ(QApplication::clipboard()->text(), "https://accounts.example/o/oauth2?state=s");
    EXPECT_FALSE(o.cancelLinkButton()->isHidden());
    press(o.cancelLinkButton());
    ASSERT_TRUE(pumpUntil([&] { return asked.size() == 4; }));
    EXPECT_EQ(asked, (std::vector<std::string>{"sign-in google", "sign-in apple",
                                               "sign-in google --print-link", "sign-in cancel"}));
    EXPECT_TRUE(o.cancelLinkButton()->isHidden());
}

TEST_F(OnboardingTest, EveryPageIsDrawnLightAndDark) {
    for (bool dark : {false, true}) {
        ui::applyTheme(*qApp, dark);
        open();
        window().resize(940, 620);
        window().show();
        for (int page = 0; page <= ui::signInStep; ++page) {
            onboarding().goTo(page);
            settle();
            EXPECT_TRUE(
                screenshot(window(), "onboarding-" + std::to_string(page) + "-" + (dark ? "dark" : "light")));
        }
        app.reset();
    }
    ui::applyTheme(*qApp, false);
}

} // namespace
