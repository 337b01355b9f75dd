#pragma once

#include "core/host_loop.hpp"
#include "screen/video_frame.hpp"

#include <atomic>
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

class EventLog;
class MediaServer;
class ScreenCaptureManager;
class VideoEncoderH265;
struct SignalingMessage;

// The LAN screen stream: capture → HEVC encoder → media server, the "media_port" announcement,
// the gate that keeps unchanged frames from being encoded, and keyframes whenever a client joins
// or falls behind. Host loop, except the frame gate, which runs on the capture thread.
class ScreenStreamManager {
public:
    struct Dependencies {
        HostLoop& loop;
        asio::io_context& io;
        EventLog& log;
        ScreenCaptureManager& capture;
        std::function<std::unique_ptr<VideoEncoderH265>()> makeEncoder;
        // The LAN client's signaling connection.
        std::function<void(const SignalingMessage&)> send;
        // The authorised LAN client's address now; absent when there is none.
        std::function<std::optional<std::string>()> peerHost;
        std::function<void()> turnOffPrivacy;
    };

    explicit ScreenStreamManager(Dependencies deps);
    ~ScreenStreamManager();
    static ScreenStreamManager& shared();

    void start();
    void stop();
    // The authorised LAN client changed or left: the media client follows it.
    void peerChanged();

    bool isRunning() const { return mRunning; }
    std::uint16_t currentPort() const { return mCurrentPort; }

    ScreenStreamManager(const ScreenStreamManager&) = delete;
    ScreenStreamManager& operator=(const ScreenStreamManager&) = delete;

private:
    void gate(const FrameRef& frame, std::int64_t ptsNanos, bool changed);
    void announcePort();
    // Capture, encoder and media server down, in that order.
    void tearDown();

    Dependencies mDeps;
    bool mRunning = false;
    std::uint16_t mCurrentPort = 0;
    std::shared_ptr<MediaServer> mMediaServer;
    std::atomic<bool> mForceKeyframeNext{false};
    std::mutex mEncoderMutex; // the encoder as the capture thread sees it
    std::shared_ptr<VideoEncoderH265> mEncoder;
};

} // namespace pelorn
