#pragma once

#include "core/lifetime.hpp"
#include "core/subscription.hpp"
#include "signaling/frame.hpp"
#include "signaling/lan_targets.hpp"

#include <memory>
#include <optional>
#include <string>

namespace pelorn {

class HostLoop;
class NotificationCenter;
class SessionAuthenticator;
class TcpConnection;
class TrustedDeviceStore;
struct AuthServices;

// The host's end of the LAN control connection: one client at a time (a newer one replaces it),
// framed messages, the handshake first, then dispatch to the services. Host loop only.
class SignalingServer {
public:
    struct Targets {
        InputTarget& input;
        ScreenTarget& screen;
        WebRTCTarget& webrtc;
        TerminalTarget& terminal;
    };

    // Terminal output waits once this much is unsent on the connection and goes on when it is
    // down to the low mark; both far below the connection's cap, which closes it.
    static constexpr std::size_t terminalHighWater = 1024 * 1024;
    static constexpr std::size_t terminalLowWater = 256 * 1024;

    SignalingServer(HostLoop& loop, NotificationCenter& notifications, AuthServices& auth, Targets targets);
    ~SignalingServer();

    void accept(std::shared_ptr<TcpConnection> connection);
    void disconnect();
    // Dropped when no client is connected.
    void send(const SignalingMessage& message);
    // The connected client's address without an IPv6 zone; absent when none is connected.
    std::optional<std::string> peerHost() const;
    std::string deviceLabel() const;

    bool hasConnection() const { return mConnection != nullptr; }
    bool isAuthorized() const;

    SignalingServer(const SignalingServer&) = delete;
    SignalingServer& operator=(const SignalingServer&) = delete;

private:
    void onData(const TcpConnection* from, std::string_view bytes);
    void onClosed(const TcpConnection* from, const std::optional<std::string>& error);
    void handle(const SignalingMessage& message);
    void dispatch(const SignalingMessage& message);
    // One handler per message type of an authorised client.
    void onAnswer(const SignalingMessage& m);
    void onCandidate(const SignalingMessage& m);
    void onScreenStart(const SignalingMessage& m);
    void onScreenStop(const SignalingMessage& m);
    void onPrivacyOn(const SignalingMessage& m);
    void onPrivacyOff(const SignalingMessage& m);
    void onKeyEvent(const SignalingMessage& m);
    void onCommandKey(const SignalingMessage& m);
    void onMouseEvent(const SignalingMessage& m);
    void onTerminal(const SignalingMessage& m);
    void ensureTerminalPeer();
    void resetConnectionState();
    void onDeviceRevoked(const std::string& deviceId);

    HostLoop& mLoop;
    AuthServices& mAuth;
    Targets mTargets;
    std::shared_ptr<TcpConnection> mConnection;
    FrameReader mReader;
    std::shared_ptr<SessionAuthenticator> mAuthenticator;
    std::unique_ptr<TerminalEndpoint> mTerminal;
    Subscription mRevocations;
    // Lets callbacks that outlive the server notice it is gone.
    Lifetime<SignalingServer> mLifetime{this};
};

} // namespace pelorn
