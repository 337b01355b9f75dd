#include "availability/closed_lid_mode_manager.hpp"

#include "availability/logind_inhibitor.hpp"
#include "core/log.hpp"
#include "core/process_runner.hpp"
#include "core/settings.hpp"

#include <gio/gio.h>

namespace pelorn {

namespace {

constexpr const char* cancelled = "Administrator authorization was cancelled.";
// pkexec's exit status when the owner dismissed the authentication dialog.
constexpr int pkexecDismissed = 126;

// The sources in the order they are restored, with the logind key each stands for.
const std::vector<std::pair<std::string, std::string>> sources = {
    {"-b", "HandleLidSwitch"}, {"-c", "HandleLidSwitchExternalPower"}, {"-u", "HandleLidSwitchDocked"}};

// What logind does without any configuration: suspend on the lid, except when docked.
const LidSnapshot distributionDefaults = {{"-b", 0}, {"-c", 0}, {"-u", 1}};

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

} // namespace

std::optional<std::string> PkexecRunner::run(const std::string& commandLine) {
    // The line is one argument of sh, so nothing in it needs escaping on the way.
    std::vector<std::string> argv = mElevate;
    argv.insert(argv.end(), {"/bin/sh", "-c", commandLine});
    ProcessOptions options;
    options.timeout = std::chrono::minutes(5); // the owner is typing a password
    auto result = runProcess(argv, options);
    if (!result.started) {
        return result.error.empty() ? std::string("could not run ") + argv[0] : result.error;
    }
    if (result.succeeded()) {
        return std::nullopt;
    }
    if (result.exitCode == pkexecDismissed) {
        return std::string(cancelled);
    }
    std::string message = result.err;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message.empty() ? std::string(cancelled) : message;
}

LidSnapshot LogindLidSettings::read() {
    LidSnapshot snapshot;
    std::string failure;
    GDBusConnection* bus = openPrivateBus(true, failure);
    if (!bus) {
        Log::shared().system("⚠️ PELORN: Could not read pmset settings: " + failure);
        return snapshot;
    }
    GError* error = nullptr;
    for (const auto& [flag, key] : sources) {
        GVariant* reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Properties",
            "Get", g_variant_new("(ss)", "org.freedesktop.login1.Manager", key.c_str()),
            G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
        if (!reply) {
            Log::shared().system("⚠️ PELORN: Could not read pmset settings: " +
                                 std::string(error->message));
            g_clear_error(&error);
            continue;
        }
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
            snapshot[flag] = std::string(g_variant_get_string(value, nullptr)) == "ignore" ? 1 : 0;
        }
        g_variant_unref(value);
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return snapshot;
}

ClosedLidModeManager::ClosedLidModeManager(Settings& settings, std::unique_ptr<PrivilegedRunner> runner,
                                           std::unique_ptr<LidSettingsSource> source, Config config)
    : mSettings(settings), mRunner(std::move(runner)), mSource(std::move(source)),
      mConfig(std::move(config)) {
    mIsRequested.set(mSettings.boolean(requestedKey));
    mIsActive.set(mSettings.boolean(activeKey));
    if (mIsActive.get()) {
        mLastError.set("Closed-Lid Mode may still be enabled from an earlier Pelorn session. Turn it off to "
                       "restore your Mac's normal sleep policy.");
    }
}

ClosedLidModeManager& ClosedLidModeManager::shared() {
    static ClosedLidModeManager manager(Settings::shared(), std::make_unique<PkexecRunner>(),
                                        std::make_unique<LogindLidSettings>(), Config{});
    return manager;
}

std::string ClosedLidModeManager::enableCommand() const {
    return "mkdir -p " + quoted(mConfig.dropIn.parent_path().string()) +
           " && printf '%s\\n' '[Login]' 'HandleLidSwitch=ignore' 'HandleLidSwitchExternalPower=ignore' "
           "'HandleLidSwitchDocked=ignore' > " +
           quoted(mConfig.dropIn.string()) + " && " + mConfig.reload;
}

std::string ClosedLidModeManager::restoreCommand(const LidSnapshot& snapshot) const {
    // Only what differs from logind's own defaults is written back; with nothing left the
    // drop-in goes. A source that was not "ignore" gets "suspend", the one value it can stand for.
    std::string lines;
    for (const auto& [flag, key] : sources) {
        auto it = snapshot.find(flag);
        if (it == snapshot.end() || (it->second != 0) == (distributionDefaults.at(flag) != 0)) {
            continue;
        }
        lines += " " + quoted(key + "=" + (it->second != 0 ? "ignore" : "suspend"));
    }
    std::string write = lines.empty()
                            ? "rm -f " + quoted(mConfig.dropIn.string())
                            : "printf '%s\\n' '[Login]'" + lines + " > " + quoted(mConfig.dropIn.string());
    // A write that fails fails the whole line, so it is not reported as done.
    return write + " && " + mConfig.reload;
}

void ClosedLidModeManager::setRequested(bool on) {
    if (on) {
        mIsRequested.set(true);
        mSettings.set(requestedKey, true);
        mLastError.set(std::nullopt);
        return;
    }
    bool restored = disengage();
    mIsRequested.set(!restored);
    mSettings.set(requestedKey, !restored);
}

void ClosedLidModeManager::engageIfRequested() {
    if (!mIsRequested.get() || mIsActive.get()) {
        return;
    }
    LidSnapshot snapshot = mSource->read();
    if (auto error = mRunner->run(enableCommand())) {
        mIsRequested.set(false);
        mSettings.set(requestedKey, false);
        mLastError.set("Closed-Lid Mode was not enabled: " + *error);
        Log::shared().system("⚠️ PELORN: Closed-Lid Mode enable failed: " + *error);
        return;
    }
    mSettings.set(snapshotKey, nlohmann::json(snapshot));
    mSettings.set(activeKey, true);
    mIsActive.set(true);
    mLastError.set(std::nullopt);
    Log::shared().system(
        "🌙 PELORN: Closed-Lid Mode enabled - system sleep is disabled while Pelorn is online");
}

std::optional<LidSnapshot> ClosedLidModeManager::storedSnapshot() {
    auto stored = mSettings.value(snapshotKey);
    if (!stored || !stored->is_object()) {
        return std::nullopt;
    }
    LidSnapshot snapshot;
    for (const auto& [flag, value] : stored->items()) {
        if (!value.is_number_integer()) {
            return std::nullopt;
        }
        snapshot[flag] = value.get<int>();
    }
    return snapshot;
}

bool ClosedLidModeManager::disengage() {
    if (!mIsActive.get()) {
        return true;
    }
    auto snapshot = storedSnapshot();
    if (!snapshot) {
        snapshot = mSource->read();
    }
    if (auto error = mRunner->run(restoreCommand(*snapshot))) {
        mLastError.set("Pelorn could not restore your normal sleep policy: " + *error);
        Log::shared().system("⚠️ PELORN: Closed-Lid Mode restore failed: " + *error);
        return false;
    }
    mSettings.remove(activeKey);
    mSettings.remove(snapshotKey);
    mIsActive.set(false);
    mLastError.set(std::nullopt);
    Log::shared().system("💤 PELORN: Closed-Lid Mode disabled - normal sleep policy restored");
    return true;
}

} // namespace pelorn
