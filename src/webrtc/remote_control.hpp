#pragma once

#include "core/host_loop.hpp"
#include "core/lifetime.hpp"
#include "core/subscription.hpp"
#include "signaling/lan_targets.hpp"
#include "webrtc/webrtc_engine.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace pelorn {

struct AuthServices;
class NotificationCenter;
class SessionAuthenticator;
struct SignalingMessage;

// The internet client on the two data channels: the master-password handshake as soon as
// "control" opens, nothing else until it succeeds, then every message through the table all
// transports share; "terminal" carries terminal output only, held back while the channel's queue
// is long, as a slow LAN socket holds it back. Host loop, except terminal output.
class RemoteControl {
public:
    struct Dependencies {
        HostLoop& loop;
        AuthServices& auth;
        NotificationCenter& notifications;
        InputTarget& input;
        TerminalTarget& terminal;
        std::function<void()> privacyOn;
        std::function<void()> privacyOff;
        std::function<void()> startScreen;
        std::function<void()> stopScreen;
        std::function<void()> requestRestart;
        // The revoked device's session ends.
        std::function<void()> endSession;
        // The session's peer connection; any thread; null without a session.
        std::function<std::shared_ptr<PeerConnection>()> peer;
    };
    static constexpr const char* controlLabel = "control";
    static constexpr const char* terminalLabel = "terminal";
    // Terminal output waits above the first, and goes on below the second.
    static constexpr std::uint64_t terminalHighWater = 1024 * 1024;
    static constexpr std::uint64_t terminalLowWater = 256 * 1024;
    static constexpr auto drainPoll = std::chrono::milliseconds(50);
    static constexpr const char* unknownDeviceLabel = "a remote device";

    explicit RemoteControl(Dependencies deps);
    ~RemoteControl();

    void channelStateChanged(const std::string& label, DataChannelState state);
    void messageReceived(const std::string& label, const std::string& text);

    // Dropped unless "control" is open.
    void sendControlMessage(const SignalingMessage& message);
    void sendHostOffline();
    // Any thread. False when the client is not keeping up: output pauses until the queue drains.
    bool sendTerminalOutput(const SignalingMessage& output);

    // The session ended: the terminal detaches (its tmux sessions live on), the handshake is void.
    void detach();

    bool isAuthorized() const;

    RemoteControl(const RemoteControl&) = delete;
    RemoteControl& operator=(const RemoteControl&) = delete;

private:
    void beginAuthentication();
    void handle(const SignalingMessage& message);
    void terminalMessage(const SignalingMessage& message);
    void ensureTerminal();
    void waitForDrain();
    void onDeviceRevoked(const std::string& deviceId);

    Dependencies mDeps;
    std::shared_ptr<SessionAuthenticator> mAuth;
    std::unique_ptr<TerminalEndpoint> mTerminal;
    // Read by the terminal's reading thread, which may outlive this object by a moment.
    std::shared_ptr<std::atomic<bool>> mTerminalOpen = std::make_shared<std::atomic<bool>>(false);
    Timer mDrain;
    Subscription mRevocations;
    Lifetime<RemoteControl> mLifetime{this};
};

} // namespace pelorn
