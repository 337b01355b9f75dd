#pragma once

#include <asio/ip/tcp.hpp>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pelorn {

class HostLoop;

// One TCP connection whose socket work runs on the I/O thread and whose callbacks run on the host
// loop. Sends are fire and forget; a peer that stops reading is closed once its unsent bytes pass
// `maxQueued`, so it cannot make the host hold unbounded memory. The other way round, reading
// stops while `readBudget` bytes handed to the loop wait there, so a peer that sends faster than
// the loop consumes cannot fill the loop's queue either.
class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
public:
    static constexpr std::size_t readChunk = 65536;
    static constexpr std::size_t readBudget = 256 * 1024;
    static constexpr std::size_t defaultMaxQueued = 8 * 1024 * 1024;

    struct Callbacks {
        std::function<void(std::string_view bytes)> onData;
        // Once, when the connection ends: empty error for an orderly close by the peer.
        std::function<void(std::optional<std::string> error)> onClosed;
    };

    static std::shared_ptr<TcpConnection> adopt(asio::ip::tcp::socket socket, HostLoop& loop,
                                                std::size_t maxQueued = defaultMaxQueued);

    // Host loop: installs the callbacks and starts reading.
    void start(Callbacks callbacks);
    // Any thread. Returns the bytes waiting to be written, these included.
    std::size_t send(std::string bytes);
    // Any thread: bytes handed to send() and not yet written.
    std::size_t queuedBytes() const { return mQueuedBytes.load(); }
    // Any thread: bytes read and not yet handed to onData.
    std::size_t unconsumedBytes() const { return mUnconsumed.load(); }
    // Any thread. Calls `callback` on the host loop once the unsent bytes are at most `bytes`
    // (at once when they already are). One waiter at a time: a later call replaces an earlier
    // one. Never called after the connection closed. This is how a producer that paused for a
    // slow reader learns when to go on.
    void whenQueueBelow(std::size_t bytes, std::function<void()> callback);
    // Any thread; no callback follows a close the owner asked for.
    void close();

    // The peer's address without an IPv6 zone suffix; absent when unknown.
    std::optional<std::string> peerHost() const { return mPeerHost; }

    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

private:
    TcpConnection(asio::ip::tcp::socket socket, HostLoop& loop, std::size_t maxQueued);
    void readMore();
    void consumed(std::size_t bytes); // host loop
    void writeMore();
    void fail(std::optional<std::string> error); // I/O thread
    void closeOnIoThread();
    void checkDrained(); // I/O thread

    asio::ip::tcp::socket mSocket;
    HostLoop& mLoop;
    const std::size_t mMaxQueued;
    std::optional<std::string> mPeerHost;
    // I/O thread only:
    std::string mReadBuffer;
    std::deque<std::string> mOutgoing;
    std::optional<std::size_t> mDrainBelow;
    std::function<void()> mOnDrained;
    bool mWriting = false;
    bool mReadPaused = false;
    bool mClosed = false;
    std::atomic<std::size_t> mQueuedBytes{0};
    std::atomic<std::size_t> mUnconsumed{0};
    // Host loop only:
    Callbacks mCallbacks;
    bool mOwnerClosed = false;
};

// "fe80::1%eth0" → "fe80::1": everything from the first "%" on is cut.
std::string withoutZone(std::string host);

} // namespace pelorn
