#pragma once

#include "ui/ui_host.hpp"

#include <QObject>
#include <memory>

class QAction;
class QApplication;
class QMenu;
class QSystemTrayIcon;

namespace pelorn::ui {

class MainWindow;

// The window, the tray item and the host's state flowing into them. Built on the UI thread.
class UiApp : public QObject {
    Q_OBJECT
public:
    // `trayAvailable` as the desktop says; tests decide it.
    UiApp(UiHost& host, bool trayAvailable);
    ~UiApp() override;

    MainWindow& window() const { return *mWindow; }
    QSystemTrayIcon* tray() const { return mTray; }
    QMenu* trayMenu() const { return mMenu; }
    // Until the host has shut down.
    bool running() const { return mRunning; }

private:
    UiHost& mHost;
    std::unique_ptr<MainWindow> mWindow;
    QSystemTrayIcon* mTray = nullptr;
    QMenu* mMenu = nullptr;
    bool mShown = false;
    int mFrontRequests = 0;
    bool mRunning = true;
};

} // namespace pelorn::ui
