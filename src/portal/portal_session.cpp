#include "portal/portal_session.hpp"

#include "core/private_bus.hpp"

#include <gio/gio.h>
#include <utility>

namespace pelorn {

PortalSession::Answer::Answer(Answer&& other) noexcept
    : response(other.response), results(std::exchange(other.results, nullptr)), heard(other.heard) {
}

PortalSession::Answer::~Answer() {
    if (results) {
        g_variant_unref(results);
    }
}

std::string PortalSession::Answer::refusal(const std::string& step) const {
    if (!heard) {
        return "the desktop portal did not answer " + step;
    }
    return "the desktop portal refused " + step +
           (response == 1 ? " (the owner said no)" : " (response " + std::to_string(response) + ")");
}

PortalSession::PortalSession(std::string busAddress) : mBusAddress(std::move(busAddress)) {
}

PortalSession::~PortalSession() {
    close();
    if (mConnection) {
        g_dbus_connection_close_sync(mConnection, nullptr, nullptr);
        g_object_unref(mConnection);
    }
}

GDBusConnection* PortalSession::connect(std::string& error) {
    if (mConnection && !g_dbus_connection_is_closed(mConnection)) {
        return mConnection;
    }
    if (mConnection) {
        g_object_unref(mConnection);
        mHandle.clear();
    }
    mConnection = openPrivateBus(false, error, mBusAddress);
    if (!mConnection) {
        error = "cannot reach the session bus: " + error;
    }
    return mConnection;
}

PortalSession::Answer PortalSession::request(const char* interface, const char* method, Arguments arguments,
                                             GVariantBuilder* options, std::chrono::milliseconds limit,
                                             const std::atomic<bool>* cancel) {
    std::string token = "pelorn" + std::to_string(++mRequests);
    g_variant_builder_add(options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    Answer answer;
    if (!mConnection) {
        g_variant_unref(g_variant_ref_sink(arguments(mHandle, options))); // ends the options
        return answer;
    }
    // The request's object path is known beforehand, so its answer cannot come before we listen.
    std::string sender = g_dbus_connection_get_unique_name(mConnection) + 1;
    for (auto& c : sender) {
        if (c == '.') {
            c = '_';
        }
    }
    std::string path = std::string(portalPath) + "/request/" + sender + "/" + token;
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    guint id = g_dbus_connection_signal_subscribe(
        mConnection, portalName, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
           gpointer data) {
            auto* a = static_cast<Answer*>(data);
            g_variant_get(parameters, "(u@a{sv})", &a->response, &a->results);
            a->heard = true;
        },
        &answer, nullptr);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(mConnection, portalName, portalPath, interface, method,
                                                  arguments(mHandle, options), G_VARIANT_TYPE("(o)"),
                                                  G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &error);
    if (reply) {
        g_variant_unref(reply);
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!answer.heard && std::chrono::steady_clock::now() < deadline && !(cancel && *cancel)) {
            GSource* tick = g_timeout_source_new(100);
            g_source_set_callback(
                tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
            g_source_attach(tick, context);
            g_main_context_iteration(context, TRUE);
            g_source_destroy(tick);
            g_source_unref(tick);
        }
    } else {
        g_clear_error(&error);
    }
    g_dbus_connection_signal_unsubscribe(mConnection, id);
    while (g_main_context_pending(context)) {
        g_main_context_iteration(context, FALSE);
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    return answer;
}

std::optional<std::string> PortalSession::create(const char* interface) {
    close();
    std::string error;
    if (!connect(error)) {
        return error;
    }
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "session_handle_token", g_variant_new_string("pelorn"));
    auto created = request(
        interface, "CreateSession",
        [](const std::string&, GVariantBuilder* o) { return g_variant_new("(a{sv})", o); }, &options,
        quickAnswer);
    if (!created.granted()) {
        return created.refusal("a session");
    }
    const gchar* handle = nullptr;
    if (g_variant_lookup(created.results, "session_handle", "&s", &handle)) {
        mHandle = handle;
    }
    if (mHandle.empty()) {
        return std::string("the desktop portal gave no session");
    }
    return std::nullopt;
}

bool PortalSession::call(const char* interface, const char* method, GVariant* arguments) {
    if (!mConnection || mHandle.empty()) {
        g_variant_unref(g_variant_ref_sink(arguments));
        return false;
    }
    GVariant* reply =
        g_dbus_connection_call_sync(mConnection, portalName, portalPath, interface, method, arguments,
                                    nullptr, G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, nullptr);
    if (!reply) {
        return false;
    }
    g_variant_unref(reply);
    return true;
}

std::uint32_t PortalSession::version(const char* interface) {
    std::string error;
    if (!connect(error)) {
        return 0;
    }
    GVariant* reply =
        g_dbus_connection_call_sync(mConnection, portalName, portalPath, "org.freedesktop.DBus.Properties",
                                    "Get", g_variant_new("(ss)", interface, "version"), G_VARIANT_TYPE("(v)"),
                                    G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, nullptr);
    if (!reply) {
        return 0;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    std::uint32_t version =
        g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) ? g_variant_get_uint32(value) : 0;
    g_variant_unref(value);
    g_variant_unref(reply);
    return version;
}

void PortalSession::close() {
    if (!mHandle.empty() && mConnection && !g_dbus_connection_is_closed(mConnection)) {
        GVariant* reply = g_dbus_connection_call_sync(
            mConnection, portalName, mHandle.c_str(), "org.freedesktop.portal.Session", "Close", nullptr,
            nullptr, G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, nullptr);
        if (reply) {
            g_variant_unref(reply);
        }
    }
    mHandle.clear();
}

} // namespace pelorn
