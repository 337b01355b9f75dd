#pragma once

#include "ui/terminal_pane.hpp"
#include "ui/ui_host.hpp"

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QLabel;
class QPushButton;
class QStackedWidget;

namespace pelorn::ui {

// Before the application is made: the web view's sandbox off only when running as root, where it
// cannot start (said through `log`).
void prepareWebEngine(const std::function<void(const std::string&)>& log);

// The terminal pane's module, loaded once; absent (with the reason in `why`) when it cannot be.
TerminalPaneCreate terminalPaneCreator(std::string* why = nullptr);

// A session open in the window: its name, the way back to the list, and the terminal (or why
// there is none).
class MacSessionTerminalView : public QWidget {
    Q_OBJECT
public:
    MacSessionTerminalView(UiHost& host, const std::string& session, QWidget* parent = nullptr);

    const std::string& session() const { return mSession; }
    // Absent when the terminal's module could not be loaded.
    TerminalPane* terminal() const { return mTerminal; }
    QPushButton* backButton() const { return mBack; }
    // What shows instead of the terminal; empty while the terminal shows.
    QString message() const;

Q_SIGNALS:
    void back();

private:
    void render();

    std::string mSession;
    TerminalPane* mTerminal = nullptr;
    QPushButton* mBack;
    QStackedWidget* mBody;
    QLabel* mMessage;
    QLabel* mNote;
};

} // namespace pelorn::ui
