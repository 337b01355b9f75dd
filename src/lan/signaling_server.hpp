#pragma once

#include "core/lifetime.hpp"
#include "core/subscription.hpp"
#include "signaling/frame.hpp"
#include "signaling/lan_targets.hpp"

#include <chrono>
#include <functional>
#include <list>
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

// The host's end of the LAN control connection: framed messages, the handshake first, then
// dispatch to the services. One client is served at a time. Newcomers are challenged beside it and
// replace it only once they are authorised, so a connection that proves nothing changes nothing for
// the client being served. Host loop only.
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

    // Connections still in their handshake, at most; past it the oldest is closed (one waiting for
    // the owner's approval only when every one is).
    static constexpr std::size_t maxNewcomers = 16;
    // A newcomer that has not authorised by then is closed; time spent waiting for the owner's
    // approval does not count.
    static constexpr std::chrono::seconds handshakeTimeout{30};
    // "Dropped … from unauthenticated LAN client" lines per connection, so a flood of them cannot
    // flood the log.
    static constexpr int maxDroppedLines = 16;

    SignalingServer(HostLoop& loop, NotificationCenter& notifications, AuthServices& auth, Targets targets);
    ~SignalingServer();
    static SignalingServer& shared();

    void accept(std::shared_ptr<TcpConnection> connection);
    // Closes every connection, the served client's and the newcomers'.
    void disconnect();
    // To the authorised client; dropped when there is none.
    void send(const SignalingMessage& message);
    // The authorised client's address without an IPv6 zone; absent when there is none.
    std::optional<std::string> peerHost() const;
    std::string deviceLabel() const;

    // Host loop: after the served client changed or left (what follows its address listens).
    void setOnClientChanged(std::function<void()> callback) { mOnClientChanged = std::move(callback); }

    // An authorised client is being served.
    bool hasConnection() const { return mCurrent != nullptr; }
    bool isAuthorized() const;
    // Connections still in their handshake.
    std::size_t newcomerCount() const { return mNewcomers.size(); }

    SignalingServer(const SignalingServer&) = delete;
    SignalingServer& operator=(const SignalingServer&) = delete;

private:
    struct Client;

    Client* find(const TcpConnection* connection) const;
    void onData(const TcpConnection* from, std::string_view bytes);
    void onClosed(const TcpConnection* from, const std::optional<std::string>& error);
    void handle(Client& client, const SignalingMessage& message);
    void promote(Client& client);
    void close(Client& client);
    void closeNewcomer(Client& client);
    std::unique_ptr<Client> takeNewcomer(Client& client); // out of the newcomers; null when not one
    static void end(Client& client);                      // its handshake void, its connection closed
    void closeCurrent();
    void armHandshakeDeadline(Client& client);
    void dispatch(const SignalingMessage& message);
    void ensureTerminalPeer();
    void resetConnectionState();
    void onDeviceRevoked(const std::string& deviceId);

    HostLoop& mLoop;
    AuthServices& mAuth;
    Targets mTargets;
    std::unique_ptr<Client> mCurrent;              // authorised
    std::list<std::unique_ptr<Client>> mNewcomers; // in their handshake, oldest first
    std::unique_ptr<TerminalEndpoint> mTerminal;
    Subscription mRevocations;
    std::function<void()> mOnClientChanged;
    // Lets callbacks that outlive the server notice it is gone.
    Lifetime<SignalingServer> mLifetime{this};
};

} // namespace pelorn
