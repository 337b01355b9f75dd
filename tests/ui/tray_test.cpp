// The tray item on a real system tray: trayer on an X server of the test's own, Qt on X.
#include "support/private_servers.hpp"
#include "ui/style.hpp"
#include "window_fixture.hpp"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

TEST(Tray, TheItemSitsInTheTrayAndItsMenuOpensTheWindowAndQuits) {
    PrivateXvfb xvfb;
    BackgroundProcess tray(
        {"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24"});
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    int argc = 1;
    char name[] = "tray_tests";
    char* argv[] = {name, nullptr};
    QApplication qt(argc, argv);
    ui::applyTheme(qt, false);
    WindowFixture f;
    ASSERT_TRUE(f.pumpUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }))
        << "trayer did not start";

    f.app = std::make_unique<UiApp>(f.host, true);
    ASSERT_TRUE(f.pumpUntil([&] {
        return f.app->tray()->isVisible() && !f.app->tray()->geometry().isEmpty();
    })) << "the item never sat in the tray";
    auto actions = f.app->trayMenu()->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), "&Open Pelorn");
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->text(), "&Quit Pelorn");

    // With a tray, closing the window hides it; the menu brings it back.
    ASSERT_TRUE(f.pumpUntil([&] { return f.window().isVisible(); }));
    f.window().close();
    ASSERT_TRUE(f.pumpUntil([&] { return !f.window().isVisible(); }));
    actions[0]->trigger();
    ASSERT_TRUE(f.pumpUntil([&] { return f.window().isVisible() && !f.window().isMinimized(); }));
    EXPECT_TRUE(WindowFixture::screenshot(f.window(), "window-on-x"));

    actions[2]->trigger();
    ASSERT_TRUE(f.pumpUntil([&] { return !f.asked.empty() && f.asked.back() == "quit"; }));
    f.app.reset();
}

} // namespace
