#include "core/atomic_file.hpp"
#include "core/settings.hpp"
#include "support/test_support.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace pelorn;
using pelorn::test::LogCapture;
using pelorn::test::TempDir;

namespace {

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

nlohmann::json readJson(const std::filesystem::path& path) {
    return nlohmann::json::parse(*readWholeFile(path));
}

} // namespace

TEST(SettingsStore, ValuesSurviveARestartUnderTheirLiteralKeys) {
    TempDir dir;
    auto file = dir / "pelorn/settings.json";
    {
        Settings settings(file);
        settings.set("userEmail", "Owner@Example.com");
        settings.set("keepMacAwake", true);
        settings.set("pelornTelemetryRelayCount", 3);
    }
    auto stored = readJson(file);
    EXPECT_EQ(stored["userEmail"], "Owner@Example.com");
    EXPECT_EQ(stored["keepMacAwake"], true);
    Settings reopened(file);
    EXPECT_EQ(reopened.string("userEmail"), "Owner@Example.com");
    EXPECT_TRUE(reopened.boolean("keepMacAwake"));
    EXPECT_EQ(reopened.integer("pelornTelemetryRelayCount"), 3);
    reopened.remove("keepMacAwake");
    EXPECT_FALSE(Settings(file).boolean("keepMacAwake"));
}

TEST(SettingsStore, WritesLeaveNoTemporaryFilesAndAreOwnerOnly) {
    TempDir dir;
    auto file = dir / "settings.json";
    Settings settings(file);
    for (int i = 0; i < 20; ++i) {
        settings.set("k" + std::to_string(i), i);
    }
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(readJson(file).size(), 20u);
}

TEST(SettingsStore, CorruptFileStartsWithDefaultsAndIsKeptBeforeTheNextWrite) {
    for (std::string bad : {"{\"userEmail\": \"a@b.c\", oops", "[1,2,3]"}) {
        TempDir dir;
        auto file = dir / "settings.json";
        writeText(file, bad);
        LogCapture log;
        Settings settings(file);
        EXPECT_EQ(settings.string("userEmail"), "");
        EXPECT_EQ(log.lines().size(), 1u);
        // Reading alone changes nothing on disk.
        EXPECT_FALSE(std::filesystem::exists(dir / "settings.json.corrupt"));
        settings.set("keepMacAwake", true);
        EXPECT_EQ(*readWholeFile(dir / "settings.json.corrupt"), bad);
        EXPECT_EQ(readJson(file), nlohmann::json({{"keepMacAwake", true}}));
    }
}

TEST(SettingsStore, EditsMadeByAnotherWriterArePickedUpAndNotOverwritten) {
    TempDir dir;
    auto file = dir / "settings.json";
    Settings settings(file);
    settings.set("pelornDeviceId", "ID");
    // Another writer (a test, a script, the owner) replaces the file.
    writeText(
        file,
        R"({"pelornDeviceId":"ID","userEmail":"x@y.z","isAuthenticated":true, "pad":"ensures a new size"})");
    EXPECT_EQ(settings.string("userEmail"), "x@y.z");
    settings.set("keepMacAwake", true);
    auto stored = readJson(file);
    EXPECT_EQ(stored["userEmail"], "x@y.z");
    EXPECT_EQ(stored["keepMacAwake"], true);
}
