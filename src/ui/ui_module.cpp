// The window's module, which the host loads at run time on a desktop: a host without a display
// never loads Qt.
#include "ui/style.hpp"
#include "ui/terminal_view.hpp"
#include "ui/ui_app.hpp"

#include <QApplication>
#include <QSystemTrayIcon>

extern "C" __attribute__((visibility("default"))) int pelorn_ui_run(pelorn::UiHost* host, int argc,
                                                                    char** argv) {
    static int arguments = argc; // QApplication keeps a reference to it
    pelorn::ui::prepareWebEngine([host](const std::string& line) { host->log(line); });
    QApplication app(arguments, argv);
    app.setApplicationName("Pelorn");
    // The desktop entry this window belongs to (its icon, and the launcher it is grouped with).
    app.setDesktopFileName("com.tamberlind.pelorn.host");
    app.setQuitOnLastWindowClosed(false);
    pelorn::ui::applyTheme(app, pelorn::ui::prefersDark());
    pelorn::ui::UiApp ui(*host, QSystemTrayIcon::isSystemTrayAvailable());
    return app.exec();
}
