#include "lan/signaling_server.hpp"

#include "access/auth_messages.hpp"
#include "access/session_authenticator.hpp"
#include "access/trusted_device_store.hpp"
#include "core/host_loop.hpp"
#include "core/log.hpp"
#include "core/notification_center.hpp"
#include "core/text.hpp"
#include "net/tcp_connection.hpp"
#include "signaling/control_dispatch.hpp"
#include "signaling/lan_protocol.hpp"

#include <algorithm>
#include <unordered_map>

namespace pelorn {

namespace {

constexpr const char* unknownDeviceLabel = "a device on your network";

} // namespace

// One connection with its handshake.
struct SignalingServer::Client {
    std::shared_ptr<TcpConnection> connection;
    FrameReader reader{maxHandshakeFrameLength};
    std::shared_ptr<SessionAuthenticator> authenticator;
    Timer handshakeDeadline;
    int droppedLines = 0;
};

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
    if (mCurrent) {
        mNewcomers.push_back(std::move(mCurrent));
    }
    for (auto& client : mNewcomers) {
        end(*client);
    }
}

bool SignalingServer::isAuthorized() const {
    return mCurrent && mCurrent->authenticator->isAuthorized();
}

SignalingServer::Client* SignalingServer::find(const TcpConnection* connection) const {
    if (mCurrent && mCurrent->connection.get() == connection) {
        return mCurrent.get();
    }
    for (const auto& client : mNewcomers) {
        if (client->connection.get() == connection) {
            return client.get();
        }
    }
    return nullptr;
}

void SignalingServer::accept(std::shared_ptr<TcpConnection> connection) {
    auto& client = *mNewcomers.emplace_back(std::make_unique<Client>());
    client.connection = std::move(connection);
    const TcpConnection* id = client.connection.get();
    auto self = mLifetime.weak();
    client.connection->start({[self, id](std::string_view bytes) {
                                  if (auto* server = self.lock()) {
                                      server->onData(id, bytes);
                                  }
                              },
                              [self, id](std::optional<std::string> error) {
                                  if (auto* server = self.lock()) {
                                      server->onClosed(id, error);
                                  }
                              }});
    Log::shared().info("✅ Signaling connection accepted");
    // The handshake talks to its own connection, whether or not another client is being served.
    std::weak_ptr<TcpConnection> weakConnection = client.connection;
    client.authenticator = SessionAuthenticator::create(
        Transport::Lan,
        [weakConnection](const SignalingMessage& m) {
            auto to = weakConnection.lock();
            auto frame = to ? frameMessage(m) : std::nullopt;
            if (frame) {
                to->send(std::move(*frame));
            }
        },
        mAuth);
    client.authenticator->onAuthorized([self, id] {
        auto* server = self.lock();
        auto* authorised = server ? server->find(id) : nullptr;
        if (authorised) {
            server->promote(*authorised);
        }
    });
    armHandshakeDeadline(client);
    client.authenticator->sendChallenge();

    if (mNewcomers.size() > maxNewcomers) {
        auto oldest = std::find_if(mNewcomers.begin(), mNewcomers.end(),
                                   [](const auto& c) { return !c->authenticator->isAwaitingApproval(); });
        auto& victim = oldest == mNewcomers.end() ? *mNewcomers.front() : **oldest;
        Log::shared().info("🔒 Closed the oldest of " + std::to_string(mNewcomers.size()) +
                           " unauthenticated LAN connections");
        closeNewcomer(victim);
    }
}

void SignalingServer::armHandshakeDeadline(Client& client) {
    client.handshakeDeadline.startOnce(mLoop, handshakeTimeout, [this, &client] {
        if (client.authenticator->isAwaitingApproval()) {
            armHandshakeDeadline(client); // the owner is being asked: that wait is not the peer's
            return;
        }
        Log::shared().info("🔒 Closed a LAN connection that did not authenticate within " +
                           std::to_string(handshakeTimeout.count()) + " s");
        closeNewcomer(client);
    });
}

void SignalingServer::promote(Client& client) {
    auto authorised = takeNewcomer(client);
    if (!authorised) {
        return;
    }
    authorised->handshakeDeadline.cancel();
    authorised->reader.setLimit(maxFrameLength);
    // The served client, if any, is replaced: dropped without a message, its terminal detached.
    if (auto previous = std::move(mCurrent)) {
        resetConnectionState();
        end(*previous);
    }
    mCurrent = std::move(authorised);
    if (mOnClientChanged) {
        mOnClientChanged();
    }
}

void SignalingServer::onData(const TcpConnection* from, std::string_view bytes) {
    auto* client = find(from);
    if (!client) {
        return;
    }
    std::vector<std::string> frames;
    auto status = client->reader.feed(bytes, [&](std::string_view text) { frames.emplace_back(text); });
    for (const auto& text : frames) {
        if (find(from) != client) {
            return; // a message closed the connection
        }
        if (auto message = SignalingMessage::decode(text)) {
            handle(*client, *message);
        }
    }
    if (status == FrameReader::Status::Oversized && find(from) == client) {
        Log::shared().info("❌ Receive error: frame of " + std::to_string(client->reader.refusedLength()) +
                           " bytes exceeds the limit of " + std::to_string(client->reader.limit()));
        close(*client);
    }
}

void SignalingServer::onClosed(const TcpConnection* from, const std::optional<std::string>& error) {
    auto* client = find(from);
    if (!client) {
        return;
    }
    if (error) {
        Log::shared().info("❌ Receive error: " + *error);
    }
    close(*client);
}

void SignalingServer::handle(Client& client, const SignalingMessage& message) {
    if (client.authenticator->handle(message)) {
        return;
    }
    if (&client != mCurrent.get() || !client.authenticator->isAuthorized()) {
        if (client.droppedLines < maxDroppedLines) {
            ++client.droppedLines;
            Log::shared().info("🔒 Dropped " + shownText(message.type) + " from unauthenticated LAN client");
        }
        return;
    }
    dispatch(message);
}

void SignalingServer::dispatch(const SignalingMessage& m) {
    ControlHandlers handlers;
    handlers.input = &mTargets.input;
    handlers.screenStart = [this] {
        mTargets.screen.startSharing([this] { send(msg::bare(msg::screenLimitReached)); });
    };
    handlers.screenStop = [this] { mTargets.screen.stopSharing(); };
    handlers.privacyOn = [this] { mTargets.screen.privacyOn(); };
    handlers.privacyOff = [this] { mTargets.screen.privacyOff(); };
    handlers.terminal = [this](const SignalingMessage& message) {
        ensureTerminalPeer();
        mTerminal->handle(message);
    };
    handlers.answer = [this](const SignalingMessage& message) {
        if (auto answer = msg::Answer::from(message)) {
            mTargets.webrtc.applyAnswer(answer->sdp);
        }
    };
    handlers.candidate = [this](const SignalingMessage& message) {
        if (auto candidate = msg::Candidate::from(message)) {
            mTargets.webrtc.addRemoteCandidate(candidate->sdp, candidate->sdpMid, candidate->sdpMLineIndex);
        }
    };
    if (!dispatchControlMessage(m, handlers)) {
        Log::shared().info("⚠️ Unknown message type: " + shownText(m.type));
    }
}

void SignalingServer::ensureTerminalPeer() {
    if (mTerminal || !mCurrent) {
        return;
    }
    auto self = mLifetime.weak();
    // Output comes from a reading thread: it goes straight to the connection this peer belongs
    // to (the peer is created only once that connection is authorised and stopped when it ends).
    std::weak_ptr<TcpConnection> weakConnection = mCurrent->connection;
    auto drained = [self, weakConnection] {
        auto* server = self.lock();
        auto connection = weakConnection.lock();
        if (server && connection && server->mCurrent && server->mCurrent->connection == connection &&
            server->mTerminal) {
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

void SignalingServer::close(Client& client) {
    if (&client == mCurrent.get()) {
        closeCurrent();
        // A client that leaves never leaves the displays blacked out.
        mTargets.screen.privacyOff();
    } else {
        closeNewcomer(client);
    }
    Log::shared().info("🔌 Signaling connection closed");
}

std::unique_ptr<SignalingServer::Client> SignalingServer::takeNewcomer(Client& client) {
    auto it =
        std::find_if(mNewcomers.begin(), mNewcomers.end(), [&](const auto& c) { return c.get() == &client; });
    if (it == mNewcomers.end()) {
        return nullptr;
    }
    auto taken = std::move(*it);
    mNewcomers.erase(it);
    return taken;
}

void SignalingServer::end(Client& client) {
    client.authenticator->invalidate();
    client.connection->close();
}

void SignalingServer::closeNewcomer(Client& client) {
    if (auto closing = takeNewcomer(client)) {
        end(*closing);
    }
}

void SignalingServer::closeCurrent() {
    resetConnectionState();
    if (auto closing = std::move(mCurrent)) {
        end(*closing);
        if (mOnClientChanged) {
            mOnClientChanged();
        }
    }
}

void SignalingServer::disconnect() {
    while (!mNewcomers.empty()) {
        closeNewcomer(*mNewcomers.front());
    }
    closeCurrent();
    mTargets.screen.privacyOff();
    Log::shared().info("🔌 Signaling connection closed");
}

void SignalingServer::send(const SignalingMessage& message) {
    if (!mCurrent) {
        return;
    }
    if (auto frame = frameMessage(message)) {
        mCurrent->connection->send(std::move(*frame));
    }
}

std::optional<std::string> SignalingServer::peerHost() const {
    return mCurrent ? mCurrent->connection->peerHost() : std::nullopt;
}

std::string SignalingServer::deviceLabel() const {
    if (mCurrent && mCurrent->authenticator->deviceId()) {
        if (auto device = mAuth.devices.device(*mCurrent->authenticator->deviceId())) {
            return device->name;
        }
    }
    return unknownDeviceLabel;
}

void SignalingServer::onDeviceRevoked(const std::string& deviceId) {
    if (!mCurrent || mCurrent->authenticator->deviceId() != deviceId) {
        return;
    }
    if (auto message = resultMessage(AuthResult{AuthResult::State::Revoked})) {
        send(*message);
    }
    close(*mCurrent);
}

} // namespace pelorn
