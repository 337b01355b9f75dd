#pragma once

#include "ui/ui_host.hpp"

#include <QWidget>
#include <array>
#include <memory>

class QButtonGroup;
class QStackedWidget;
class QToolButton;

namespace pelorn::ui {

class AccountSection;
class ApprovalSheet;
class ConnectSection;
class DevicesSection;
class LogsSection;
class OnboardingView;
class PasswordOnboardingPage;
class UpdateSheet;
class TerminalSessionsView;

// The main shell: the navigation rail and the section it selects.
class MainShell : public QWidget {
    Q_OBJECT
public:
    MainShell(UiHost& host, QWidget* parent = nullptr);
    void apply(const UiState& state);
    void select(std::size_t section);
    std::size_t selected() const { return mSelected; }
    QToolButton* railButton(std::size_t section) const { return mRail[section]; }

    ConnectSection* connectSection() const { return mConnect; }
    LogsSection* logsSection() const { return mLogs; }
    DevicesSection* devicesSection() const { return mDevices; }
    AccountSection* accountSection() const { return mAccount; }
    TerminalSessionsView* terminalSection() const { return mTerminal; }
    UpdateSheet* updateSheet() const { return mUpdate; }

private:
    std::array<QToolButton*, 5> mRail{};
    QStackedWidget* mPages;
    ConnectSection* mConnect;
    LogsSection* mLogs;
    DevicesSection* mDevices;
    AccountSection* mAccount;
    TerminalSessionsView* mTerminal;
    UpdateSheet* mUpdate;
    std::string mOffered; // the version the update sheet was shown for
    std::size_t mSelected = 0;
};

// The one window, "Pelorn": onboarding, the master password's creation, or the main shell, as the
// host's state says, and the approval sheet over it while a device asks.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    enum class Content { SignIn, PasswordOnboarding, MainShell };

    MainWindow(UiHost& host, bool trayAvailable, QWidget* parent = nullptr);
    void apply(std::shared_ptr<const UiState> state);
    // Brings the window to the front and gives it the focus.
    void showWindow();

    Content content() const { return mContent; }
    const std::shared_ptr<const UiState>& state() const { return mState; }
    OnboardingView* onboarding() const { return mOnboarding; }
    PasswordOnboardingPage* passwordPage() const { return mPassword; }
    MainShell* shell() const { return mShell; }
    ApprovalSheet* approvalSheet() const { return mSheet; }
    // Set when the host has shut down: closing then really closes.
    void allowClose() { mClosing = true; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    UiHost& mHost;
    bool mTrayAvailable;
    bool mClosing = false;
    Content mContent = Content::SignIn;
    std::shared_ptr<const UiState> mState;
    QStackedWidget* mStack;
    OnboardingView* mOnboarding;
    PasswordOnboardingPage* mPassword;
    MainShell* mShell;
    ApprovalSheet* mSheet;
};

} // namespace pelorn::ui
