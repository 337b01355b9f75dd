#include "lan/signaling_server.hpp"

#include "access/auth_messages.hpp"
#include "access/session_authenticator.hpp"
#include "access/trusted_device_store.hpp"
#include "core/base64.hpp"
#include "core/host_loop.hpp"
#include "core/log.hpp"
#include "core/notification_center.hpp"
#include "net/tcp_connection.hpp"
#include "signaling/signaling_message.hpp"

#include <cmath>
#include <limits>

namespace pelorn {

namespace {

constexpr const char* unknownDeviceLabel = "a device on your network";

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.rfind(prefix, 0) == 0;
}

} // namespace

SignalingServer::SignalingServer(HostLoop& loop, NotificationCenter& notifications, AuthServices& auth,
                                 Targets targets)
    : mLoop(loop), mAuth(auth), mTargets(targets) {
    mRevocations =
        notifications.observe(TrustedDeviceStore::revokedNotification, [this](const nlohmann::json& id) {
            if (id.is_string()) {
                onDeviceRevoked(id.get<std::string>());
            }
        });
}

SignalingServer::~SignalingServer() {
    if (mConnection) {
        mConnection->close();
    }
    if (mAuthenticator) {
        mAuthenticator->invalidate();
    }
}

bool SignalingServer::isAuthorized() const {
    return mAuthenticator && mAuthenticator->isAuthorized();
}

void SignalingServer::accept(std::shared_ptr<TcpConnection> connection) {
    resetConnectionState();
    if (mAuthenticator) {
        mAuthenticator->invalidate();
    }
    if (mConnection && mConnection != connection) {
        mConnection->close();
    }
    mConnection = std::move(connection);
    mReader = FrameReader();
    const TcpConnection* current = mConnection.get();
    auto self = mLifetime.weak();
    mConnection->start({[self, current](std::string_view bytes) {
                            if (auto* server = self.lock()) {
                                server->onData(current, bytes);
                            }
                        },
                        [self, current](std::optional<std::string> error) {
                            if (auto* server = self.lock()) {
                                server->onClosed(current, error);
                            }
                        }});
    Log::shared().info("✅ Signaling connection accepted");
    mAuthenticator = SessionAuthenticator::create(
        Transport::Lan, [this](const SignalingMessage& m) { send(m); }, mAuth);
    mAuthenticator->sendChallenge();
}

void SignalingServer::onData(const TcpConnection* from, std::string_view bytes) {
    if (from != mConnection.get()) {
        return;
    }
    std::vector<std::string> frames;
    auto status = mReader.feed(bytes, [&](std::string_view text) { frames.emplace_back(text); });
    for (const auto& text : frames) {
        if (from != mConnection.get()) {
            return; // a message closed or replaced the connection
        }
        if (auto message = SignalingMessage::decode(text)) {
            handle(*message);
        }
    }
    if (status == FrameReader::Status::Oversized && from == mConnection.get()) {
        Log::shared().info("❌ Receive error: frame of " + std::to_string(mReader.refusedLength()) +
                           " bytes exceeds the limit of " + std::to_string(maxFrameLength));
        disconnect();
    }
}

void SignalingServer::onClosed(const TcpConnection* from, const std::optional<std::string>& error) {
    if (from != mConnection.get()) {
        return;
    }
    if (error) {
        Log::shared().info("❌ Receive error: " + *error);
    }
    disconnect();
}

void SignalingServer::handle(const SignalingMessage& message) {
    if (mAuthenticator && mAuthenticator->handle(message)) {
        return;
    }
    if (!isAuthorized()) {
        Log::shared().info("🔒 Dropped " + message.type + " from unauthenticated LAN client");
        return;
    }
    dispatch(message);
}

void SignalingServer::dispatch(const SignalingMessage& m) {
    const auto& t = m.type;
    if (startsWith(t, "term_")) {
        ensureTerminalPeer();
        mTerminal->handle(m);
    } else if (t == "answer") {
        if (m.sdp) {
            mTargets.webrtc.applyAnswer(*m.sdp);
        }
    } else if (t == "candidate") {
        if (m.sdp && m.sdpMid && m.sdpMLineIndex) {
            mTargets.webrtc.addRemoteCandidate(*m.sdp, *m.sdpMid, *m.sdpMLineIndex);
        }
    } else if (t == "terminal_input") {
        auto bytes = m.sdp ? base64::decode(*m.sdp) : std::nullopt;
        if (bytes && mTerminal) {
            mTerminal->write(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
        }
    } else if (t == "terminal_resize") {
        auto columns = m.x ? wholeNumber(*m.x) : std::nullopt, rows = m.y ? wholeNumber(*m.y) : std::nullopt;
        if (columns && rows && mTerminal) {
            mTerminal->resize(*columns, *rows);
        }
    } else if (t == "screen_start") {
        mTargets.screen.startSharing([this] { send(SignalingMessage{.type = "screen_limit_reached"}); });
    } else if (t == "screen_stop") {
        mTargets.screen.stopSharing();
    } else if (t == "privacy_on") {
        mTargets.screen.privacyOn();
    } else if (t == "privacy_off") {
        mTargets.screen.privacyOff();
    } else if (t == "key_event") {
        if (m.key) {
            mTargets.input.handleKeyEvent(*m.key);
        }
    } else if (t == "cmd_key") {
        if (m.key) {
            mTargets.input.pressCommandShortcut(*m.key);
        }
    } else if (t == "mouse_event") {
        mTargets.input.handleMouseEvent(m.action.value_or("move"), m.x.value_or(0.5), m.y.value_or(0.5),
                                        m.button, m.deltaY);
    } else {
        Log::shared().info("⚠️ Unknown message type: " + t);
    }
}

void SignalingServer::ensureTerminalPeer() {
    if (mTerminal) {
        return;
    }
    auto self = mLifetime.weak();
    // Output comes from a reading thread: it goes straight to the connection this peer belongs
    // to (the peer is created only once that connection is authorised and stopped when it ends).
    std::weak_ptr<TcpConnection> weakConnection = mConnection;
    auto drained = [self, weakConnection] {
        auto* server = self.lock();
        auto connection = weakConnection.lock();
        if (server && connection && server->mConnection == connection && server->mTerminal) {
            server->mTerminal->outputDrained();
        }
    };
    mTerminal = mTargets.terminal.createPeer(
        deviceLabel(),
        [self](const SignalingMessage& m) {
            if (auto* server = self.lock()) {
                server->send(m);
            }
        },
        [weakConnection, drained](std::string_view bytes) {
            auto connection = weakConnection.lock();
            if (!connection) {
                return true; // gone: the output is dropped, as for any closed connection
            }
            auto frame =
                frameMessage(SignalingMessage{.type = "terminal_output", .sdp = base64::encode(bytes)});
            if (frame && connection->send(std::move(*frame)) > terminalHighWater) {
                connection->whenQueueBelow(terminalLowWater, drained);
                return false;
            }
            return true;
        });
}

void SignalingServer::resetConnectionState() {
    if (auto terminal = std::move(mTerminal)) {
        terminal->stop();
    }
}

void SignalingServer::disconnect() {
    resetConnectionState();
    if (auto authenticator = std::move(mAuthenticator)) {
        authenticator->invalidate();
    }
    if (auto connection = std::move(mConnection)) {
        connection->close();
    }
    mReader = FrameReader();
    // A client that leaves never leaves the displays blacked out.
    mTargets.screen.privacyOff();
    Log::shared().info("🔌 Signaling connection closed");
}

void SignalingServer::send(const SignalingMessage& message) {
    if (!mConnection) {
        return;
    }
    if (auto frame = frameMessage(message)) {
        mConnection->send(std::move(*frame));
    }
}

std::optional<std::string> SignalingServer::peerHost() const {
    return mConnection ? mConnection->peerHost() : std::nullopt;
}

std::string SignalingServer::deviceLabel() const {
    if (mAuthenticator && mAuthenticator->deviceId()) {
        if (auto device = mAuth.devices.device(*mAuthenticator->deviceId())) {
            return device->name;
        }
    }
    return unknownDeviceLabel;
}

void SignalingServer::onDeviceRevoked(const std::string& deviceId) {
    if (!mAuthenticator || mAuthenticator->deviceId() != deviceId) {
        return;
    }
    if (auto message = resultMessage(AuthResult{AuthResult::State::Revoked})) {
        send(*message);
    }
    disconnect();
}

} // namespace pelorn
