// Keep-awake, online availability and closed-lid mode against a fake logind (python3-dbusmock's
// logind template) on a private system bus, and closed-lid commands run against a temporary root.
#include "core/process_runner.hpp"
#include "core/settings.hpp"
#include "power/closed_lid_mode_manager.hpp"
#include "power/logind_inhibitor.hpp"
#include "power/logind_lid_settings.hpp"
#include "power/pkexec_runner.hpp"
#include "power/power_manager.hpp"
#include "support/fake_logind.hpp"
#include "support/test_support.hpp"

#include <fstream>

using namespace pelorn;
using namespace pelorn::test;

namespace {

std::string slurp(const std::filesystem::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), {}};
}

int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

TEST(PowerManager, HoldsLogindInhibitorsExactlyWhileAskedTo) {
    FakeSystemBus bus(true);
    LogCapture logs;
    Settings settings(std::nullopt);
    settings.set(PowerManager::storageKey, true);
    {
        PowerManager power(settings, std::make_unique<LogindInhibitor>());
        // The switch was left on: held from the start.
        EXPECT_NE(power.assertionID(), 0u);
        EXPECT_EQ(count(FakeSystemBus::inhibitors(), "'idle', 'Pelorn', 'Pelorn is active', 'block'"), 1);
        power.setKeepAwake(true);
        EXPECT_EQ(count(FakeSystemBus::inhibitors(), "'idle'"), 1) << "on twice holds one";
        EXPECT_EQ(logs.count("🕯️ Power: Mac will stay awake (assertion " +
                             std::to_string(power.assertionID()) + " active)"),
                  1);

        power.beginOnlineAvailability();
        power.beginOnlineAvailability();
        EXPECT_EQ(
            count(FakeSystemBus::inhibitors(), "'sleep', 'Pelorn', 'Pelorn is available for remote control'"),
            2);
        EXPECT_EQ(logs.count("🌙 Power: Mac will stay available while Pelorn is online"), 1);
        power.endOnlineAvailability();
        EXPECT_EQ(count(FakeSystemBus::inhibitors(), "'sleep'"), 0);
        power.endOnlineAvailability();
        EXPECT_EQ(logs.count("💤 Power: Online availability assertion released"), 2)
            << "said even with none held";

        power.setKeepAwake(false);
        EXPECT_EQ(power.assertionID(), 0u);
        EXPECT_EQ(count(FakeSystemBus::inhibitors(), "'idle'"), 0);
        EXPECT_TRUE(logs.contains("💤 Power: Mac can now sleep (assertion released)"));
        EXPECT_FALSE(settings.boolean(PowerManager::storageKey));
        power.setKeepAwake(true);
        power.beginOnlineAvailability();
    }
    // Going away releases everything.
    EXPECT_EQ(count(FakeSystemBus::inhibitors(), "'Pelorn'"), 0);
}

// Fails the online pair's second half; the first is real.
class SecondHalfFails final : public PowerInhibitor {
public:
    std::variant<std::uint32_t, std::string> acquire(Kind kind, const std::string& why) override {
        if (kind == Kind::OnlineSystem) {
            return std::string("refused for the test");
        }
        return real.acquire(kind, why);
    }
    std::optional<std::string> release(std::uint32_t handle) override { return real.release(handle); }
    LogindInhibitor real;
};

TEST(PowerManager, HalfAnOnlinePairIsNeverKept) {
    FakeSystemBus bus(true);
    LogCapture logs;
    Settings settings(std::nullopt);
    PowerManager power(settings, std::make_unique<SecondHalfFails>());
    power.beginOnlineAvailability();
    EXPECT_EQ(power.onlineNetworkAssertionID(), 0u);
    EXPECT_EQ(power.onlineSystemAssertionID(), 0u);
    EXPECT_EQ(count(FakeSystemBus::inhibitors(), "'Pelorn'"), 0);
    EXPECT_TRUE(logs.contains("⚠️ Power: Failed to keep the Mac awake while online (network: 0, system: "
                              "refused for the test)"));
}

TEST(PowerManager, WithoutLogindSaysWhyAndCarriesOn) {
    FakeSystemBus bus(false);
    LogCapture logs;
    Settings settings(std::nullopt);
    PowerManager power(settings, std::make_unique<LogindInhibitor>());
    power.setKeepAwake(true);
    power.beginOnlineAvailability();
    EXPECT_EQ(power.assertionID(), 0u);
    ASSERT_GE(logs.lines().size(), 2u);
    EXPECT_TRUE(logs.lines()[0].starts_with("⚠️ Power: Failed to create awake assertion (error "));
    EXPECT_NE(logs.lines()[0].find("org.freedesktop.login1"), std::string::npos) << logs.lines()[0];
    EXPECT_TRUE(
        logs.lines()[1].starts_with("⚠️ Power: Failed to keep the Mac awake while online (network: "));
    power.endOnlineAvailability();
    EXPECT_TRUE(logs.contains("💤 Power: Online availability assertion released"));
}

// Closed-lid mode with its commands run by sh against a temporary root instead of /etc.
class ClosedLidTest : public ::testing::Test {
protected:
    ClosedLidModeManager::Config config() {
        return {dir / "etc/systemd/logind.conf.d/pelorn-closed-lid.conf",
                "echo reloaded >> " + (dir / "reloads").string()};
    }
    std::unique_ptr<ClosedLidModeManager> make(std::vector<std::string> elevate = {"env"}) {
        return std::make_unique<ClosedLidModeManager>(settings,
                                                      std::make_unique<PkexecRunner>(std::move(elevate)),
                                                      std::make_unique<LogindLidSettings>(), config());
    }
    std::string dropIn() { return slurp(config().dropIn); }

    FakeSystemBus bus{true};
    TempDir dir;
    Settings settings{std::nullopt};
    LogCapture logs;
    // pkexec's status when the owner dismisses the prompt.
    const std::vector<std::string> cancelling{"sh", "-c", "exit 126", "pkexec"};
};

TEST_F(ClosedLidTest, EngagesAndRestoresWhatLogindHadBefore) {
    FakeSystemBus::setLid("HandleLidSwitch", "suspend");
    FakeSystemBus::setLid("HandleLidSwitchExternalPower", "ignore");
    FakeSystemBus::setLid("HandleLidSwitchDocked", "ignore");
    EXPECT_EQ(LogindLidSettings().read(), (LidSnapshot{{"-b", 0}, {"-c", 1}, {"-u", 1}}));

    auto lid = make();
    EXPECT_TRUE(lid->disengage()) << "nothing to restore";
    EXPECT_FALSE(std::filesystem::exists(dir / "reloads")) << "and nothing ran";
    lid->engageIfRequested();
    EXPECT_FALSE(lid->isActive().get()) << "not asked for";
    lid->setRequested(true);
    lid->engageIfRequested();
    EXPECT_TRUE(lid->isActive().get());
    EXPECT_EQ(dropIn(), "[Login]\nHandleLidSwitch=ignore\nHandleLidSwitchExternalPower=ignore\n"
                        "HandleLidSwitchDocked=ignore\n");
    EXPECT_EQ(*settings.value(ClosedLidModeManager::snapshotKey),
              nlohmann::json({{"-b", 0}, {"-c", 1}, {"-u", 1}}));
    EXPECT_TRUE(settings.boolean(ClosedLidModeManager::activeKey));
    EXPECT_TRUE(
        logs.contains("🌙 PELORN: Closed-Lid Mode enabled - system sleep is disabled while Pelorn is online"));

    // Going offline: only the owner's own change (AC power) stays.
    EXPECT_TRUE(lid->disengage());
    EXPECT_EQ(dropIn(), "[Login]\nHandleLidSwitchExternalPower=ignore\n");
    EXPECT_FALSE(settings.value(ClosedLidModeManager::activeKey));
    EXPECT_FALSE(settings.value(ClosedLidModeManager::snapshotKey));
    EXPECT_TRUE(lid->isRequested().get()) << "offline keeps the request";
    EXPECT_EQ(slurp(dir / "reloads"), "reloaded\nreloaded\n");
    EXPECT_TRUE(logs.contains("💤 PELORN: Closed-Lid Mode disabled - normal sleep policy restored"));

    // logind's defaults before: the drop-in goes altogether.
    FakeSystemBus::setLid("HandleLidSwitchExternalPower", "suspend");
    lid->engageIfRequested();
    lid->setRequested(false);
    EXPECT_FALSE(std::filesystem::exists(config().dropIn));
    EXPECT_FALSE(lid->isRequested().get());
    EXPECT_FALSE(settings.boolean(ClosedLidModeManager::requestedKey));
}

TEST_F(ClosedLidTest, RestoreCommandsAndEscaping) {
    auto lid = make();
    auto command = lid->restoreCommand({{"-b", 1}, {"-c", 0}, {"-u", 0}});
    EXPECT_EQ(command,
              "printf '%s\\n' '[Login]' 'HandleLidSwitch=ignore' 'HandleLidSwitchDocked=suspend' > '" +
                  config().dropIn.string() + "' && " + config().reload);
    EXPECT_EQ(lid->restoreCommand({}), "rm -f '" + config().dropIn.string() + "' && " + config().reload);

    // The line reaches the shell as it is, double quotes and all.
    auto out = dir / "quoted";
    EXPECT_EQ(PkexecRunner({"env"}).run("printf '%s' \"a\\\"b 'c'\" > " + out.string()), std::nullopt);
    EXPECT_EQ(slurp(out), "a\"b 'c'");
    EXPECT_EQ(PkexecRunner({"env"}).run("echo no such place >&2; exit 3"), "no such place");
}

TEST_F(ClosedLidTest, CancelledAuthorisationAndAnEarlierSession) {
    auto lid = make(cancelling);
    lid->setRequested(true);
    lid->engageIfRequested();
    EXPECT_FALSE(lid->isRequested().get());
    EXPECT_FALSE(settings.boolean(ClosedLidModeManager::requestedKey));
    EXPECT_EQ(lid->lastError().get(),
              "Closed-Lid Mode was not enabled: Administrator authorization was cancelled.");
    EXPECT_TRUE(logs.contains(
        "⚠️ PELORN: Closed-Lid Mode enable failed: Administrator authorization was cancelled."));

    // A run that engaged and never restored: the next one says so at once.
    settings.set(ClosedLidModeManager::requestedKey, true);
    settings.set(ClosedLidModeManager::activeKey, true);
    settings.set(ClosedLidModeManager::snapshotKey, nlohmann::json({{"-b", 0}}));
    lid = make(cancelling);
    EXPECT_TRUE(lid->isActive().get());
    EXPECT_EQ(lid->lastError().get(),
              "Closed-Lid Mode may still be enabled from an earlier Pelorn session. Turn it "
              "off to restore your Mac's normal sleep policy.");
    // Cancelled restore: still active, still recorded, the switch stays on.
    lid->setRequested(false);
    EXPECT_TRUE(lid->isActive().get());
    EXPECT_TRUE(lid->isRequested().get());
    EXPECT_TRUE(settings.boolean(ClosedLidModeManager::activeKey));
    EXPECT_EQ(
        lid->lastError().get(),
        "Pelorn could not restore your normal sleep policy: Administrator authorization was cancelled.");
    // Allowed this time: restored from the stored snapshot.
    lid = make();
    lid->setRequested(false);
    EXPECT_FALSE(lid->isActive().get());
    EXPECT_FALSE(std::filesystem::exists(config().dropIn));
}

} // namespace
