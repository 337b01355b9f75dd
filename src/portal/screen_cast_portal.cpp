#include "portal/screen_cast_portal.hpp"

#include "core/private_bus.hpp"
#include "portal/portal_session.hpp"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <mutex>

namespace pelorn {

namespace {

constexpr const char* screenCast = "org.freedesktop.portal.ScreenCast";

} // namespace

struct ScreenCastPortal::Impl {
    explicit Impl(std::string busAddress) : session(std::move(busAddress)) {}
    std::mutex mutex;
    PortalSession session;

    std::variant<Cast, std::string> start(const std::string& restoreToken,
                                          std::chrono::milliseconds approval);
};

ScreenCastPortal::ScreenCastPortal(std::string busAddress)
    : mImpl(std::make_unique<Impl>(std::move(busAddress))) {
}

ScreenCastPortal::~ScreenCastPortal() = default;

std::variant<ScreenCastPortal::Cast, std::string>
ScreenCastPortal::start(const std::string& restoreToken, std::chrono::milliseconds approval) {
    std::lock_guard lock(mImpl->mutex);
    auto cast = mImpl->start(restoreToken, approval);
    if (std::holds_alternative<std::string>(cast)) {
        // A dialog still waiting goes, and an answer that comes later shares nothing.
        mImpl->session.close();
    }
    return cast;
}

std::variant<ScreenCastPortal::Cast, std::string>
ScreenCastPortal::Impl::start(const std::string& restoreToken, std::chrono::milliseconds approval) {
    if (auto error = session.create(screenCast)) {
        return *error;
    }
    // One monitor, the pointer drawn in, remembered until the owner revokes it.
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(1));
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
    g_variant_builder_add(&options, "{sv}", "cursor_mode", g_variant_new_uint32(2));
    g_variant_builder_add(&options, "{sv}", "persist_mode", g_variant_new_uint32(2));
    if (!restoreToken.empty()) {
        g_variant_builder_add(&options, "{sv}", "restore_token", g_variant_new_string(restoreToken.c_str()));
    }
    auto selected = session.request(
        screenCast, "SelectSources",
        [](const std::string& s, GVariantBuilder* o) { return g_variant_new("(oa{sv})", s.c_str(), o); },
        &options, PortalSession::quickAnswer);
    if (!selected.granted()) {
        return selected.refusal("the monitor's choice");
    }

    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    auto started = session.request(
        screenCast, "Start",
        [](const std::string& s, GVariantBuilder* o) { return g_variant_new("(osa{sv})", s.c_str(), "", o); },
        &options, approval);
    if (!started.granted()) {
        return started.refusal("to share the screen");
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
    if (cast.node == 0) {
        return std::string("the desktop portal shared no monitor");
    }

    GVariantBuilder none;
    g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
    GUnixFDList* fds = nullptr;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        session.connection(), PortalSession::portalName, PortalSession::portalPath, screenCast,
        "OpenPipeWireRemote", g_variant_new("(oa{sv})", session.handle().c_str(), &none),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, PortalSession::callTimeoutMs, nullptr, &fds, nullptr,
        &error);
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
    mImpl->session.close();
}

} // namespace pelorn
