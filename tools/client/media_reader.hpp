#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pelorn::client {

// The client's end of the host's media stream: connects, reads its messages on a thread of its
// own and keeps them, in order.
class MediaReader {
public:
    struct Message {
        std::uint8_t type = 0;
        std::uint8_t flags = 0;
        std::uint64_t timestamp = 0;
        std::string payload;
        std::chrono::steady_clock::time_point receivedAt;
        // When the read that brought the message's first byte returned.
        std::chrono::steady_clock::time_point firstByteAt;
    };

    // From `sourceAddress` when given (a second loopback address, say); a `receiveBuffer` above 0
    // sets the socket's receive buffer (a small one makes a paused reader felt sooner). Empty on failure.
    static std::unique_ptr<MediaReader> connect(const std::string& host, std::uint16_t port,
                                                const std::string& sourceAddress = {}, int receiveBuffer = 0);
    ~MediaReader();

    // While paused nothing is read, so the host's sends back up.
    void pause(bool paused);
    // Waits until `done` holds for the messages so far; false when it never did in time.
    bool waitFor(const std::function<bool(const std::vector<Message>&)>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(20));
    std::vector<Message> messages() const;
    // The host closed the connection.
    bool closed() const { return mClosed; }
    // Called on the reading thread for each message as it arrives.
    void setOnMessage(std::function<void(const Message&)> onMessage);

    // The video frames and parameter sets as an Annex-B HEVC stream, from the first parameter
    // sets on (what a decoder can start with).
    static std::string annexB(const std::vector<Message>& messages);

    MediaReader(const MediaReader&) = delete;
    MediaReader& operator=(const MediaReader&) = delete;

private:
    explicit MediaReader(int fd);
    void read();

    int mFd;
    int mWakeFd;
    std::thread mThread;
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<Message> mMessages;
    std::function<void(const Message&)> mOnMessage;
    std::atomic<bool> mPaused{false};
    std::atomic<bool> mClosed{false};
    std::atomic<bool> mQuit{false};
};

} // namespace pelorn::client
