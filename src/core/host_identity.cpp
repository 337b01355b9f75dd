#include "core/host_identity.hpp"

#include "core/atomic_file.hpp"
#include "core/settings.hpp"
#include "core/sha256.hpp"
#include "core/uuid.hpp"

#include <algorithm>
#include <cctype>
#include <gio/gio.h>
#include <unistd.h>

namespace pelorn {

namespace {

constexpr int hostnamedTimeoutMs = 500;

std::string trim(std::string s) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
    s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
    return s;
}

std::optional<std::string> prettyNameFromHostnamed() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (!bus) {
        g_clear_error(&error);
        return std::nullopt;
    }
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.hostname1", "/org/freedesktop/hostname1", "org.freedesktop.DBus.Properties",
        "Get", g_variant_new("(ss)", "org.freedesktop.hostname1", "PrettyHostname"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NO_AUTO_START, hostnamedTimeoutMs, nullptr, &error);
    g_object_unref(bus);
    if (!reply) {
        g_clear_error(&error);
        return std::nullopt;
    }
    GVariant* inner = nullptr;
    g_variant_get(reply, "(v)", &inner);
    std::optional<std::string> name;
    if (g_variant_is_of_type(inner, G_VARIANT_TYPE_STRING)) {
        name = trim(g_variant_get_string(inner, nullptr));
    }
    g_variant_unref(inner);
    g_variant_unref(reply);
    return name && !name->empty() ? name : std::nullopt;
}

// hostnamed keeps the pretty name here; reading it directly covers machines where the daemon
// is not running.
std::optional<std::string> prettyNameFromMachineInfo() {
    auto text = readWholeFile("/etc/machine-info");
    if (!text) {
        return std::nullopt;
    }
    constexpr std::string_view key = "PRETTY_HOSTNAME=";
    size_t start = 0;
    while (start < text->size()) {
        size_t end = text->find('\n', start);
        std::string line =
            trim(text->substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? text->size() : end + 1;
        if (line.rfind(key, 0) != 0) {
            continue;
        }
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        value = trim(value);
        if (!value.empty()) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

std::string deriveHardwareId(const std::string& platformUuid) {
    auto digest = sha256("pelorn-mac:" + platformUuid);
    return hexLower(digest.data(), digest.size());
}

std::string deriveDeviceId(const std::optional<std::string>& hardwareId) {
    if (!hardwareId || hardwareId->size() < 32) {
        return randomUuid();
    }
    std::string h = hardwareId->substr(0, 32);
    std::string id = h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) +
                     "-" + h.substr(20, 12);
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return std::toupper(c); });
    return id;
}

std::optional<std::string> readMachineId(const std::filesystem::path& file) {
    auto text = readWholeFile(file);
    if (!text) {
        return std::nullopt;
    }
    auto id = trim(*text);
    return id.empty() ? std::nullopt : std::optional(id);
}

std::string computerName() {
    if (auto name = prettyNameFromHostnamed()) {
        return *name;
    }
    if (auto name = prettyNameFromMachineInfo()) {
        return *name;
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0]) {
        return host;
    }
    return "Linux";
}

HostIdentity::HostIdentity(Settings& settings, std::filesystem::path machineIdFile)
    : mSettings(settings), mMachineIdFile(std::move(machineIdFile)) {
}

std::optional<std::string> HostIdentity::hardwareId() {
    std::lock_guard lock(mMutex);
    if (!mHardwareId) {
        auto uuid = readMachineId(mMachineIdFile);
        mHardwareId = uuid ? std::optional(deriveHardwareId(*uuid)) : std::nullopt;
    }
    return *mHardwareId;
}

std::string HostIdentity::deviceId() {
    auto hardware = hardwareId();
    std::lock_guard lock(mMutex);
    if (!mDeviceId) {
        auto stored = mSettings.string(deviceIdKey);
        if (stored.empty()) {
            stored = deriveDeviceId(hardware);
            mSettings.set(deviceIdKey, stored);
        }
        mDeviceId = stored;
    }
    return *mDeviceId;
}

} // namespace pelorn
