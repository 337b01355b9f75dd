#include "power/logind_lid_settings.hpp"

#include "core/log.hpp"
#include "core/private_bus.hpp"
#include "power/logind_inhibitor.hpp"

#include <gio/gio.h>

namespace pelorn {

LidSnapshot LogindLidSettings::read() {
    LidSnapshot snapshot;
    std::string failure;
    GDBusConnection* bus = openPrivateBus(true, failure);
    if (!bus) {
        Log::shared().system("⚠️ PELORN: Could not read pmset settings: " + failure);
        return snapshot;
    }
    GError* error = nullptr;
    for (const auto& [flag, key] : lidSwitchSources) {
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

} // namespace pelorn
