#pragma once

#include "core/host_loop.hpp"
#include "core/lifetime.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace asio {
class io_context;
}

namespace pelorn {

class TcpConnection;
class TcpListener;

// Carries the encoded screen to the LAN client on a TCP port of its own: one client at a time,
// only while a signaling client is authorised and only from its address as it is now, host to
// client only. Each message is a
// 14-byte header (payload length, type, flags, timestamp; big-endian) and its payload: type 0
// the parameter sets, 1 a video frame, 2 the heartbeat sent every second. A client that falls
// more than `maxQueuedBytes` behind loses video until the next keyframe it can take, which is
// asked for once the backlog has drained below `resumeBelowBytes`, so its stream stays
// decodable and the host's memory bounded. State lives on the host loop; sends come from any thread.
class MediaServer {
public:
    enum class Type : std::uint8_t { ParameterSets = 0, VideoFrame = 1, Heartbeat = 2 };
    static constexpr std::size_t headerSize = 14;
    static constexpr std::size_t maxQueuedBytes = 2 * 1024 * 1024;
    static constexpr std::size_t resumeBelowBytes = 512 * 1024;
    static constexpr auto heartbeatInterval = std::chrono::seconds(1);

    MediaServer(HostLoop& loop, asio::io_context& io);
    ~MediaServer();

    // Set before start().
    void setOnClientConnected(std::function<void()> callback) { mOnClientConnected = std::move(callback); }
    // The stream needs a keyframe to recover from frames it dropped. Host loop.
    void setOnKeyframeNeeded(std::function<void()> callback) { mOnKeyframeNeeded = std::move(callback); }
    // The authorised signaling client's address, asked at each connection; absent (no authorised
    // client) refuses every one.
    void setAllowedHost(std::function<std::optional<std::string>()> host) { mAllowedHost = std::move(host); }
    // Host loop: the authorised client changed or left; a media client from elsewhere is closed.
    void recheckClient();

    // Host loop: listens on a port the system chooses and reports it.
    void start(std::function<void(std::uint16_t port)> onReady);
    // Any thread. Dropped when no client is connected.
    void sendParameterSets(const std::vector<std::string>& sets);
    void sendFrame(const std::string& bytes, bool isKeyframe, std::int64_t ptsNanos);
    // Host loop.
    void stop();
    // Any thread: bytes handed to the current client's connection and not yet written.
    std::size_t queuedBytes();

    static std::string header(Type type, std::uint8_t flags, std::uint64_t timestamp, std::size_t length);
    // A whole type-0 message: each set with its 4-byte length.
    static std::string parameterSetMessage(const std::vector<std::string>& sets);

    MediaServer(const MediaServer&) = delete;
    MediaServer& operator=(const MediaServer&) = delete;

private:
    void accept(std::shared_ptr<TcpConnection> connection);
    void sendHeartbeat();
    // Under mMutex.
    void fallBehindLocked();

    HostLoop& mLoop;
    asio::io_context& mIo;
    std::function<void()> mOnClientConnected;
    std::function<void()> mOnKeyframeNeeded;
    std::function<std::optional<std::string>()> mAllowedHost;
    std::unique_ptr<TcpListener> mListener;
    Timer mHeartbeat;
    Lifetime<MediaServer> mLifetime{this};

    std::mutex mMutex; // guards the fields below
    std::shared_ptr<TcpConnection> mConnection;
    bool mBehind = false;
    std::vector<std::string> mHeldSets; // the sets for the keyframe that ends a drop
};

} // namespace pelorn
