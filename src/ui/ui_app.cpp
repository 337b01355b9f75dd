#include "ui/ui_app.hpp"

#include "ui/main_window.hpp"
#include "ui/style.hpp"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QShortcut>
#include <QSystemTrayIcon>

namespace pelorn::ui {

namespace {

QIcon trayIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        icon.addPixmap(emojiPixmap(QString::fromUtf8("📱"), size));
    }
    return icon;
}

} // namespace

UiApp::UiApp(UiHost& host, bool trayAvailable)
    : mHost(host), mWindow(std::make_unique<MainWindow>(host, trayAvailable)) {
    // Spelled out: not every platform theme has a standard key for quitting.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), mWindow.get());
    connect(quit, &QShortcut::activated, this, [this] { mHost.quit(); });
    auto* close = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), mWindow.get());
    connect(close, &QShortcut::activated, mWindow.get(), &QWidget::close);
    if (trayAvailable) {
        mMenu = new QMenu;
        mMenu->setObjectName("trayMenu");
        auto* open = mMenu->addAction("&Open Pelorn");
        open->setObjectName("openAction");
        mMenu->addSeparator();
        auto* quitAction = mMenu->addAction("&Quit Pelorn");
        quitAction->setObjectName("quitAction");
        connect(open, &QAction::triggered, this, [this] { mWindow->showWindow(); });
        connect(quitAction, &QAction::triggered, this, [this] { mHost.quit(); });
        mTray = new QSystemTrayIcon(trayIcon(), this);
        mTray->setToolTip("Pelorn");
        mTray->setContextMenu(mMenu);
        connect(mTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) {
                mWindow->showWindow();
            }
        });
        mTray->show();
    } else {
        mHost.log("⚠️ PELORN: no system tray on this desktop - closing the window minimises it instead");
    }
    mHost.watch(
        [this](std::function<void()> task) {
            QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
        },
        [this](std::shared_ptr<const UiState> state) {
            int front = state->frontRequests;
            mWindow->apply(std::move(state));
            if (!std::exchange(mShown, true)) {
                mWindow->showWindow();
                mHost.log("🪟 PELORN: window shown");
            } else if (front != mFrontRequests) {
                mWindow->showWindow();
                mHost.log("🪟 PELORN: window brought to the front");
            }
            mFrontRequests = front;
        },
        [this] {
            mRunning = false;
            mWindow->allowClose();
            mWindow->close();
            QCoreApplication::quit();
        });
}

UiApp::~UiApp() {
    mHost.stop();
    if (mTray) {
        mTray->hide();
    }
    delete mMenu;
}

} // namespace pelorn::ui
