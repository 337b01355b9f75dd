#include "power/logind_inhibitor.hpp"

#include "core/private_bus.hpp"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

namespace pelorn {

namespace {

constexpr int callTimeoutMs = 2000;

} // namespace

LogindInhibitor::~LogindInhibitor() {
    while (!mHeld.empty()) {
        release(mHeld.begin()->first);
    }
    for (auto* c : {mSystem, mSession}) {
        if (c) {
            g_object_unref(c);
        }
    }
}

GDBusConnection* LogindInhibitor::bus(bool system, std::string& error) {
    GDBusConnection*& connection = system ? mSystem : mSession;
    if (connection && !g_dbus_connection_is_closed(connection)) {
        return connection;
    }
    if (connection) {
        g_object_unref(connection);
        connection = nullptr;
    }
    connection = openPrivateBus(system, error);
    return connection;
}

std::variant<std::uint32_t, std::string> LogindInhibitor::acquire(Kind kind, const std::string& why) {
    std::string error;
    GDBusConnection* system = bus(true, error);
    if (!system) {
        return error;
    }
    const char* what = kind == Kind::KeepAwake ? "idle" : "sleep";
    GUnixFDList* fds = nullptr;
    GError* e = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        system, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
        "Inhibit", g_variant_new("(ssss)", what, "Pelorn", why.c_str(), "block"), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &fds, nullptr, &e);
    if (!reply) {
        return takeMessage(e);
    }
    gint32 index = 0;
    g_variant_get(reply, "(h)", &index);
    g_variant_unref(reply);
    int fd = fds ? g_unix_fd_list_get(fds, index, &e) : -1;
    if (fds) {
        g_object_unref(fds); // the list holds its own copy, which would keep the inhibition alive
    }
    if (fd < 0) {
        return takeMessage(e);
    }
    Held held{fd, std::nullopt};
    if (kind == Kind::KeepAwake) {
        std::string ignored;
        if (GDBusConnection* session = bus(false, ignored)) {
            GVariant* cookie = g_dbus_connection_call_sync(
                session, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                "org.freedesktop.ScreenSaver", "Inhibit", g_variant_new("(ss)", "Pelorn", why.c_str()),
                G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, callTimeoutMs, nullptr, nullptr);
            if (cookie) {
                std::uint32_t value = 0;
                g_variant_get(cookie, "(u)", &value);
                held.screenSaverCookie = value;
                g_variant_unref(cookie);
            }
        }
    }
    std::uint32_t handle = mNextHandle++;
    mHeld.emplace(handle, held);
    return handle;
}

std::optional<std::string> LogindInhibitor::release(std::uint32_t handle) {
    auto it = mHeld.find(handle);
    if (it == mHeld.end()) {
        return std::string("no such inhibition");
    }
    Held held = it->second;
    mHeld.erase(it);
    std::optional<std::string> failure;
    if (::close(held.fd) != 0) {
        failure = "close failed";
    }
    if (held.screenSaverCookie) {
        std::string ignored;
        if (GDBusConnection* session = bus(false, ignored)) {
            GVariant* r = g_dbus_connection_call_sync(
                session, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                "org.freedesktop.ScreenSaver", "UnInhibit", g_variant_new("(u)", *held.screenSaverCookie),
                nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, callTimeoutMs, nullptr, nullptr);
            if (r) {
                g_variant_unref(r);
            }
        }
    }
    return failure;
}

} // namespace pelorn
