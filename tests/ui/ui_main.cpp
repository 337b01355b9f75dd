// The main of the window's tests: one application on Qt's offscreen platform for the whole run, in
// the light theme unless a test chooses otherwise, and days that start at midnight UTC.
#include "ui/style.hpp"
#include "ui/terminal_view.hpp"

#include <QApplication>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    testing::InitGoogleTest(&argc, argv);
    pelorn::ui::prepareWebEngine([](const std::string& line) { std::printf("%s\n", line.c_str()); });
    QApplication app(argc, argv);
    pelorn::ui::applyTheme(app, false);
    return RUN_ALL_TESTS();
}
