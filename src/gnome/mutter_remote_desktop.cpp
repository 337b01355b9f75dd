#include "gnome/mutter_remote_desktop.hpp"

#include "core/log.hpp"
#include "core/private_bus.hpp"

#include <chrono>
#include <condition_variable>
#include <future>
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace pelorn {

namespace {

constexpr const char* remoteDesktopName = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* remoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* screenCastName = "org.gnome.Mutter.ScreenCast";
constexpr const char* screenCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* screenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
constexpr const char* textMime = "text/plain;charset=utf-8";
// The cast's PipeWire node is announced shortly after the session starts.
constexpr auto streamAnnouncement = std::chrono::seconds(5);
// The seat gains the session's virtual pointer and keyboard when it starts, and applications
// bind them a moment later: input sent before that reaches nobody.
constexpr auto devicesSettle = std::chrono::milliseconds(300);
constexpr std::uint32_t shiftKeysym = 0xffe1;
// An application may read the clipboard more than once for one paste: a paste is over when no
// read came for this long.
constexpr auto pasteQuiet = std::chrono::milliseconds(150);
// How long a monitor size read from the compositor is taken as current.
constexpr auto sizeRefresh = std::chrono::seconds(1);
// An application asked for the clipboard's text has this long to read it.
constexpr int clipboardReadMs = 1000;

struct VariantUnref {
    void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        auto n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

struct MutterRemoteDesktop::Impl {
    std::string busAddress;
    // Calls and the session's state.
    std::mutex mutex;
    GDBusConnection* connection = nullptr;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::thread signals;
    std::string sessionPath, streamPath;
    std::chrono::steady_clock::time_point measuredAt; // when `current`'s size was read
    Stream current;
    bool started = false;
    bool clipboardEnabled = false;
    // What the signal thread shares with the callers.
    std::mutex signalMutex;
    std::condition_variable signalled;
    std::string awaitedStream;
    std::string liveSession;
    std::uint32_t announcedNode = 0;
    bool closed = false;
    std::string offered;
    int transfers = 0;
    int transfersAtOffer = 0;
    bool ownsClipboard = false; // the clipboard holds what this offered

    ~Impl() {
        std::lock_guard lock(mutex);
        stopSession();
        disconnect();
    }

    std::variant<Variant, std::string> call(const char* name, const std::string& path, const char* interface,
                                            const char* method, GVariant* args, const char* replyType) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(connection, name, path.c_str(), interface, method, args,
                                                      replyType ? G_VARIANT_TYPE(replyType) : nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &error);
        if (!reply) {
            return takeMessage(error);
        }
        return Variant(reply);
    }

    std::optional<std::string> connect() {
        if (connection && !g_dbus_connection_is_closed(connection)) {
            return std::nullopt;
        }
        disconnect();
        std::string error;
        connection = openPrivateBus(false, error, busAddress);
        if (!connection) {
            return "cannot reach the session bus: " + error;
        }
        // Signals are heard on a thread of their own, so that a paste is served while the caller
        // waits for it.
        context = g_main_context_new();
        loop = g_main_loop_new(context, FALSE);
        std::promise<void> subscribed;
        auto ready = subscribed.get_future();
        signals = std::thread([this, &subscribed] {
            g_main_context_push_thread_default(context);
            guint ids[] = {
                subscribe(screenCastStream, "PipeWireStreamAdded"),
                subscribe(remoteDesktopSession, "Closed"),
                subscribe(remoteDesktopSession, "SelectionTransfer"),
                subscribe(remoteDesktopSession, "SelectionOwnerChanged"),
                // The compositor going away ends its sessions without a word.
                g_dbus_connection_signal_subscribe(
                    connection, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                    "/org/freedesktop/DBus", remoteDesktopName, G_DBUS_SIGNAL_FLAGS_NONE,
                    [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                       gpointer self) {
                        auto* impl = static_cast<Impl*>(self);
                        std::lock_guard lock(impl->signalMutex);
                        impl->closed = true;
                    },
                    this, nullptr),
            };
            subscribed.set_value();
            g_main_loop_run(loop);
            for (guint id : ids) {
                g_dbus_connection_signal_unsubscribe(connection, id);
            }
            while (g_main_context_pending(context)) {
                g_main_context_iteration(context, FALSE);
            }
            g_main_context_pop_thread_default(context);
        });
        ready.wait();
        return std::nullopt;
    }

    guint subscribe(const char* interface, const char* member) {
        return g_dbus_connection_signal_subscribe(
            connection, nullptr, interface, member, nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar* name,
               GVariant* parameters,
               gpointer self) { static_cast<Impl*>(self)->heard(path, name, parameters); },
            this, nullptr);
    }

    void disconnect() {
        if (loop) {
            g_main_loop_quit(loop);
        }
        if (signals.joinable()) {
            signals.join();
        }
        if (connection) {
            g_dbus_connection_close_sync(connection, nullptr, nullptr);
            g_object_unref(connection);
            connection = nullptr;
        }
        if (loop) {
            g_main_loop_unref(loop);
            loop = nullptr;
        }
        if (context) {
            g_main_context_unref(context);
            context = nullptr;
        }
        started = false;
    }

    // On the signal thread.
    void heard(const std::string& path, const std::string& name, GVariant* parameters) {
        std::unique_lock lock(signalMutex);
        if (name == "PipeWireStreamAdded" && path == awaitedStream) {
            g_variant_get(parameters, "(u)", &announcedNode);
            signalled.notify_all();
        } else if (name == "Closed" && path == liveSession) {
            closed = true;
        } else if (name == "SelectionOwnerChanged" && path == liveSession) {
            GVariant* options = nullptr;
            g_variant_get(parameters, "(@a{sv})", &options);
            gboolean ours = FALSE;
            g_variant_lookup(options, "session-is-owner", "b", &ours);
            g_variant_unref(options);
            ownsClipboard = ours;
        } else if (name == "SelectionTransfer" && path == liveSession) {
            const gchar* mime = nullptr;
            guint32 serial = 0;
            g_variant_get(parameters, "(&su)", &mime, &serial);
            std::string text = offered;
            lock.unlock();
            serveTransfer(path, serial, text);
            lock.lock();
            ++transfers;
            signalled.notify_all();
        }
    }

    // An application pastes: the offered text goes down the descriptor the compositor hands over.
    void serveTransfer(const std::string& session, std::uint32_t serial, const std::string& text) {
        GUnixFDList* fds = nullptr;
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
            connection, remoteDesktopName, session.c_str(), remoteDesktopSession, "SelectionWrite",
            g_variant_new("(u)", serial), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, callTimeoutMs,
            nullptr, &fds, nullptr, &error);
        bool written = false;
        if (reply) {
            gint32 index = -1;
            g_variant_get(reply, "(h)", &index);
            int fd = fds ? g_unix_fd_list_get(fds, index, nullptr) : -1;
            if (fd >= 0) {
                writeAll(fd, text);
                ::close(fd);
                written = true;
            }
            g_variant_unref(reply);
        } else {
            g_clear_error(&error);
        }
        if (fds) {
            g_object_unref(fds);
        }
        call(remoteDesktopName, session, remoteDesktopSession, "SelectionWriteDone",
             g_variant_new("(ub)", serial, written), nullptr);
    }

    bool alive() {
        if (!started || !connection || g_dbus_connection_is_closed(connection)) {
            return false;
        }
        std::lock_guard lock(signalMutex);
        return !closed;
    }

    // Also a session whose start failed half-way: the compositor would keep it until the
    // connection closes.
    void stopSession() {
        if (!sessionPath.empty() && connection && !g_dbus_connection_is_closed(connection)) {
            call(remoteDesktopName, sessionPath, remoteDesktopSession, "Stop", nullptr, nullptr);
        }
        sessionPath.clear();
        started = false;
        clipboardEnabled = false;
    }

    std::optional<Stream> parameters() {
        auto reply = call(screenCastName, streamPath, "org.freedesktop.DBus.Properties", "Get",
                          g_variant_new("(ss)", screenCastStream, "Parameters"), "(v)");
        auto* value = std::get_if<Variant>(&reply);
        if (!value) {
            return std::nullopt;
        }
        GVariant* boxed = nullptr;
        g_variant_get(value->get(), "(v)", &boxed);
        Variant dict(boxed);
        Stream s = current;
        g_variant_lookup(dict.get(), "position", "(ii)", &s.x, &s.y);
        if (!g_variant_lookup(dict.get(), "size", "(ii)", &s.width, &s.height)) {
            return std::nullopt;
        }
        return s;
    }

    std::variant<Stream, std::string> start() {
        if (alive()) {
            return current;
        }
        stopSession();
        if (auto error = connect()) {
            return *error;
        }
        auto failed = [](const std::string& step, const std::string& why) {
            return "GNOME's remote desktop refused " + step + ": " + why;
        };
        auto session = call(remoteDesktopName, "/org/gnome/Mutter/RemoteDesktop", remoteDesktopName,
                            "CreateSession", nullptr, "(o)");
        if (auto* why = std::get_if<std::string>(&session)) {
            return failed("a session", *why);
        }
        const gchar* path = nullptr;
        g_variant_get(std::get<Variant>(session).get(), "(&o)", &path);
        sessionPath = path;
        auto id = call(remoteDesktopName, sessionPath, "org.freedesktop.DBus.Properties", "Get",
                       g_variant_new("(ss)", remoteDesktopSession, "SessionId"), "(v)");
        if (auto* why = std::get_if<std::string>(&id)) {
            return failed("the session's id", *why);
        }
        GVariant* boxedId = nullptr;
        g_variant_get(std::get<Variant>(id).get(), "(v)", &boxedId);
        Variant sessionId(boxedId);

        GVariantBuilder options;
        g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&options, "{sv}", "remote-desktop-session-id", sessionId.get());
        auto cast = call(screenCastName, "/org/gnome/Mutter/ScreenCast", screenCastName, "CreateSession",
                         g_variant_new("(a{sv})", &options), "(o)");
        if (auto* why = std::get_if<std::string>(&cast)) {
            return failed("a screen cast", *why);
        }
        g_variant_get(std::get<Variant>(cast).get(), "(&o)", &path);
        std::string castPath = path;
        // The primary monitor (an empty connector), the pointer drawn into the frames.
        GVariantBuilder record;
        g_variant_builder_init(&record, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&record, "{sv}", "cursor-mode", g_variant_new_uint32(1));
        auto monitor = call(screenCastName, castPath, screenCastSession, "RecordMonitor",
                            g_variant_new("(sa{sv})", "", &record), "(o)");
        if (auto* why = std::get_if<std::string>(&monitor)) {
            return failed("to record the monitor", *why);
        }
        g_variant_get(std::get<Variant>(monitor).get(), "(&o)", &path);
        streamPath = path;
        auto shape = parameters();
        if (!shape) {
            return failed("the monitor's size", "no size");
        }
        current = *shape;
        measuredAt = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(signalMutex);
            awaitedStream = streamPath;
            liveSession = sessionPath;
            announcedNode = 0;
            closed = false;
        }
        auto begun = call(remoteDesktopName, sessionPath, remoteDesktopSession, "Start", nullptr, nullptr);
        if (auto* why = std::get_if<std::string>(&begun)) {
            return failed("to start", *why);
        }
        {
            std::unique_lock lock(signalMutex);
            if (!signalled.wait_for(lock, streamAnnouncement, [this] { return announcedNode != 0; })) {
                return failed("the screen's stream", "not announced");
            }
            current.node = announcedNode;
        }
        started = true;
        // Applications take the seat's new devices from their first events on, and those events
        // themselves reach nobody: a key that types nothing and a motion that goes nowhere, twice,
        // since an application slow to bind (a loaded machine) misses the first pair too.
        for (int round = 0; round < 2; ++round) {
            for (bool pressed : {true, false}) {
                call(remoteDesktopName, sessionPath, remoteDesktopSession, "NotifyKeyboardKeysym",
                     g_variant_new("(ub)", shiftKeysym, static_cast<gboolean>(pressed)), nullptr);
            }
            call(remoteDesktopName, sessionPath, remoteDesktopSession, "NotifyPointerMotionRelative",
                 g_variant_new("(dd)", 0.0, 0.0), nullptr);
            std::this_thread::sleep_for(devicesSettle);
        }
        Log::shared().info("🖥️ PELORN: GNOME remote-desktop session started (monitor " +
                           std::to_string(current.width) + "x" + std::to_string(current.height) + ")");
        return current;
    }

    // One input call into the session; a session the compositor ended is started again once.
    bool notify(const char* method, GVariant* args) {
        g_variant_ref_sink(args);
        Variant owned(args);
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (std::holds_alternative<std::string>(start())) {
                return false;
            }
            auto reply =
                call(remoteDesktopName, sessionPath, remoteDesktopSession, method, owned.get(), nullptr);
            if (std::holds_alternative<Variant>(reply)) {
                return true;
            }
            std::lock_guard lock(signalMutex);
            closed = true;
        }
        return false;
    }
};

MutterRemoteDesktop::MutterRemoteDesktop(std::string busAddress) : mImpl(std::make_unique<Impl>()) {
    mImpl->busAddress = std::move(busAddress);
}

MutterRemoteDesktop::~MutterRemoteDesktop() = default;

std::variant<MutterRemoteDesktop::Stream, std::string> MutterRemoteDesktop::stream() {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->start();
}

std::optional<MutterRemoteDesktop::Stream> MutterRemoteDesktop::currentStream() {
    std::lock_guard lock(mImpl->mutex);
    if (std::holds_alternative<std::string>(mImpl->start())) {
        return std::nullopt;
    }
    // Asked at every pointer event: the monitor's size is read again at most this often.
    auto now = std::chrono::steady_clock::now();
    if (now - mImpl->measuredAt >= sizeRefresh) {
        if (auto shape = mImpl->parameters()) {
            mImpl->current = *shape;
        }
        mImpl->measuredAt = now;
    }
    return mImpl->current;
}

bool MutterRemoteDesktop::available() {
    std::lock_guard lock(mImpl->mutex);
    if (mImpl->alive()) {
        return true;
    }
    if (mImpl->connect()) {
        return false;
    }
    auto types =
        mImpl->call(remoteDesktopName, "/org/gnome/Mutter/RemoteDesktop", "org.freedesktop.DBus.Properties",
                    "Get", g_variant_new("(ss)", remoteDesktopName, "SupportedDeviceTypes"), "(v)");
    return std::holds_alternative<Variant>(types);
}

bool MutterRemoteDesktop::running() {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->alive();
}

bool MutterRemoteDesktop::motion(double x, double y) {
    std::lock_guard lock(mImpl->mutex);
    // The stream's path names the monitor the coordinates are on; known once started.
    if (std::holds_alternative<std::string>(mImpl->start())) {
        return false;
    }
    return mImpl->notify("NotifyPointerMotionAbsolute",
                         g_variant_new("(sdd)", mImpl->streamPath.c_str(), x, y));
}

bool MutterRemoteDesktop::button(std::int32_t evdevCode, bool pressed) {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->notify("NotifyPointerButton", g_variant_new("(ib)", evdevCode, pressed));
}

bool MutterRemoteDesktop::axis(double dx, double dy) {
    std::lock_guard lock(mImpl->mutex);
    // Flags: 1 = the scroll comes from a finger (smooth), 2 = and ends here.
    return mImpl->notify("NotifyPointerAxis", g_variant_new("(ddu)", dx, dy, 1u)) &&
           mImpl->notify("NotifyPointerAxis", g_variant_new("(ddu)", 0.0, 0.0, 3u));
}

bool MutterRemoteDesktop::keysym(std::uint32_t keysym, bool pressed) {
    std::lock_guard lock(mImpl->mutex);
    return mImpl->notify("NotifyKeyboardKeysym", g_variant_new("(ub)", keysym, pressed));
}

bool MutterRemoteDesktop::offerClipboardText(const std::string& text) {
    std::lock_guard lock(mImpl->mutex);
    if (std::holds_alternative<std::string>(mImpl->start())) {
        return false;
    }
    if (!mImpl->clipboardEnabled) {
        if (!mImpl->notify("EnableClipboard", g_variant_new_parsed("(@a{sv} {},)"))) {
            return false;
        }
        mImpl->clipboardEnabled = true;
    }
    {
        std::lock_guard signalLock(mImpl->signalMutex);
        mImpl->offered = text;
        mImpl->ownsClipboard = true;
        mImpl->transfersAtOffer = mImpl->transfers;
    }
    const gchar* types[] = {textMime, "text/plain", "UTF8_STRING", "STRING", "TEXT"};
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&options, "{sv}", "mime-types", g_variant_new_strv(types, G_N_ELEMENTS(types)));
    return mImpl->notify("SetSelection", g_variant_new("(a{sv})", &options));
}

bool MutterRemoteDesktop::awaitPaste(std::chrono::milliseconds limit) {
    std::unique_lock lock(mImpl->signalMutex);
    if (!mImpl->signalled.wait_for(lock, limit,
                                   [this] { return mImpl->transfers > mImpl->transfersAtOffer; })) {
        return false;
    }
    for (int seen = mImpl->transfers;; seen = mImpl->transfers) {
        if (!mImpl->signalled.wait_for(lock, pasteQuiet, [&] { return mImpl->transfers != seen; })) {
            return true;
        }
    }
}

std::optional<std::string> MutterRemoteDesktop::clipboardText() {
    std::lock_guard lock(mImpl->mutex);
    if (std::holds_alternative<std::string>(mImpl->start())) {
        return std::nullopt;
    }
    if (!mImpl->clipboardEnabled) {
        if (!mImpl->notify("EnableClipboard", g_variant_new_parsed("(@a{sv} {},)"))) {
            return std::nullopt;
        }
        mImpl->clipboardEnabled = true;
    }
    {
        // The compositor does not read a session its own offer.
        std::lock_guard signalLock(mImpl->signalMutex);
        if (mImpl->ownsClipboard) {
            return mImpl->offered;
        }
    }
    GUnixFDList* fds = nullptr;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
        mImpl->connection, remoteDesktopName, mImpl->sessionPath.c_str(), remoteDesktopSession,
        "SelectionRead", g_variant_new("(s)", textMime), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE,
        callTimeoutMs, nullptr, &fds, nullptr, &error);
    if (!reply) {
        g_clear_error(&error);
        return std::nullopt;
    }
    gint32 index = -1;
    g_variant_get(reply, "(h)", &index);
    g_variant_unref(reply);
    int fd = fds ? g_unix_fd_list_get(fds, index, nullptr) : -1;
    if (fds) {
        g_object_unref(fds);
    }
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, clipboardReadMs) <= 0) {
            break;
        }
        auto n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0 || text.size() > (1u << 20)) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

void MutterRemoteDesktop::stop() {
    std::lock_guard lock(mImpl->mutex);
    mImpl->stopSession();
}

} // namespace pelorn
