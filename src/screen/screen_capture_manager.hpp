#pragma once

#include "core/host_loop.hpp"
#include "core/lifetime.hpp"
#include "screen/screen_source.hpp"
#include "screen/stage_times.hpp"
#include "screen/video_frame.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

namespace pelorn {

// Turns the display into a stream of BGRA frames at up to 60 per second, each with its
// presentation time (monotonic nanoseconds) and whether anything on screen changed. Frames are
// grabbed and delivered on a capture thread of their own; the consumer must hand them on quickly
// (the encoder keeps only the newest one waiting). Starting and stopping also start and stop
// the text-focus watcher. State lives on the host loop.
class ScreenCaptureManager {
public:
    static constexpr int longEdgeCap = 2880;
    static constexpr auto frameInterval = std::chrono::nanoseconds(1'000'000'000 / 60);

    using OnFrame = std::function<void(const FrameRef& frame, std::int64_t ptsNanos, bool changed)>;
    struct Dependencies {
        HostLoop& loop;
        std::function<std::unique_ptr<ScreenSource>()> makeSource;
        std::function<void()> startTextFocusWatcher;
        std::function<void()> stopTextFocusWatcher;
        StageTimes* stageTimes = nullptr; // where grabs are timed, when given
    };

    explicit ScreenCaptureManager(Dependencies deps);
    // Stops capture and waits for the capture threads.
    ~ScreenCaptureManager();
    static ScreenCaptureManager& shared();

    // Any thread; the work happens on the host loop.
    void start();
    void stop();

    // Host loop. Absent: frames are dropped. Waits for a delivery in progress, so once it returns
    // the previous callback is never called again.
    void setOnFrame(OnFrame onFrame);
    // Whether the consumer can take a frame now; while it cannot, changes wait and nothing is
    // grabbed. wake() (any thread) says it can again, so capture need not wait for its next tick.
    using Readiness = std::function<bool()>;
    // Host loop; like setOnFrame, waits for a delivery in progress.
    void setReadiness(Readiness ready);
    void wake();
    bool isActive() const { return mIsActive; }

    ScreenCaptureManager(const ScreenCaptureManager&) = delete;
    ScreenCaptureManager& operator=(const ScreenCaptureManager&) = delete;

private:
    struct Stream;
    struct Output {
        Output();
        ~Output();
        std::mutex delivery; // held by the capture thread while it calls the consumer
        std::mutex mutex;    // guards the rest
        std::shared_ptr<const OnFrame> onFrame;
        std::shared_ptr<const Readiness> ready;
        std::condition_variable wake;
        bool woken = false;
        int wakeFd = -1; // readable after wake(), for a capture thread waiting on its source too
    };

    void startOnLoop();
    void stopOnLoop();
    void run(const std::shared_ptr<Stream>& stream);
    // Until `deadline`, wake() or stop; with a source that has a change notifier, also until the
    // display may have changed. True when cut short by wake() or a change.
    bool waitForTick(const Stream& stream, std::chrono::steady_clock::time_point deadline,
                     ScreenSource& source);
    void adopt(const std::shared_ptr<Stream>& stream, DisplayGeometry native, FrameSize size);
    void failed(const std::shared_ptr<Stream>& stream, const CaptureFailure& failure);
    void stoppedItself(const std::shared_ptr<Stream>& stream);
    void finish(const std::shared_ptr<Stream>& stream);

    Dependencies mDeps;
    std::shared_ptr<Output> mOutput = std::make_shared<Output>();
    Lifetime<ScreenCaptureManager> mLifetime{this};
    // Host loop only:
    bool mIsActive = false;
    std::shared_ptr<Stream> mStream;
    std::shared_ptr<Stream> mStarting;
    std::set<std::shared_ptr<Stream>> mThreads; // every stream whose thread has not been joined
};

// The process's thermal state in the words of the capture's start line.
std::string thermalStateText();

} // namespace pelorn
