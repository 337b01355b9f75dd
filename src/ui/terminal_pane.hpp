#pragma once

// The terminal inside the window, as the window sees it. Its implementation (Qt WebEngine with the
// terminal page) is a module of its own, loaded the first time a session is opened, so a window
// that never shows a terminal never loads the web engine.
#include "ui/ui_host.hpp"

#include <QString>
#include <QWidget>
#include <functional>
#include <string>

namespace pelorn::ui {

class TerminalPane : public QWidget {
public:
    using QWidget::QWidget;
    const UiTerminalState& state() const { return mState; }
    // Detaches now (the session keeps running); nothing more reaches the page from the host.
    virtual void detach() = 0;
    // Runs `script` in the page; `done` gets its value as text (for the program's own checks).
    virtual void evaluate(const QString& script, std::function<void(const QString&)> done) = 0;
    // Where typed keys go.
    virtual QWidget* keyTarget() const = 0;

protected:
    UiTerminalState mState;
};

// The module's entry point: a pane for `session`, its page in the dark or light scheme; `changed`
// is called on each new state(). Destroying the pane detaches.
using TerminalPaneCreate = TerminalPane* (*)(UiHost& host, const std::string& session, bool dark,
                                             std::function<void()> changed, QWidget* parent);
inline constexpr const char* terminalPaneSymbol = "pelorn_terminal_pane_create";
inline constexpr const char* terminalPaneModule = "pelorn-terminal-view.so";

} // namespace pelorn::ui
