#include "portal/remote_desktop_portal.hpp"

#include "portal/portal_session.hpp"

#include <gio/gio.h>
#include <mutex>
#include <thread>

namespace pelorn {

namespace {

constexpr const char* remoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* screenCast = "org.freedesktop.portal.ScreenCast";
constexpr std::uint32_t keyboardDevice = 1;
constexpr std::uint32_t pointerDevice = 2;
// The seat gains the session's virtual devices when it starts, and applications bind them a moment
// later: input sent before that reaches nobody.
constexpr auto devicesSettle = std::chrono::milliseconds(300);
constexpr std::uint32_t shiftKeysym = 0xffe1;

GVariant* sessionOnly(const std::string& s, GVariantBuilder* o) {
    return g_variant_new("(oa{sv})", s.c_str(), o);
}

} // namespace

struct RemoteDesktopPortal::Impl {
    std::string busAddress;
    std::mutex startMutex; // one start at a time
    std::mutex mutex;      // the running session
    std::unique_ptr<PortalSession> session;
    std::optional<Grant> grant;
    std::optional<bool> offered;

    std::variant<Grant, std::string> start(PortalSession& fresh, std::chrono::milliseconds approval,
                                           const std::atomic<bool>* cancel);

    // One input call into the running session, its arguments made from the session's handle and
    // monitor; a refused call ends the session.
    template <typename Arguments> bool notify(const char* method, Arguments arguments) {
        std::lock_guard lock(mutex);
        if (!session || !grant) {
            return false;
        }
        if (session->call(remoteDesktop, method, arguments(session->handle(), *grant))) {
            return true;
        }
        session.reset();
        grant.reset();
        return false;
    }
};

RemoteDesktopPortal::RemoteDesktopPortal(std::string busAddress) : mImpl(std::make_unique<Impl>()) {
    mImpl->busAddress = std::move(busAddress);
}

RemoteDesktopPortal::~RemoteDesktopPortal() = default;

bool RemoteDesktopPortal::available() {
    std::lock_guard lock(mImpl->mutex);
    if (!mImpl->offered) {
        PortalSession probe(mImpl->busAddress);
        mImpl->offered = probe.version(remoteDesktop) > 0;
    }
    return *mImpl->offered;
}

std::variant<RemoteDesktopPortal::Grant, std::string>
RemoteDesktopPortal::start(std::chrono::milliseconds approval, const std::atomic<bool>* cancel) {
    std::lock_guard starting(mImpl->startMutex);
    auto fresh = std::make_unique<PortalSession>(mImpl->busAddress);
    auto result = mImpl->start(*fresh, approval, cancel);
    if (auto* grant = std::get_if<Grant>(&result)) {
        std::lock_guard lock(mImpl->mutex);
        mImpl->session = std::move(fresh); // an earlier session closes here
        mImpl->grant = *grant;
    }
    return result; // a session not granted closes with `fresh`
}

std::variant<RemoteDesktopPortal::Grant, std::string>
RemoteDesktopPortal::Impl::start(PortalSession& fresh, std::chrono::milliseconds approval,
                                 const std::atomic<bool>* cancel) {
    if (auto error = fresh.create(remoteDesktop)) {
        return *error;
    }
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(keyboardDevice | pointerDevice));
    auto devices = fresh.request(remoteDesktop, "SelectDevices", sessionOnly, &options,
                                 PortalSession::quickAnswer, cancel);
    if (!devices.granted()) {
        return devices.refusal("a keyboard and pointer");
    }
    // Absolute pointer positions are places on a monitor of the session, so it needs one.
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(1));
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
    auto sources =
        fresh.request(screenCast, "SelectSources", sessionOnly, &options, PortalSession::quickAnswer, cancel);
    if (!sources.granted()) {
        return sources.refusal("the monitor's choice");
    }
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    auto started = fresh.request(
        remoteDesktop, "Start",
        [](const std::string& s, GVariantBuilder* o) { return g_variant_new("(osa{sv})", s.c_str(), "", o); },
        &options, approval, cancel);
    if (!started.granted()) {
        return started.refusal("remote input");
    }
    std::uint32_t granted = 0;
    g_variant_lookup(started.results, "devices", "u", &granted);
    if ((granted & (keyboardDevice | pointerDevice)) != (keyboardDevice | pointerDevice)) {
        return std::string("the owner shared the screen without allowing remote interaction");
    }
    Grant monitor;
    GVariant* streams = g_variant_lookup_value(started.results, "streams", G_VARIANT_TYPE("a(ua{sv})"));
    if (streams && g_variant_n_children(streams) > 0) {
        GVariant* properties = nullptr;
        g_variant_get_child(streams, 0, "(u@a{sv})", &monitor.stream, &properties);
        g_variant_lookup(properties, "size", "(ii)", &monitor.width, &monitor.height);
        g_variant_unref(properties);
    }
    if (streams) {
        g_variant_unref(streams);
    }
    if (monitor.stream == 0 || monitor.width <= 0 || monitor.height <= 0) {
        return std::string("the desktop portal gave no monitor for the pointer");
    }
    // A key that types nothing and a motion that goes nowhere, twice, so that applications bind the
    // new devices before the first real input.
    GVariantBuilder none;
    for (int round = 0; round < 2; ++round) {
        for (bool pressed : {true, false}) {
            g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
            fresh.call(
                remoteDesktop, "NotifyKeyboardKeysym",
                g_variant_new("(oa{sv}iu)", fresh.handle().c_str(), &none, shiftKeysym, pressed ? 1u : 0u));
        }
        g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
        fresh.call(remoteDesktop, "NotifyPointerMotion",
                   g_variant_new("(oa{sv}dd)", fresh.handle().c_str(), &none, 0.0, 0.0));
        std::this_thread::sleep_for(devicesSettle);
    }
    return monitor;
}

std::optional<RemoteDesktopPortal::Grant> RemoteDesktopPortal::running() {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->grant;
}

namespace {

// A notification's arguments: the session, no options, then `rest` in `format`.
template <typename... Rest>
GVariant* notification(const std::string& session, const char* format, Rest... rest) {
    GVariantBuilder none;
    g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
    return g_variant_new(format, session.c_str(), &none, rest...);
}

} // namespace

bool RemoteDesktopPortal::motion(double x, double y) {
    return mImpl->notify("NotifyPointerMotionAbsolute", [&](const std::string& session, const Grant& grant) {
        return notification(session, "(oa{sv}udd)", grant.stream, x, y);
    });
}

bool RemoteDesktopPortal::button(std::int32_t evdevCode, bool pressed) {
    return mImpl->notify("NotifyPointerButton", [&](const std::string& session, const Grant&) {
        return notification(session, "(oa{sv}iu)", evdevCode, pressed ? 1u : 0u);
    });
}

bool RemoteDesktopPortal::axis(double dx, double dy) {
    // The scroll, then its end ("finish"), as a finger lifted from a touchpad.
    auto part = [](double x, double y, bool finish) {
        return [=](const std::string& session, const Grant&) {
            GVariantBuilder options;
            g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
            g_variant_builder_add(&options, "{sv}", "finish", g_variant_new_boolean(finish));
            return g_variant_new("(oa{sv}dd)", session.c_str(), &options, x, y);
        };
    };
    return mImpl->notify("NotifyPointerAxis", part(dx, dy, false)) &&
           mImpl->notify("NotifyPointerAxis", part(0, 0, true));
}

bool RemoteDesktopPortal::keysym(std::uint32_t keysym, bool pressed) {
    return mImpl->notify("NotifyKeyboardKeysym", [&](const std::string& session, const Grant&) {
        return notification(session, "(oa{sv}iu)", static_cast<std::int32_t>(keysym), pressed ? 1u : 0u);
    });
}

void RemoteDesktopPortal::stop() {
    std::lock_guard lock(mImpl->mutex);
    mImpl->session.reset();
    mImpl->grant.reset();
}

} // namespace pelorn
