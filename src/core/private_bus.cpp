#include "core/private_bus.hpp"

#include <gio/gio.h>

namespace pelorn {

std::string takeMessage(GError*& error) {
    std::string text = error ? error->message : "unknown error";
    g_clear_error(&error);
    return text;
}

GDBusConnection* openPrivateBus(bool system, std::string& error, const std::string& address) {
    GError* e = nullptr;
    gchar* found =
        address.empty()
            ? g_dbus_address_get_for_bus_sync(system ? G_BUS_TYPE_SYSTEM : G_BUS_TYPE_SESSION, nullptr, &e)
            : g_strdup(address.c_str());
    if (!found) {
        error = takeMessage(e);
        return nullptr;
    }
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        found,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &e);
    g_free(found);
    if (!connection) {
        error = takeMessage(e);
        return nullptr;
    }
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    return connection;
}

} // namespace pelorn
