// The composition root: every subsystem of the host, what it is given and in which order it is
// built and torn down. The process-wide basics (HostLoop, Log, Settings, TaskPool, IoThread,
// GlibThread, NotificationCenter, SecretStore) keep their own shared(); every other shared() of the
// process is defined here and hands out a member of the one Host below.
#include "app/host_services.hpp"

#include "access/auth_throttle.hpp"
#include "access/device_approval_coordinator.hpp"
#include "access/master_password_store.hpp"
#include "access/session_authenticator.hpp"
#include "access/trusted_device_store.hpp"
#include "account/account_deletion.hpp"
#include "account/apple_sign_in.hpp"
#include "account/auth_manager.hpp"
#include "account/update_checker.hpp"
#include "activity/event_log.hpp"
#include "app/app_delegate.hpp"
#include "app/desktop_session.hpp"
#include "app/server_controller.hpp"
#include "cloud/cloud_config.hpp"
#include "cloud/firebase_auth.hpp"
#include "cloud/firestore.hpp"
#include "cloud/presence_service.hpp"
#include "cloud/user_profile_service.hpp"
#include "core/glib_thread.hpp"
#include "core/host_identity.hpp"
#include "core/host_loop.hpp"
#include "core/log.hpp"
#include "core/notification_center.hpp"
#include "core/secret_store.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"
#include "discovery/avahi_publisher.hpp"
#include "discovery/bonjour_advertiser.hpp"
#include "gnome/mutter_remote_desktop.hpp"
#include "input/atspi_focus_inspector.hpp"
#include "input/desktop_input_sessions.hpp"
#include "input/keyboard_controller.hpp"
#include "input/mouse_controller.hpp"
#include "input/remote_input.hpp"
#include "input/text_focus_watcher.hpp"
#include "input/x11_input.hpp"
#include "lan/signaling_server.hpp"
#include "net/io_thread.hpp"
#include "portal/remote_desktop_portal.hpp"
#include "portal/screen_cast_portal.hpp"
#include "power/closed_lid_mode_manager.hpp"
#include "power/logind_inhibitor.hpp"
#include "power/logind_lid_settings.hpp"
#include "power/pkexec_runner.hpp"
#include "power/power_manager.hpp"
#include "privacy/privacy_screen_controller.hpp"
#include "privacy/x11_gamma_blackout.hpp"
#include "remote/ice_configuration.hpp"
#include "remote/remote_session_manager.hpp"
#include "screen/nv12_frame.hpp"
#include "screen/pipewire_screen_source.hpp"
#include "screen/screen_capture_manager.hpp"
#include "screen/screen_session_limit.hpp"
#include "screen/screen_stream_manager.hpp"
#include "screen/video_encoder_h265.hpp"
#include "screen/x11_screen_source.hpp"
#include "signaling/connection_telemetry.hpp"
#include "signaling/lan_targets.hpp"
#include "signaling/signaling_message.hpp"
#include "terminal/session_reaper.hpp"
#include "terminal/terminal_peer.hpp"
#include "terminal/terminal_session_store.hpp"
#include "terminal/tmux.hpp"
#include "webrtc/gst_webrtc_engine.hpp"
#include "webrtc/webrtc_manager.hpp"

namespace pelorn {

namespace {

// ---- Stand-ins for the services not built yet. Each does nothing; when a subsystem lands, its
// real service takes the stand-in's place in Host and the stand-in is deleted.

// The update checker when the build or the environment names the product's website; else
// nothing to check against, which the launch says.
class WebsiteUpdateCheck final : public UpdateCheck {
public:
    explicit WebsiteUpdateCheck(UpdateChecker* checker) : mChecker(checker) {}
    void start() override {
        if (mChecker) {
            mChecker->start();
        } else {
            Log::shared().info("ℹ️ PELORN: no website configured - update checks are off");
        }
    }

private:
    UpdateChecker* mChecker;
};

// ---- The subsystems as the controller, the launch sequence and the signaling server see them.

class ManagedWebRTCPeer final : public WebRTCPeer {
public:
    explicit ManagedWebRTCPeer(WebRTCManager& manager) : mManager(manager) {}
    void setUp() override { mManager.setUp(); }
    void sendHostOffline() override { mManager.sendHostOffline(); }
    void sendControlMessage(const SignalingMessage& message) override {
        mManager.sendControlMessage(message);
    }

private:
    WebRTCManager& mManager;
};

class CloudRemoteSessions final : public RemoteSessions {
public:
    explicit CloudRemoteSessions(RemoteSessionManager& manager) : mManager(manager) {}
    void startListening() override { mManager.startListening(); }
    void stopListening() override { mManager.stopListening(); }

private:
    RemoteSessionManager& mManager;
};

// The screen for the WebRTC peer: captured frames converted once to NV12 on the capture thread. A
// still screen sends a frame a second, which keeps the encoder's keyframes coming and nothing more.
class WebRTCScreenFeed {
public:
    static constexpr auto stillInterval = std::chrono::seconds(1);

    explicit WebRTCScreenFeed(ScreenCaptureManager& capture) : mCapture(capture) {}

    void start(WebRTCManager::FrameSink sink) {
        struct State {
            Nv12Frame nv12;
            std::optional<std::int64_t> lastPts;
        };
        auto state = std::make_shared<State>();
        mCapture.setReadiness({});
        mCapture.setOnFrame(
            [sink = std::move(sink), state](const FrameRef& frame, std::int64_t pts, bool changed) {
                auto still = std::chrono::nanoseconds(stillInterval).count();
                if (!changed && state->lastPts && pts - *state->lastPts < still) {
                    return;
                }
                state->lastPts = pts;
                state->nv12.convert(*frame);
                const auto& f = state->nv12;
                sink({f.width, f.height, f.y, f.width, f.uv, f.width}, std::chrono::nanoseconds(pts));
            });
        mCapture.start();
    }
    void stop() {
        mCapture.setOnFrame({});
        mCapture.stop();
    }

private:
    ScreenCaptureManager& mCapture;
};

class CloudPresence final : public Presence {
public:
    CloudPresence(PresenceService& presence, Firestore* database)
        : mPresence(presence), mDatabase(database) {}
    void publish(bool online) override { mPresence.publish(online); }
    void startHeartbeat() override { mPresence.startHeartbeat(); }
    void stopHeartbeat() override { mPresence.stopHeartbeat(); }
    void cleanupStaleRecords() override { mPresence.cleanupStaleRecords(); }
    bool finishWrites(std::chrono::milliseconds limit) override {
        return !mDatabase || mDatabase->flushWrites(limit);
    }

private:
    PresenceService& mPresence;
    Firestore* mDatabase;
};

class CloudUserProfile final : public UserProfile {
public:
    explicit CloudUserProfile(UserProfileService& profile) : mProfile(profile) {}
    void installAuthListener() override { mProfile.installAuthListener(); }

private:
    UserProfileService& mProfile;
};

class LanAdvertiser final : public Advertiser {
public:
    explicit LanAdvertiser(BonjourAdvertiser& advertiser) : mAdvertiser(advertiser) {}
    void start(const std::string& owner) override { mAdvertiser.start(owner); }
    void stop() override { mAdvertiser.stop(); }
    std::optional<std::uint16_t> listeningPort() const override { return mAdvertiser.listeningPort(); }

private:
    BonjourAdvertiser& mAdvertiser;
};

class LanSignalingLink final : public LanSignaling {
public:
    explicit LanSignalingLink(SignalingServer& server) : mServer(server) {}
    void send(const SignalingMessage& message) override { mServer.send(message); }
    void disconnect() override { mServer.disconnect(); }
    std::optional<std::string> peerHost() const override { return mServer.peerHost(); }

private:
    SignalingServer& mServer;
};

class ReaperService final : public IdleSessionReaper {
public:
    explicit ReaperService(SessionReaper& reaper) : mReaper(reaper) {}
    void start() override { mReaper.start(); }

private:
    SessionReaper& mReaper;
};

class ManagedOnlinePower final : public OnlinePower {
public:
    explicit ManagedOnlinePower(PowerManager& power) : mPower(power) {}
    void beginOnlineAvailability() override { mPower.beginOnlineAvailability(); }
    void endOnlineAvailability() override { mPower.endOnlineAvailability(); }

private:
    PowerManager& mPower;
};

class ManagedClosedLid final : public ClosedLid {
public:
    explicit ManagedClosedLid(ClosedLidModeManager& closedLid) : mClosedLid(closedLid) {}
    void engageIfRequested() override { mClosedLid.engageIfRequested(); }
    bool disengage() override { return mClosedLid.disengage(); }

private:
    ClosedLidModeManager& mClosedLid;
};

// The LAN screen stream, its ceiling and the privacy screen, as the signaling server and the
// controller drive them.
class LanScreen final : public ScreenTarget, public ScreenStreaming {
public:
    LanScreen(ScreenStreamManager& stream, ScreenSessionLimit& limit, PrivacyScreenController& privacy)
        : mStream(stream), mLimit(limit), mPrivacy(privacy) {}
    void startSharing(std::function<void()> onLimit) override {
        mStream.start();
        mLimit.start(std::nullopt, [this, onLimit = std::move(onLimit)] {
            onLimit();
            mStream.stop();
        });
    }
    void stopSharing() override { stop(); }
    void stop() override {
        mStream.stop();
        mLimit.stop();
    }
    void privacyOn() override { mPrivacy.turnOn(); }
    void privacyOff() override { mPrivacy.turnOff(); }

private:
    ScreenStreamManager& mStream;
    ScreenSessionLimit& mLimit;
    PrivacyScreenController& mPrivacy;
};

class MouseInputTrust final : public InputTrust {
public:
    explicit MouseInputTrust(RemoteInput& input) : mInput(input) {}
    void requestAccessibilityTrust() override { mInput.requestAccessibilityTrust(); }

private:
    RemoteInput& mInput;
};

class WatcherTextFocus final : public TextFocusSource {
public:
    explicit WatcherTextFocus(TextFocusWatcher& watcher) : mWatcher(watcher) {}
    void setOnChange(std::function<void(bool)> onChange) override {
        mWatcher.setOnChange(std::move(onChange));
    }

private:
    TextFocusWatcher& mWatcher;
};

// Where the desktop portal's approval of the screen cast is remembered, and how long the owner at
// the screen has to give it.
constexpr const char* screenCastTokenKey = "screenCastRestoreToken";
constexpr auto portalApproval = std::chrono::minutes(2);

// Touches the process-wide basics before any subsystem exists, so they are built first and, as
// statics, destroyed only after the Host that uses them.
HostLoop& basics() {
    Log::shared();
    Settings::shared();
    TaskPool::shared();
    IoThread::shared();
    GlibThread::shared();
    NotificationCenter::shared();
    SecretStore::shared();
    return HostLoop::shared();
}

// Every subsystem of the process. Members are built top to bottom, each from those above it, and
// destroyed bottom to top: the controller and the LAN server go first (closing the client's
// connection, its terminal attachments and its stream), then the screen, privacy (displays lit
// again), power, input, terminal, access and, last, the activity log they all record into.
struct Host {
    std::unique_ptr<ScreenSource> makeScreenSource() {
        if (mutter) {
            return std::make_unique<MutterScreenSource>(*mutter);
        }
        if (portal) {
            return std::make_unique<PipeWireScreenSource>(PipeWireScreenSource::Provider{
                [this]() -> std::variant<PipeWireStream, std::string> {
                    auto token = Settings::shared().string(screenCastTokenKey);
                    if (token.empty()) {
                        Log::shared().info(
                            "🖥️ PELORN: the desktop asks the owner at the screen to share it");
                    }
                    auto cast = portal->start(token, portalApproval);
                    if (auto* why = std::get_if<std::string>(&cast)) {
                        return *why;
                    }
                    auto& granted = std::get<ScreenCastPortal::Cast>(cast);
                    Settings::shared().set(screenCastTokenKey, granted.restoreToken);
                    return PipeWireStream{granted.node, granted.fd};
                },
                {},
                [this] { portal->stop(); }});
        }
        return std::make_unique<X11ScreenSource>("", streamDisplay);
    }
    // The monitor the owner chose to stream and drive (none: the primary).
    static std::string streamDisplay() { return Settings::shared().string("streamDisplay"); }

    // What cannot be said in a member's initialiser: links that run back up the list.
    Host() {
        signaling.setOnClientChanged([this] { stream.peerChanged(); });
        if (cloudAuth) {
            cloudAuth->start(); // the stored user, if any, is signed in again
        }
    }

    HostLoop& loop = basics();
    Settings& settings = Settings::shared();
    NotificationCenter& notifications = NotificationCenter::shared();

    HostIdentity identity{settings, "/etc/machine-id"};
    std::shared_ptr<EventLog> log = EventLog::create(loop, TaskPool::shared(), EventLog::defaultFile());
    ConnectionTelemetry telemetry{settings};

    // Access: the master password, the throttle, the approved devices and the pending approval.
    std::shared_ptr<MasterPasswordStore> passwords =
        MasterPasswordStore::create(loop, TaskPool::shared(), SecretStore::shared());
    AuthThrottle throttle{loop};
    std::shared_ptr<TrustedDeviceStore> devices =
        TrustedDeviceStore::create(loop, SecretStore::shared(), *log, notifications);
    DeviceApprovalCoordinator approvals{loop};
    AuthServices auth{*passwords,
                      throttle,
                      *devices,
                      approvals,
                      *log,
                      [this] { return identity.deviceId(); },
                      [name = computerName()] { return name; }};

    // Terminal.
    Tmux tmux{{"/usr/local/bin/tmux", "/usr/bin/tmux"}, PELORN_LIBEXEC_DIR "/pelorn-tmux"};
    TerminalSessionStore sessions{loop, TaskPool::shared(), tmux, settings};
    SessionReaper reaper{{loop, TaskPool::shared(), tmux, settings, notifications, sessions, *log}};
    TerminalPeers terminals{{loop, sessions, tmux, *log}};

    // The desktop: on GNOME's Wayland, its remote-desktop session carries the screen and input;
    // elsewhere the X server (XWayland's, on another Wayland desktop) does.
    DesktopSession desktop = [] {
        auto session = detectDesktopSession(processEnvironment());
        Log::shared().info("🖥️ PELORN: " + describe(session));
        return session;
    }();
    std::unique_ptr<MutterRemoteDesktop> mutter =
        desktop.kind == DesktopKind::GnomeWayland ? std::make_unique<MutterRemoteDesktop>() : nullptr;
    std::unique_ptr<ScreenCastPortal> portal =
        desktop.kind == DesktopKind::OtherWayland ? std::make_unique<ScreenCastPortal>() : nullptr;
    std::unique_ptr<RemoteDesktopPortal> remotePortal =
        desktop.kind == DesktopKind::OtherWayland ? std::make_unique<RemoteDesktopPortal>() : nullptr;

    // Input.
    X11Input x11Input{loop, "", streamDisplay};
    std::unique_ptr<RemoteDesktopInput::Session> waylandSession =
        [this]() -> std::unique_ptr<RemoteDesktopInput::Session> {
        if (mutter) {
            return std::make_unique<MutterInputSession>(*mutter);
        }
        if (remotePortal && remotePortal->available()) {
            return std::make_unique<PortalInputSession>(*remotePortal, portalApproval);
        }
        return nullptr; // XWayland's windows, through the X server
    }();
    std::unique_ptr<RemoteDesktopInput> waylandInput =
        waylandSession ? std::make_unique<RemoteDesktopInput>(*waylandSession) : nullptr;
    InputDevice& inputDevice = waylandInput ? static_cast<InputDevice&>(*waylandInput) : x11Input;
    MouseController mouse{inputDevice};
    KeyboardController keyboard{inputDevice};
    RemoteInput input{loop, inputDevice, mouse, keyboard};
    AtspiFocusInspector focusInspector;
    TextFocusWatcher textFocus{loop, focusInspector};

    // Power.
    PowerManager power{settings, std::make_unique<LogindInhibitor>()};
    ClosedLidModeManager closedLid{settings, std::make_unique<PkexecRunner>(),
                                   std::make_unique<LogindLidSettings>(), ClosedLidModeManager::Config{}};

    // Screen and privacy.
    PrivacyScreenController privacy{
        loop, *log, [this]() -> std::unique_ptr<DisplayBlackout> {
            if (mutter) {
                return std::make_unique<UnavailableBlackout>(
                    "GNOME on Wayland lets no other program dim its displays");
            }
            if (portal) {
                // XWayland's gamma would change nothing anybody sees.
                return std::make_unique<UnavailableBlackout>(
                    "this Wayland desktop lets no other program dim its displays");
            }
            return std::make_unique<X11GammaBlackout>();
        }()};
    ScreenCaptureManager capture{{loop, [this] { return makeScreenSource(); }, [this] { textFocus.start(); },
                                  [this] { textFocus.stop(); }}};
    ScreenStreamManager stream{{loop, IoThread::shared().context(), *log, capture,
                                [] { return std::make_unique<VideoEncoderH265>(); },
                                [this](const SignalingMessage& m) { signaling.send(m); },
                                [this] { return signaling.peerHost(); }, [this] { privacy.turnOff(); }}};
    ScreenSessionLimit screenLimit{loop, *log};
    LanScreen screen{stream, screenLimit, privacy};

    // The WebRTC peer: its offer and candidates go over the LAN connection unless an internet
    // session installs its own signal sender.
    GstWebRTCEngine webrtcEngine{loop};
    WebRTCScreenFeed webrtcFeed{capture};
    WebRTCManager webrtcManager{
        {loop, webrtcEngine, telemetry, *log, [this] { return iceConfiguration.iceServers(); },
         [this](WebRTCManager::FrameSink sink) { webrtcFeed.start(std::move(sink)); },
         [this] { webrtcFeed.stop(); }, [this] { privacy.turnOff(); }, [this] { screenLimit.stop(); },
         [this](const SignalingMessage& m) { signaling.send(m); }, false, &auth, &notifications, &input,
         &terminals, [this] { privacy.turnOn(); }}};

    // The LAN: the signaling server and the listener that feeds it.
    SignalingServer signaling{loop, notifications, auth, {input, screen, webrtcManager, terminals}};
    std::unique_ptr<ServicePublisher> publisher = systemServicePublisher(loop);
    BonjourAdvertiser advertiser{
        {loop, IoThread::shared().context(), *publisher, [this] { return identity.deviceId(); },
         [] { return computerName(); },
         [this](std::shared_ptr<TcpConnection> c) { signaling.accept(std::move(c)); }},
        BonjourAdvertiser::configuredPort()};

    std::unique_ptr<UpdateChecker> updateChecker = [&]() -> std::unique_ptr<UpdateChecker> {
        std::vector<std::string> problems;
        auto site = websiteUrl(processEnvironment(), PELORN_WEBSITE, problems);
        for (const auto& problem : problems) {
            Log::shared().info("⚠️ PELORN: " + problem);
        }
        return site ? std::make_unique<UpdateChecker>(loop, TaskPool::shared(), Settings::shared(),
                                                      performHttp, *site, PELORN_VERSION)
                    : nullptr;
    }();
    WebsiteUpdateCheck updates{updateChecker.get()};

    // The cloud: its sign-in and its database exist only when the launch found a cloud
    // configuration, which it reads before anything builds the host.
    const CloudConfig* cloud = cloudConfig();
    std::unique_ptr<FirebaseAuth> cloudAuth =
        cloud ? std::make_unique<FirebaseAuth>(FirebaseAuth::Dependencies{
                    loop, TaskPool::shared(), SecretStore::shared(), cloud->project.apiKey, cloud->endpoints})
              : nullptr;
    std::unique_ptr<Firestore> database =
        cloud ? std::make_unique<Firestore>(Firestore::Dependencies{
                    loop, cloud->project.projectId, cloud->endpoints.firestore,
                    cloud->endpoints.firestorePlaintext,
                    [this](bool forceRefresh, std::function<void(std::optional<std::string>)> done) {
                        cloudAuth->idTokenForRequest(forceRefresh, std::move(done));
                    }})
              : nullptr;
    IceConfiguration iceConfiguration{{loop, TaskPool::shared(), settings, cloudAuth.get(), database.get(),
                                       cloud ? cloud->endpoints.functions : ""}};
    PresenceService presenceService{{loop, settings, database.get(), cloudAuth.get(),
                                     [this] { return identity.deviceId(); },
                                     [this] { return identity.hardwareId(); }, [] { return computerName(); },
                                     [this] { return controller.isOnline().get(); }}};
    UserProfileService profileService{{settings, database.get(), cloudAuth.get(),
                                       std::string(PELORN_VERSION) + " (" + PELORN_VERSION + ")",
                                       systemVersionString(), localeCountry()}};
    CloudPresence presence{presenceService, database.get()};
    WebRTCSessionPeer sessionPeer{webrtcManager};
    RemoteSessionManager remoteSessionManager{
        {loop, settings, database.get(), [this] { return identity.deviceId(); }, sessionPeer}};
    CloudRemoteSessions remoteSessions{remoteSessionManager};
    CloudUserProfile profile{profileService};

    // The account.
    AuthManager account{{loop, IoThread::shared().context(), TaskPool::shared(), settings,
                         cloud ? cloud->desktopClient : std::nullopt,
                         cloud ? cloud->endpoints : CloudEndpoints{}, cloudAuth.get(), performHttp,
                         AuthManager::openWithXdgOpen,
                         // The presence record and the session requests listened for name the
                         // account: both follow it when it changes while online.
                         [this] {
                             if (controller.isOnline().get()) {
                                 presence.publish(true);
                                 remoteSessionManager.startListening();
                             }
                         }}};

    AppleSignIn apple{{loop, TaskPool::shared(), cloudAuth.get(),
                       cloud ? cloud->endpoints.appleAuthorize : "",
                       cloud ? cloud->endpoints.appleCallback : "", AuthManager::openWithXdgOpen,
                       [this](const std::string& email, const std::string& name, const std::string& uid) {
                           account.adoptAccount(email, name, uid);
                       }}};
    AccountDeletionService deletion{{loop, TaskPool::shared(), cloudAuth.get(),
                                     cloud ? cloud->endpoints.functions + "/deleteAccount" : "",
                                     [this] { controller.goOffline(); }, [this] { account.signOut(); }}};

    // What the launch sequence and the controller use.
    LanAdvertiser advertiserLink{advertiser};
    LanSignalingLink signalingLink{signaling};
    ReaperService reaperLink{reaper};
    ManagedWebRTCPeer webrtc{webrtcManager};
    ManagedOnlinePower onlinePower{power};
    ManagedClosedLid closedLidLink{closedLid};
    MouseInputTrust inputTrust{input};
    WatcherTextFocus textFocusLink{textFocus};
    HostServices services{advertiserLink, signalingLink, presence,      profile, remoteSessions,
                          webrtc,         onlinePower,   closedLidLink, screen,  reaperLink,
                          inputTrust,     textFocusLink, updates};
    ServerController controller{loop, settings, *log, services};
};

Host& host() {
    static Host instance;
    return instance;
}

} // namespace

AuthManager& AuthManager::shared() {
    return host().account;
}
AppleSignIn& AppleSignIn::shared() {
    return host().apple;
}
AccountDeletionService& AccountDeletionService::shared() {
    return host().deletion;
}
UpdateChecker* UpdateChecker::shared() {
    return host().updateChecker.get();
}
FirebaseAuth* FirebaseAuth::shared() {
    return host().cloudAuth.get();
}
Firestore* Firestore::shared() {
    return host().database.get();
}
PresenceService& PresenceService::shared() {
    return host().presenceService;
}
UserProfileService& UserProfileService::shared() {
    return host().profileService;
}
RemoteSessionManager& RemoteSessionManager::shared() {
    return host().remoteSessionManager;
}
IceConfiguration& IceConfiguration::shared() {
    return host().iceConfiguration;
}
WebRTCManager& WebRTCManager::shared() {
    return host().webrtcManager;
}
HostServices& HostServices::shared() {
    return host().services;
}
ServerController& ServerController::shared() {
    return host().controller;
}
HostIdentity& HostIdentity::shared() {
    return host().identity;
}
EventLog& EventLog::shared() {
    return *host().log;
}
ConnectionTelemetry& ConnectionTelemetry::shared() {
    return host().telemetry;
}
AuthServices& AuthServices::shared() {
    return host().auth;
}
MasterPasswordStore& MasterPasswordStore::shared() {
    return *host().passwords;
}
AuthThrottle& AuthThrottle::shared() {
    return host().throttle;
}
TrustedDeviceStore& TrustedDeviceStore::shared() {
    return *host().devices;
}
DeviceApprovalCoordinator& DeviceApprovalCoordinator::shared() {
    return host().approvals;
}
Tmux& Tmux::shared() {
    return host().tmux;
}
SignalingServer& SignalingServer::shared() {
    return host().signaling;
}
TerminalSessionStore& TerminalSessionStore::shared() {
    return host().sessions;
}
bool desktopScreenAvailable() {
    if (host().mutter) {
        return host().mutter->available();
    }
    return std::holds_alternative<DisplayGeometry>(host().makeScreenSource()->open());
}
bool desktopInputAvailable() {
    return host().inputDevice.isTrusted();
}
std::string desktopDescription() {
    return describe(host().desktop);
}
std::optional<std::vector<X11Monitor>> desktopMonitors() {
    if (host().desktop.kind != DesktopKind::X11) {
        return std::nullopt;
    }
    X11Connection connection;
    return connection ? x11Monitors(connection.get()) : std::vector<X11Monitor>{};
}
MouseController& MouseController::shared() {
    return host().mouse;
}
KeyboardController& KeyboardController::shared() {
    return host().keyboard;
}
RemoteInput& RemoteInput::shared() {
    return host().input;
}
TextFocusWatcher& TextFocusWatcher::shared() {
    return host().textFocus;
}
PowerManager& PowerManager::shared() {
    return host().power;
}
ClosedLidModeManager& ClosedLidModeManager::shared() {
    return host().closedLid;
}
PrivacyScreenController& PrivacyScreenController::shared() {
    return host().privacy;
}
ScreenCaptureManager& ScreenCaptureManager::shared() {
    return host().capture;
}
ScreenStreamManager& ScreenStreamManager::shared() {
    return host().stream;
}
ScreenSessionLimit& ScreenSessionLimit::shared() {
    return host().screenLimit;
}

} // namespace pelorn
