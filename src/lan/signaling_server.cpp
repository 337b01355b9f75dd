#include "lan/signaling_server.hpp"

#include "access/auth_messages.hpp"
#include "access/session_authenticator.hpp"
#include "access/trusted_device_store.hpp"
#include "core/host_loop.hpp"
#include "core/log.hpp"
#include "core/notification_center.hpp"
#include "net/tcp_connection.hpp"
#include "signaling/lan_protocol.hpp"

#include <unordered_map>

namespace pelorn {

namespace {

constexpr const char* unknownDeviceLabel = "a device on your network";

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
    using Handler = void (SignalingServer::*)(const SignalingMessage&);
    static const std::unordered_map<std::string_view, Handler> handlers = {
        {msg::answer, &SignalingServer::onAnswer},
        {msg::candidate, &SignalingServer::onCandidate},
        {msg::screenStart, &SignalingServer::onScreenStart},
        {msg::screenStop, &SignalingServer::onScreenStop},
        {msg::privacyOn, &SignalingServer::onPrivacyOn},
        {msg::privacyOff, &SignalingServer::onPrivacyOff},
        {msg::keyEvent, &SignalingServer::onKeyEvent},
        {msg::cmdKey, &SignalingServer::onCommandKey},
        {msg::mouseEvent, &SignalingServer::onMouseEvent},
        {msg::termList, &SignalingServer::onTerminal},
        {msg::termCreate, &SignalingServer::onTerminal},
        {msg::termKill, &SignalingServer::onTerminal},
        {msg::termAttach, &SignalingServer::onTerminal},
        {msg::termDetach, &SignalingServer::onTerminal},
        {msg::terminalInput, &SignalingServer::onTerminal},
        {msg::terminalResize, &SignalingServer::onTerminal},
    };
    auto handler = handlers.find(m.type);
    if (handler == handlers.end()) {
        Log::shared().info("⚠️ Unknown message type: " + m.type);
        return;
    }
    (this->*handler->second)(m);
}

void SignalingServer::onAnswer(const SignalingMessage& m) {
    if (auto answer = msg::Answer::from(m)) {
        mTargets.webrtc.applyAnswer(answer->sdp);
    }
}

void SignalingServer::onCandidate(const SignalingMessage& m) {
    if (auto candidate = msg::Candidate::from(m)) {
        mTargets.webrtc.addRemoteCandidate(candidate->sdp, candidate->sdpMid, candidate->sdpMLineIndex);
    }
}

void SignalingServer::onScreenStart(const SignalingMessage&) {
    mTargets.screen.startSharing([this] { send(msg::bare(msg::screenLimitReached)); });
}

void SignalingServer::onScreenStop(const SignalingMessage&) {
    mTargets.screen.stopSharing();
}

void SignalingServer::onPrivacyOn(const SignalingMessage&) {
    mTargets.screen.privacyOn();
}

void SignalingServer::onPrivacyOff(const SignalingMessage&) {
    mTargets.screen.privacyOff();
}

void SignalingServer::onKeyEvent(const SignalingMessage& m) {
    if (auto key = msg::Key::from(m)) {
        mTargets.input.handleKeyEvent(key->key);
    }
}

void SignalingServer::onCommandKey(const SignalingMessage& m) {
    if (auto key = msg::Key::from(m)) {
        mTargets.input.pressCommandShortcut(key->key);
    }
}

void SignalingServer::onMouseEvent(const SignalingMessage& m) {
    auto event = msg::MouseEvent::from(m);
    mTargets.input.handleMouseEvent(event.action, event.x, event.y, event.button, event.deltaY);
}

void SignalingServer::onTerminal(const SignalingMessage& m) {
    ensureTerminalPeer();
    mTerminal->handle(m);
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
        [weakConnection, drained](const SignalingMessage& output) {
            auto connection = weakConnection.lock();
            if (!connection) {
                return true; // gone: the output is dropped, as for any closed connection
            }
            auto frame = frameMessage(output);
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
