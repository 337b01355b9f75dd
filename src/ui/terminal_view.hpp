#pragma once

#include "ui/ui_host.hpp"

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QLabel;
class QPushButton;
class QStackedWidget;
class QWebEngineView;

namespace pelorn::ui {

// Before the application is made: the web view's shared GL contexts, and its sandbox off only
// when running as root, where it cannot start (said through `log`).
void prepareWebEngine(const std::function<void(const std::string&)>& log);

// The web view with the terminal page, connected to the host's controller of the session. Closing
// (destroying) it detaches; the session keeps running.
class TerminalHostView : public QWidget {
    Q_OBJECT
public:
    TerminalHostView(UiHost& host, const std::string& session, QWidget* parent = nullptr);
    ~TerminalHostView() override;

    QWebEngineView* webView() const { return mView; }
    const UiTerminalState& state() const { return mState; }
    // Detaches now (the session keeps running); the view shows nothing more from the host.
    void detach();
    // Runs `script` in the page; `done` gets its value as text (for the program's own checks).
    void evaluate(const QString& script, std::function<void(const QString&)> done);

Q_SIGNALS:
    void stateChanged();

private:
    QWebEngineView* mView;
    std::unique_ptr<UiTerminal> mTerminal;
    UiTerminalState mState;
};

// A session open in the window: its name, the way back to the list, and the terminal (or why
// there is none).
class MacSessionTerminalView : public QWidget {
    Q_OBJECT
public:
    MacSessionTerminalView(UiHost& host, const std::string& session, QWidget* parent = nullptr);

    const std::string& session() const { return mSession; }
    TerminalHostView* terminal() const { return mTerminal; }
    QPushButton* backButton() const { return mBack; }
    // What shows instead of the terminal; empty while the terminal shows.
    QString message() const;

Q_SIGNALS:
    void back();

private:
    void render();

    std::string mSession;
    TerminalHostView* mTerminal;
    QPushButton* mBack;
    QStackedWidget* mBody;
    QLabel* mMessage;
    QLabel* mNote;
};

} // namespace pelorn::ui
