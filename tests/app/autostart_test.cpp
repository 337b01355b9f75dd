// "Start at login" through its command: the entry in the autostart folder, written and removed.
#include "app/autostart.hpp"
#include "app/control/control_commands.hpp"
#include "app/control/desktop_commands.hpp"
#include "core/atomic_file.hpp"
#include "support/test_support.hpp"

#include <fstream>
#include <gtest/gtest.h>

using namespace pelorn;

namespace {

ControlResponse ask(ControlCommands& commands, std::vector<std::string> args) {
    ControlResponse answer;
    commands.dispatch({"autostart", std::move(args), std::nullopt}, [&](ControlResponse r) { answer = r; });
    return answer;
}

TEST(Autostart, TheEntryIsWrittenForThisProgramAndRemoved) {
    test::TempDir dir;
    Autostart autostart(dir / "autostart", "/opt/My Apps/pelorn-host");
    ControlCommands commands;
    registerDesktopCommands(commands, autostart, {});
    EXPECT_EQ(ask(commands, {}).text, "start at login: off");

    EXPECT_EQ(ask(commands, {"on"}).text, "start at login: on");
    auto entry = readWholeFile(dir / "autostart" / Autostart::fileName);
    ASSERT_TRUE(entry);
    EXPECT_NE(entry->find("\nExec=\"/opt/My Apps/pelorn-host\"\n"), std::string::npos) << *entry;
    EXPECT_EQ(entry->rfind("[Desktop Entry]\nType=Application\nName=Pelorn\n", 0), 0u) << *entry;

    // Turned off in the desktop's own settings: off here too.
    std::ofstream(dir / "autostart" / Autostart::fileName, std::ios::app) << "Hidden=true\n";
    EXPECT_EQ(ask(commands, {}).text, "start at login: off");

    EXPECT_EQ(ask(commands, {"off"}).text, "start at login: off");
    EXPECT_FALSE(std::filesystem::exists(dir / "autostart" / Autostart::fileName));
    EXPECT_EQ(ask(commands, {"maybe"}).error, "usage: autostart [on|off]");

    Autostart nowhere(std::nullopt, "pelorn-host");
    EXPECT_FALSE(nowhere.isOn());
    EXPECT_TRUE(nowhere.set(true));
}

} // namespace
