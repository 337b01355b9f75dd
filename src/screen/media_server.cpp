#include "screen/media_server.hpp"

#include "core/log.hpp"
#include "net/tcp_connection.hpp"
#include "net/tcp_listener.hpp"
#include "screen/hevc_nal.hpp"

#include <utility>

namespace pelorn {

MediaServer::MediaServer(HostLoop& loop, asio::io_context& io) : mLoop(loop), mIo(io) {
}

MediaServer::~MediaServer() {
    stop();
}

std::string MediaServer::header(Type type, std::uint8_t flags, std::uint64_t timestamp, std::size_t length) {
    std::string out;
    out.reserve(headerSize);
    appendLength(out, length);
    out.push_back(static_cast<char>(type));
    out.push_back(static_cast<char>(flags));
    for (int shift = 56; shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((timestamp >> shift) & 0xff));
    }
    return out;
}

void MediaServer::start(std::function<void(std::uint16_t port)> onReady) {
    auto opened = TcpListener::open(mIo, mLoop, 0);
    if (auto* error = std::get_if<std::string>(&opened)) {
        Log::shared().info("❌ PELORN MEDIA: listener failed: " + *error);
        return;
    }
    mListener = std::move(std::get<std::unique_ptr<TcpListener>>(opened));
    auto self = mLifetime.weak();
    mListener->start(
        [this, self](std::shared_ptr<TcpConnection> connection) {
            if (self.lock()) {
                accept(std::move(connection));
            }
        },
        [](const std::string& error) { Log::shared().info("❌ PELORN MEDIA: listener failed: " + error); });
    mHeartbeat.startRepeating(mLoop, heartbeatInterval, [this] { sendHeartbeat(); });
    auto port = mListener->port();
    Log::shared().info("📡 PELORN MEDIA: listening on port " + std::to_string(port));
    if (onReady) {
        onReady(port);
    }
}

void MediaServer::accept(std::shared_ptr<TcpConnection> connection) {
    auto host = connection->peerHost();
    auto allowed = mAllowedHost ? mAllowedHost() : std::nullopt;
    if (!allowed || !host || *host != *allowed) {
        Log::shared().info("🔒 PELORN MEDIA: refused " + host.value_or("a peer") +
                           " - not the authenticated peer");
        connection->close();
        return;
    }
    std::shared_ptr<TcpConnection> previous;
    {
        std::lock_guard lock(mMutex);
        previous = std::exchange(mConnection, connection);
        mBehind = false;
        mHeldSets.clear();
    }
    if (previous) {
        previous->close();
    }
    std::weak_ptr<TcpConnection> weak = connection;
    auto self = mLifetime.weak();
    connection->start({.onData = [](std::string_view) {}, // the client has nothing to say here
                       .onClosed =
                           [this, self, weak](std::optional<std::string>) {
                               if (!self.lock()) {
                                   return;
                               }
                               std::lock_guard lock(mMutex);
                               if (mConnection == weak.lock()) {
                                   mConnection.reset();
                               }
                           }});
    Log::shared().info("📺 PELORN MEDIA: client connected");
    if (mOnClientConnected) {
        mOnClientConnected();
    }
}

std::string MediaServer::parameterSetMessage(const std::vector<std::string>& sets) {
    std::string payload;
    for (const auto& set : sets) {
        appendLength(payload, set.size());
        payload += set;
    }
    return header(Type::ParameterSets, 0, 0, payload.size()) + payload;
}

void MediaServer::sendParameterSets(const std::vector<std::string>& sets) {
    std::string message = parameterSetMessage(sets);
    std::lock_guard lock(mMutex);
    if (!mConnection) {
        return;
    }
    if (mBehind) {
        mHeldSets = sets;
        return;
    }
    mConnection->send(std::move(message));
}

void MediaServer::sendFrame(const std::string& bytes, bool isKeyframe, std::int64_t ptsNanos) {
    std::string message =
        header(Type::VideoFrame, isKeyframe ? 1 : 0, static_cast<std::uint64_t>(ptsNanos), bytes.size());
    message += bytes;
    std::lock_guard lock(mMutex);
    if (!mConnection) {
        return;
    }
    std::size_t queued = mConnection->queuedBytes();
    if (mBehind) {
        // Only a keyframe can end the drop, and only once the backlog is small again.
        if (!isKeyframe || queued > resumeBelowBytes) {
            return;
        }
        mBehind = false;
        if (!mHeldSets.empty()) {
            mConnection->send(parameterSetMessage(mHeldSets));
            mHeldSets.clear();
        }
    } else if (queued > 0 && queued + message.size() > maxQueuedBytes) {
        fallBehindLocked();
        return;
    }
    mConnection->send(std::move(message));
}

void MediaServer::fallBehindLocked() {
    mBehind = true;
    mHeldSets.clear();
    Log::shared().info(
        "⚠️ PELORN MEDIA: client is not keeping up - dropping video until the next keyframe");
    auto self = mLifetime.weak();
    std::weak_ptr<TcpConnection> weak = mConnection;
    mConnection->whenQueueBelow(resumeBelowBytes, [this, self, weak] {
        if (!self.lock()) {
            return;
        }
        {
            std::lock_guard lock(mMutex);
            if (!mBehind || mConnection != weak.lock()) {
                return;
            }
        }
        if (mOnKeyframeNeeded) {
            mOnKeyframeNeeded();
        }
    });
}

void MediaServer::sendHeartbeat() {
    std::lock_guard lock(mMutex);
    if (mConnection) {
        mConnection->send(header(Type::Heartbeat, 0, 0, 0));
    }
}

std::size_t MediaServer::queuedBytes() {
    std::lock_guard lock(mMutex);
    return mConnection ? mConnection->queuedBytes() : 0;
}

void MediaServer::recheckClient() {
    auto allowed = mAllowedHost ? mAllowedHost() : std::nullopt;
    std::shared_ptr<TcpConnection> closing;
    {
        std::lock_guard lock(mMutex);
        if (mConnection && (!allowed || mConnection->peerHost() != allowed)) {
            closing = std::exchange(mConnection, nullptr);
        }
    }
    if (closing) {
        Log::shared().info("🔒 PELORN MEDIA: closed " + closing->peerHost().value_or("a peer") +
                           " - no longer the authenticated peer");
        closing->close();
    }
}

void MediaServer::stop() {
    mHeartbeat.cancel();
    std::shared_ptr<TcpConnection> connection;
    {
        std::lock_guard lock(mMutex);
        connection = std::exchange(mConnection, nullptr);
    }
    if (connection) {
        connection->close();
    }
    mListener.reset();
}

} // namespace pelorn
