#pragma once

#include "screen/stage_times.hpp"
#include "screen/video_frame.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

namespace pelorn {

// Compresses captured BGRA frames into HEVC with libavcodec: the first encoder of the list that
// opens (hardware first, libx265 last), no frame reordering, 45 Mbit/s, a keyframe (IDR) at least
// every 120 frames or 2 s of submitted frames, and on demand. Main 4:2:2 10 where the encoder can,
// Main elsewhere. Encoding runs on a thread of its own; a frame that arrives while an older one is
// still waiting replaces it, so a slow encoder never builds a queue. Both callbacks run on that
// thread.
class VideoEncoderH265 {
public:
    static constexpr std::int64_t bitrate = 45'000'000;
    static constexpr int fps = 60;
    static constexpr int maxKeyframeInterval = 120;
    static constexpr std::int64_t maxKeyframeIntervalNanos = 2'000'000'000;

    using OnParameterSets = std::function<void(const std::vector<std::string>& sets)>;
    using OnEncodedFrame = std::function<void(std::string bytes, bool isKeyframe, std::int64_t ptsNanos)>;

    struct SessionInfo {
        std::string encoder; // libavcodec's name for it
        bool hardware = false;
        bool main422_10 = false; // else Main (4:2:0, 8 bits)
        int width = 0;
        int height = 0;
    };

    // How libx265 spends its bits; hardware encoders keep their constant rate.
    struct RateControl {
        // 0: an average of `bitrate`. Above 0: this constant quality (x265's CRF), capped at
        // `bitrate` through a one-second buffer.
        double constantQuality;
    };

    // libavcodec's HEVC encoders in the order they are tried.
    static std::vector<std::string> defaultEncoders();

    explicit VideoEncoderH265(std::vector<std::string> encoders = defaultEncoders(),
                              RateControl rateControl = {});
    ~VideoEncoderH265();

    // Set before the first encode().
    void setOnParameterSets(OnParameterSets callback) { mOnParameterSets = std::move(callback); }
    void setOnEncodedFrame(OnEncodedFrame callback) { mOnEncodedFrame = std::move(callback); }

    // Any thread; returns at once.
    void encode(FrameRef frame, std::int64_t ptsNanos, bool forceKeyframe);
    // Any thread: nothing is waiting or being encoded, so a frame given now starts at once.
    bool isIdle() const;
    // Called on the encoder's thread each time it becomes idle. Set before the first encode().
    void setOnIdle(std::function<void()> callback) { mOnIdle = std::move(callback); }
    // Where conversion and encoding are timed. Set before the first encode().
    void setStageTimes(StageTimes* times) { mStageTimes = times; }
    // Encodes the frame still waiting, drains the encoder and closes the session; returns when done.
    void invalidate();

    std::optional<SessionInfo> session() const;
    // Frames replaced while waiting, since this encoder was made.
    std::uint64_t replacedFrames() const;

    VideoEncoderH265(const VideoEncoderH265&) = delete;
    VideoEncoderH265& operator=(const VideoEncoderH265&) = delete;

private:
    struct Pending {
        FrameRef frame;
        std::int64_t pts = 0;
        bool forceKeyframe = false;
    };
    class Session;

    void work();
    void encodeNow(const Pending& pending);
    void deliver(std::string_view packet, bool isKeyframe, std::int64_t pts);
    void closeSession();

    const std::vector<std::string> mEncoders;
    const RateControl mRateControl;
    OnParameterSets mOnParameterSets;
    OnEncodedFrame mOnEncodedFrame;
    std::function<void()> mOnIdle;
    StageTimes* mStageTimes = nullptr;

    mutable std::mutex mMutex; // guards the fields up to mThread
    std::condition_variable mWake;
    std::condition_variable mIdle;
    std::optional<Pending> mPending;
    bool mBusy = false; // encoding a frame
    bool mInvalidate = false;
    bool mQuit = false;
    std::optional<SessionInfo> mInfo;
    std::uint64_t mReplaced = 0;
    std::thread mThread;

    // Encoder thread only:
    std::unique_ptr<Session> mSession;
    std::optional<std::chrono::steady_clock::time_point> mLastCreateFailure;
};

} // namespace pelorn
