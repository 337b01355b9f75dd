#include "screen/screen_capture_manager.hpp"

#include "core/log.hpp"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace pelorn {

struct ScreenCaptureManager::Stream {
    std::thread thread;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> stoppedByOwner{false};
};

namespace {

std::int64_t monotonicNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<long> readNumber(const std::filesystem::path& file) {
    std::ifstream in(file);
    long value = 0;
    if (in >> value) {
        return value;
    }
    return std::nullopt;
}

} // namespace

std::string thermalStateText() {
    // The hottest thermal zone against its own trip points: past "critical" is critical, past
    // "hot" or "passive" (where the kernel starts throttling) serious, within 10 °C of those fair.
    std::error_code ec;
    enum { Unknown, Nominal, Fair, Serious, Critical } state = Unknown;
    for (const auto& zone : std::filesystem::directory_iterator("/sys/class/thermal", ec)) {
        if (!zone.path().filename().string().starts_with("thermal_zone")) {
            continue;
        }
        auto temp = readNumber(zone.path() / "temp");
        if (!temp) {
            continue;
        }
        auto zoneState = Nominal;
        for (int i = 0; i < 16; ++i) {
            std::ifstream typeFile(zone.path() / ("trip_point_" + std::to_string(i) + "_type"));
            std::string type;
            auto trip = readNumber(zone.path() / ("trip_point_" + std::to_string(i) + "_temp"));
            if (!(typeFile >> type) || !trip || *trip <= 0) {
                continue;
            }
            if (type == "critical" && *temp >= *trip) {
                zoneState = Critical;
            } else if ((type == "hot" || type == "passive") && *temp >= *trip) {
                zoneState = std::max(zoneState, Serious);
            } else if ((type == "hot" || type == "passive") && *temp >= *trip - 10000) {
                zoneState = std::max(zoneState, Fair);
            }
        }
        state = std::max(state, zoneState);
    }
    switch (state) {
    case Nominal:
        return "nominal";
    case Fair:
        return "fair";
    case Serious:
        return "serious (throttling likely)";
    case Critical:
        return "critical (throttling)";
    case Unknown:
        break;
    }
    return "unknown";
}

ScreenCaptureManager::ScreenCaptureManager(Dependencies deps) : mDeps(std::move(deps)) {
}

ScreenCaptureManager::~ScreenCaptureManager() {
    for (const auto& stream : mThreads) {
        stream->stopRequested = true;
    }
    for (const auto& stream : mThreads) {
        if (stream->thread.joinable()) {
            stream->thread.join();
        }
    }
}

void ScreenCaptureManager::start() {
    if (!mDeps.loop.isLoopThread()) {
        mDeps.loop.post([this] { startOnLoop(); });
        return;
    }
    startOnLoop();
}

void ScreenCaptureManager::stop() {
    if (!mDeps.loop.isLoopThread()) {
        mDeps.loop.post([this] { stopOnLoop(); });
        return;
    }
    stopOnLoop();
}

void ScreenCaptureManager::setOnFrame(OnFrame onFrame) {
    std::lock_guard delivering(mOutput->delivery);
    std::lock_guard lock(mOutput->mutex);
    mOutput->onFrame = onFrame ? std::make_shared<const OnFrame>(std::move(onFrame)) : nullptr;
}

void ScreenCaptureManager::setReadiness(Readiness ready) {
    std::lock_guard delivering(mOutput->delivery);
    std::lock_guard lock(mOutput->mutex);
    mOutput->ready = ready ? std::make_shared<const Readiness>(std::move(ready)) : nullptr;
}

ScreenCaptureManager::Output::Output() : wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
}

ScreenCaptureManager::Output::~Output() {
    if (wakeFd >= 0) {
        ::close(wakeFd);
    }
}

void ScreenCaptureManager::wake() {
    {
        std::lock_guard lock(mOutput->mutex);
        mOutput->woken = true;
    }
    mOutput->wake.notify_all();
    std::uint64_t one = 1;
    (void)!::write(mOutput->wakeFd, &one, sizeof one);
}

bool ScreenCaptureManager::waitForTick(const Stream& stream, std::chrono::steady_clock::time_point deadline,
                                       ScreenSource& source) {
    int notifier = source.changeNotifier();
    if (notifier < 0 || mOutput->wakeFd < 0) {
        std::unique_lock lock(mOutput->mutex);
        mOutput->wake.wait_until(lock, deadline, [&] { return mOutput->woken || stream.stopRequested; });
        return std::exchange(mOutput->woken, false);
    }
    bool changed = source.noticeWaiting();
    if (!changed) {
        auto left = std::max(deadline - std::chrono::steady_clock::now(),
                             std::chrono::steady_clock::duration::zero());
        auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec timeout{static_cast<time_t>(nanos / 1'000'000'000),
                         static_cast<long>(nanos % 1'000'000'000)};
        pollfd fds[2] = {{notifier, POLLIN, 0}, {mOutput->wakeFd, POLLIN, 0}};
        if (::ppoll(fds, 2, &timeout, nullptr) > 0) {
            changed = (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
        }
    }
    std::uint64_t count = 0;
    (void)!::read(mOutput->wakeFd, &count, sizeof count);
    std::lock_guard lock(mOutput->mutex);
    return std::exchange(mOutput->woken, false) || changed;
}

void ScreenCaptureManager::startOnLoop() {
    if (mIsActive) {
        Log::shared().info("🎬 PELORN CAPTURE: start ignored - capture already active");
        return;
    }
    mIsActive = true;
    mDeps.startTextFocusWatcher();
    // Any X client may read the screen; there is no permission to ask for.
    Log::shared().info("✅ PELORN: Screen Recording permission granted.");
    auto stream = std::make_shared<Stream>();
    mStarting = stream;
    mThreads.insert(stream);
    stream->thread = std::thread([this, stream] { run(stream); });
}

void ScreenCaptureManager::stopOnLoop() {
    mIsActive = false;
    mStarting.reset();
    mDeps.stopTextFocusWatcher();
    if (auto stream = std::exchange(mStream, nullptr)) {
        stream->stoppedByOwner = true;
        stream->stopRequested = true;
    }
}

void ScreenCaptureManager::run(const std::shared_ptr<Stream>& stream) {
    auto self = mLifetime.weak();
    auto onLoop = [this, self](auto task) {
        mDeps.loop.post([self, task = std::move(task)] {
            if (self.lock()) {
                task();
            }
        });
    };
    auto source = mDeps.makeSource();
    auto opened = source->open();
    if (auto* failure = std::get_if<CaptureFailure>(&opened)) {
        onLoop([this, stream, failure = *failure] {
            failed(stream, failure);
            finish(stream);
        });
        return;
    }
    auto native = std::get<DisplayGeometry>(opened);
    auto size = deliveredSize(native.width, native.height, longEdgeCap);
    onLoop([this, stream, native, size] { adopt(stream, native, size); });

    auto pool = FramePool::create();
    FrameRef last;
    bool loggedFirstFrame = false;
    auto next = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastGrab{};
    while (!stream->stopRequested) {
        auto changed = source->poll();
        if (auto* error = std::get_if<std::string>(&changed)) {
            Log::shared().info("❌ PELORN CAPTURE: stream stopped itself: " + *error);
            onLoop([this, stream] {
                stoppedItself(stream);
                finish(stream);
            });
            return;
        }
        auto geometry = source->geometry();
        size = deliveredSize(geometry.width, geometry.height, longEdgeCap);
        bool isChanged =
            std::get<bool>(changed) || !last || last->width != size.width || last->height != size.height;
        // Held through every call into the consumer: replacing or clearing its callbacks waits for
        // a delivery in progress, so none reaches a consumer that has let go.
        std::unique_lock delivering(mOutput->delivery);
        std::shared_ptr<const OnFrame> onFrame;
        std::shared_ptr<const Readiness> ready;
        {
            std::lock_guard lock(mOutput->mutex);
            onFrame = mOutput->onFrame;
            ready = mOutput->ready;
        }
        // While the consumer is busy the change waits in the X server (the damage stays
        // pending) and is grabbed the moment it asks again, so what it gets is fresh.
        bool consumerBusy = ready && !(*ready)();
        if (!consumerBusy) {
            std::int64_t pts = monotonicNanos();
            if (isChanged) {
                auto frame = pool->take(size.width, size.height);
                lastGrab = std::chrono::steady_clock::now();
                {
                    StageTimes::Scope timed(mDeps.stageTimes, StageTimes::Stage::Grab);
                    source->render(*frame);
                }
                last = std::move(frame);
            }
            if (!loggedFirstFrame) {
                loggedFirstFrame = true;
                Log::shared().info("🖼️ PELORN first captured frame delivered (" +
                                   std::to_string(last->width) + "x" + std::to_string(last->height) +
                                   ") - capture pipeline is live.");
            }
            if (onFrame) {
                (*onFrame)(last, pts, isChanged);
            }
        }
        delivering.unlock();
        // Paced on the clock, not on the work: a slow frame is followed by a shorter wait. A
        // consumer that becomes ready, or a change on a still screen, cuts the wait short, though
        // grabs stay at least a frame interval apart.
        next += frameInterval;
        auto now = std::chrono::steady_clock::now();
        if (next < now) {
            next = now;
        }
        if (waitForTick(*stream, next, *source)) {
            std::this_thread::sleep_until(lastGrab + frameInterval);
            next = std::chrono::steady_clock::now();
        }
    }
    onLoop([this, stream] {
        if (stream->stoppedByOwner) {
            Log::shared().info("⏹ Capture stopped");
        }
        finish(stream);
    });
}

void ScreenCaptureManager::adopt(const std::shared_ptr<Stream>& stream, DisplayGeometry native,
                                 FrameSize size) {
    if (mStarting == stream) {
        mStarting.reset();
    }
    if (mIsActive && !mStream) {
        mStream = stream;
    } else {
        Log::shared().info("⏹ PELORN CAPTURE: stopped during startup - shutting fresh stream down");
        stream->stopRequested = true;
        return;
    }
    char scale[32];
    std::snprintf(scale, sizeof scale, "%.1f", native.scale);
    Log::shared().info("🎬 PELORN CAPTURE: " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                       " (native " + std::to_string(native.width) + "x" + std::to_string(native.height) +
                       ", scale " + scale + ") @60fps fmt=BGRA (full-chroma source)");
    Log::shared().info("🌡️ PELORN THERMAL: " + thermalStateText());
}

void ScreenCaptureManager::failed(const std::shared_ptr<Stream>& stream, const CaptureFailure& failure) {
    Log::shared().info(failure.noDisplay ? "❌ No display" : "❌ Capture failed: " + failure.error);
    // A failure of a start that was stopped (and maybe started again) since is not this one's.
    if (mStarting == stream) {
        mStarting.reset();
        mIsActive = false;
        // Idle again, so nothing follows the text focus for a screen nobody sees.
        mDeps.stopTextFocusWatcher();
    }
}

void ScreenCaptureManager::stoppedItself(const std::shared_ptr<Stream>& stream) {
    if (mStream == stream) {
        mStream.reset();
        mIsActive = false;
        mDeps.stopTextFocusWatcher();
    }
}

void ScreenCaptureManager::finish(const std::shared_ptr<Stream>& stream) {
    if (stream->thread.joinable()) {
        stream->thread.join();
    }
    mThreads.erase(stream);
}

} // namespace pelorn
