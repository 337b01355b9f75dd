#include "ui/main_window.hpp"

#include "ui/account_section.hpp"
#include "ui/onboarding.hpp"
#include "ui/pages.hpp"
#include "ui/sections.hpp"
#include "ui/style.hpp"
#include "ui/terminal_section.hpp"
#include "ui/ui_text.hpp"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace pelorn::ui {

// ---- Main shell

MainShell::MainShell(UiHost& host, QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* rail = new QFrame(this);
    rail->setObjectName("rail");
    rail->setAutoFillBackground(true);
    rail->setBackgroundRole(QPalette::Base);
    rail->setFixedWidth(104);
    auto* railLayout = new QVBoxLayout(rail);
    railLayout->setContentsMargins(8, 16, 8, 16);
    railLayout->setSpacing(6);
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    for (std::size_t i = 0; i < sections.size(); ++i) {
        auto value = QString::fromUtf8(sections[i].value.data(), static_cast<int>(sections[i].value.size()));
        auto* button = new QToolButton(rail);
        button->setObjectName("section-" + value);
        button->setText(value.toUpper());
        button->setIcon(symbolIcon(sections[i].symbol));
        button->setIconSize(QSize(24, 24));
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setCheckable(true);
        button->setAutoRaise(true);
        button->setMinimumSize(88, 62);
        QFont font = button->font();
        font.setPointSizeF(font.pointSizeF() * 0.8);
        font.setWeight(QFont::DemiBold);
        button->setFont(font);
        group->addButton(button, static_cast<int>(i));
        railLayout->addWidget(button);
        mRail[i] = button;
    }
    railLayout->addStretch(1);
    layout->addWidget(rail);
    auto* separator = new QFrame(this);
    separator->setFrameShape(QFrame::VLine);
    separator->setFrameShadow(QFrame::Plain);
    separator->setForegroundRole(QPalette::Mid);
    layout->addWidget(separator);

    mPages = new QStackedWidget(this);
    mConnect = new ConnectSection(host, mPages);
    mLogs = new LogsSection(host, mPages);
    mDevices = new DevicesSection(host, mPages);
    mAccount = new AccountSection(host, mPages);
    mPages->addWidget(mConnect);
    mTerminal = new TerminalSessionsView(host, mPages);
    mPages->addWidget(mTerminal);
    mPages->addWidget(mDevices);
    mPages->addWidget(mLogs);
    mPages->addWidget(mAccount);
    layout->addWidget(mPages, 1);
    mUpdate = new UpdateSheet(host, this);
    connect(group, &QButtonGroup::idClicked, this, [this](int id) { select(static_cast<std::size_t>(id)); });
    select(0);
}

void MainShell::select(std::size_t section) {
    mSelected = section < sections.size() ? section : 0;
    mRail[mSelected]->setChecked(true);
    mPages->setCurrentIndex(static_cast<int>(mSelected));
}

void MainShell::apply(const UiState& state) {
    mConnect->apply(state);
    mLogs->apply(state);
    mDevices->apply(state);
    mAccount->apply(state);
    mTerminal->apply(state);
    // A release is offered once a run; a later check offering another one shows it again.
    if (state.update && state.update->version != mOffered) {
        mOffered = state.update->version;
        mUpdate->present(*state.update, state.updateRequired, state.updateInstruction);
    } else if (!state.update && mUpdate->isVisible()) {
        mUpdate->reject();
    }
}

// ---- Window

MainWindow::MainWindow(UiHost& host, bool trayAvailable, QWidget* parent)
    : QWidget(parent), mHost(host), mTrayAvailable(trayAvailable) {
    setObjectName("mainWindow");
    setWindowTitle("Pelorn");
    // The installed icon; the emoji where the program runs from its build tree.
    setWindowIcon(
        QIcon::fromTheme("com.tamberlind.pelorn.host", QIcon(emojiPixmap(QString::fromUtf8("📱"), 64))));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    mStack = new QStackedWidget(this);
    mOnboarding = new OnboardingView(host, mStack);
    mPassword = new PasswordOnboardingPage(host, mStack);
    mShell = new MainShell(host, mStack);
    mStack->addWidget(mOnboarding);
    mStack->addWidget(mPassword);
    mStack->addWidget(mShell);
    layout->addWidget(mStack);
    mSheet = new ApprovalSheet(host, this);
    setMinimumSize(940, 620);
}

void MainWindow::apply(std::shared_ptr<const UiState> state) {
    bool firstShell = mContent != Content::MainShell || !mState;
    auto previous = std::exchange(mState, std::move(state));
    const auto& s = *mState;
    Content content = !s.signedIn      ? Content::SignIn
                      : !s.passwordSet ? Content::PasswordOnboarding
                                       : Content::MainShell;
    if (content != mContent || !previous) {
        mContent = content;
        mStack->setCurrentIndex(static_cast<int>(content));
        if (content == Content::MainShell) {
            setMinimumSize(480, 600);
            if (firstShell) {
                mShell->select(initialSection(s.initialSection));
            }
        } else {
            setMinimumSize(940, 620);
            resize(size().expandedTo(minimumSize()));
        }
        if (content == Content::SignIn) {
            // An owner who has been through it once (or signs out later) starts at the sign-in page.
            mOnboarding->restart(s.hasCompletedOnboarding);
        }
    }
    mOnboarding->apply(s);
    mShell->apply(s);
    // A device asking brings the window forward with the sheet on top.
    bool wasAsking = previous && previous->approval;
    if (s.approval && (!wasAsking || previous->approval->id != s.approval->id)) {
        showWindow();
        mSheet->present(*s.approval);
    } else if (!s.approval && mSheet->isVisible()) {
        mSheet->dismiss();
    }
}

void MainWindow::showWindow() {
    if (isMinimized()) {
        showNormal();
    }
    show();
    raise();
    activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (mClosing) {
        event->accept();
        return;
    }
    event->ignore();
    // A terminal open in the window detaches when the window goes; its session keeps running.
    mShell->terminalSection()->closeSession();
    if (mTrayAvailable) {
        hide(); // the tray's "Open Pelorn" brings it back
        return;
    }
    // Without a tray nothing could bring a hidden window back.
    showMinimized();
}

} // namespace pelorn::ui
