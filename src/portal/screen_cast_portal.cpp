#include "portal/screen_cast_portal.hpp"

#include "core/private_bus.hpp"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>

namespace pelorn {

namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* screenCast = "org.freedesktop.portal.ScreenCast";
constexpr int callTimeoutMs = 10000;
// Requests the desktop answers without asking anybody.
constexpr auto quickAnswer = std::chrono::seconds(10);

// What a portal request answered: its results, or why there are none.
struct Answer {
    std::uint32_t response = 2; // 0 granted, 1 cancelled by the user, 2 ended otherwise
    GVariant* results = nullptr;
    bool heard = false;
};

} // namespace

struct ScreenCastPortal::Impl {
    std::string busAddress;
    std::mutex mutex;
    GDBusConnection* connection = nullptr;
    std::string session;
    unsigned requests = 0;

    ~Impl() {
        close();
        if (connection) {
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
        }
    }

    std::optional<std::string> connect() {
        if (connection && !g_dbus_connection_is_closed(connection)) {
            return std::nullopt;
        }
        if (connection) {
            g_object_unref(connection);
            connection = nullptr;
        }
        std::string error;
        connection = openPrivateBus(false, error, busAddress);
        if (!connection) {
            return "cannot reach the session bus: " + error;
        }
        return std::nullopt;
    }

    // A portal method that answers with a Request's Response signal. `options` is a floating
    // a{sv} builder's value without the handle token, which is added here.
    Answer request(const char* method,
                   GVariant* (*arguments)(const std::string& session, GVariantBuilder* options),
                   GVariantBuilder* options, std::chrono::milliseconds limit) {
        std::string token = "pelorn" + std::to_string(++requests);
        g_variant_builder_add(options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
        std::string sender = g_dbus_connection_get_unique_name(connection) + 1;
        for (auto& c : sender) {
            if (c == '.') {
                c = '_';
            }
        }
        std::string path = std::string(portalPath) + "/request/" + sender + "/" + token;
        Answer answer;
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        guint id = g_dbus_connection_signal_subscribe(
            connection, portalName, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
               gpointer data) {
                auto* a = static_cast<Answer*>(data);
                g_variant_get(parameters, "(u@a{sv})", &a->response, &a->results);
                a->heard = true;
            },
            &answer, nullptr);
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(connection, portalName, portalPath, screenCast, method,
                                                      arguments(session, options), G_VARIANT_TYPE("(o)"),
                                                      G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &error);
        if (reply) {
            g_variant_unref(reply);
            auto deadline = std::chrono::steady_clock::now() + limit;
            while (!answer.heard && std::chrono::steady_clock::now() < deadline) {
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
        g_dbus_connection_signal_unsubscribe(connection, id);
        while (g_main_context_pending(context)) {
            g_main_context_iteration(context, FALSE);
        }
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
        return answer;
    }

    std::variant<Cast, std::string> start(const std::string& restoreToken,
                                          std::chrono::milliseconds approval);

    void close() {
        if (!session.empty() && connection && !g_dbus_connection_is_closed(connection)) {
            GVariant* reply = g_dbus_connection_call_sync(
                connection, portalName, session.c_str(), "org.freedesktop.portal.Session", "Close", nullptr,
                nullptr, G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, nullptr);
            if (reply) {
                g_variant_unref(reply);
            }
        }
        session.clear();
    }
};

ScreenCastPortal::ScreenCastPortal(std::string busAddress) : mImpl(std::make_unique<Impl>()) {
    mImpl->busAddress = std::move(busAddress);
}

ScreenCastPortal::~ScreenCastPortal() = default;

std::variant<ScreenCastPortal::Cast, std::string>
ScreenCastPortal::start(const std::string& restoreToken, std::chrono::milliseconds approval) {
    std::lock_guard lock(mImpl->mutex);
    mImpl->close();
    auto cast = mImpl->start(restoreToken, approval);
    if (std::holds_alternative<std::string>(cast)) {
        // A dialog still waiting goes, and an answer that comes later shares nothing.
        mImpl->close();
    }
    return cast;
}

std::variant<ScreenCastPortal::Cast, std::string>
ScreenCastPortal::Impl::start(const std::string& restoreToken, std::chrono::milliseconds approval) {
    if (auto error = connect()) {
        return *error;
    }
    auto refused = [](const char* step, const Answer& a) {
        if (a.results) {
            g_variant_unref(a.results);
        }
        if (!a.heard) {
            return std::string("the desktop portal did not answer ") + step;
        }
        return std::string("the desktop portal refused ") + step +
               (a.response == 1 ? " (the owner said no)" : " (response " + std::to_string(a.response) + ")");
    };

    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "session_handle_token", g_variant_new_string("pelorn"));
    auto created = request(
        "CreateSession", [](const std::string&, GVariantBuilder* o) { return g_variant_new("(a{sv})", o); },
        &options, quickAnswer);
    if (!created.heard || created.response != 0) {
        return refused("a session", created);
    }
    const gchar* handle = nullptr;
    if (g_variant_lookup(created.results, "session_handle", "&s", &handle)) {
        session = handle;
    }
    g_variant_unref(created.results);
    if (session.empty()) {
        return std::string("the desktop portal gave no session");
    }

    // One monitor, the pointer drawn in, remembered until the owner revokes it.
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(1));
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
    g_variant_builder_add(&options, "{sv}", "cursor_mode", g_variant_new_uint32(2));
    g_variant_builder_add(&options, "{sv}", "persist_mode", g_variant_new_uint32(2));
    if (!restoreToken.empty()) {
        g_variant_builder_add(&options, "{sv}", "restore_token", g_variant_new_string(restoreToken.c_str()));
    }
    auto selected = request(
        "SelectSources",
        [](const std::string& s, GVariantBuilder* o) { return g_variant_new("(oa{sv})", s.c_str(), o); },
        &options, quickAnswer);
    if (!selected.heard || selected.response != 0) {
        return refused("the monitor's choice", selected);
    }
    g_variant_unref(selected.results);

    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    auto started = request(
        "Start",
        [](const std::string& s, GVariantBuilder* o) { return g_variant_new("(osa{sv})", s.c_str(), "", o); },
        &options, approval);
    if (!started.heard || started.response != 0) {
        return refused("to share the screen", started);
    }
    Cast cast;
    const gchar* token = nullptr;
    if (g_variant_lookup(started.results, "restore_token", "&s", &token)) {
        cast.restoreToken = token;
    }
    GVariant* streams = g_variant_lookup_value(started.results, "streams", G_VARIANT_TYPE("a(ua{sv})"));
    if (streams && g_variant_n_children(streams) > 0) {
        g_variant_get_child(streams, 0, "(u@a{sv})", &cast.node, nullptr);
    }
    if (streams) {
        g_variant_unref(streams);
    }
    g_variant_unref(started.results);
    if (cast.node == 0) {
        return std::string("the desktop portal shared no monitor");
    }

    GVariantBuilder none;
    g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
    GUnixFDList* fds = nullptr;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        connection, portalName, portalPath, screenCast, "OpenPipeWireRemote",
        g_variant_new("(oa{sv})", session.c_str(), &none), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE,
        callTimeoutMs, nullptr, &fds, nullptr, &error);
    if (!reply) {
        return "the desktop portal opened no PipeWire connection: " + takeMessage(error);
    }
    gint32 index = -1;
    g_variant_get(reply, "(h)", &index);
    g_variant_unref(reply);
    cast.fd = fds ? g_unix_fd_list_get(fds, index, nullptr) : -1;
    if (fds) {
        g_object_unref(fds);
    }
    if (cast.fd < 0) {
        return std::string("the desktop portal opened no PipeWire connection");
    }
    return cast;
}

void ScreenCastPortal::stop() {
    std::lock_guard lock(mImpl->mutex);
    mImpl->close();
}

} // namespace pelorn
