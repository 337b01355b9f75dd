#include "screen/screen_stream_manager.hpp"

#include "activity/event_log.hpp"
#include "core/log.hpp"
#include "screen/media_server.hpp"
#include "screen/screen_capture_manager.hpp"
#include "screen/video_encoder_h265.hpp"
#include "signaling/lan_protocol.hpp"
#include "signaling/signaling_message.hpp"

#include <cmath>
#include <cstdio>
#include <utility>

namespace pelorn {

namespace {
constexpr const char* overYourNetwork = "over your network";
}

ScreenStreamManager::ScreenStreamManager(Dependencies deps) : mDeps(std::move(deps)) {
}

ScreenStreamManager::~ScreenStreamManager() {
    if (mRunning) {
        tearDown();
    }
}

void ScreenStreamManager::start() {
    if (mRunning) {
        if (!mDeps.capture.isActive()) {
            mDeps.capture.start();
            Log::shared().info("🔁 PELORN: restarted interrupted screen capture");
        }
        if (mCurrentPort != 0) {
            announcePort();
            Log::shared().info("🔁 PELORN: stream already running - re-announced media port " +
                               std::to_string(mCurrentPort));
        }
        mForceKeyframeNext = true;
        return;
    }
    mRunning = true;
    mDeps.log.record(LoggedEvent::Kind::ScreenStarted, std::nullopt, std::string(overYourNetwork));

    std::shared_ptr<VideoEncoderH265> encoder = mDeps.makeEncoder();
    auto server = std::make_shared<MediaServer>(mDeps.loop, mDeps.io);
    server->setAllowedHost(mDeps.peerHost);
    std::weak_ptr<MediaServer> weakServer = server;
    encoder->setOnParameterSets([weakServer](const std::vector<std::string>& sets) {
        if (auto s = weakServer.lock()) {
            s->sendParameterSets(sets);
        }
    });
    encoder->setOnEncodedFrame([weakServer](std::string bytes, bool isKeyframe, std::int64_t pts) {
        if (auto s = weakServer.lock()) {
            s->sendFrame(bytes, isKeyframe, pts);
        }
    });
    server->setOnClientConnected([this] { mForceKeyframeNext = true; });
    server->setOnKeyframeNeeded([this] { mForceKeyframeNext = true; });
    {
        std::lock_guard lock(mEncoderMutex);
        mEncoder = encoder;
    }
    mMediaServer = server;
    // Capture grabs only when the encoder can start on the frame at once, so no frame grows stale
    // waiting behind a slow one.
    encoder->setOnIdle([&capture = mDeps.capture] { capture.wake(); });
    mDeps.capture.setReadiness([this] {
        std::lock_guard lock(mEncoderMutex);
        return !mEncoder || mEncoder->isIdle();
    });
    mDeps.capture.setOnFrame(
        [this](const FrameRef& frame, std::int64_t pts, bool changed) { gate(frame, pts, changed); });
    server->start([this](std::uint16_t port) {
        mCurrentPort = port;
        announcePort();
    });
    mForceKeyframeNext = true;
    mDeps.capture.start();
    Log::shared().info("🟢 PELORN: VideoToolbox HEVC stream started");
}

void ScreenStreamManager::peerChanged() {
    if (mMediaServer) {
        mMediaServer->recheckClient();
    }
}

void ScreenStreamManager::announcePort() {
    mDeps.send(msg::mediaPortMessage(mCurrentPort));
}

void ScreenStreamManager::gate(const FrameRef& frame, std::int64_t ptsNanos, bool changed) {
    std::shared_ptr<VideoEncoderH265> encoder;
    {
        std::lock_guard lock(mEncoderMutex);
        encoder = mEncoder;
    }
    if (!encoder) {
        return;
    }
    // An unchanged screen produces nothing at all, unless a keyframe is owed.
    if (!changed && !mForceKeyframeNext) {
        return;
    }
    bool keyframe = mForceKeyframeNext.exchange(false);
    encoder->encode(frame, ptsNanos, keyframe);
}

void ScreenStreamManager::stop() {
    // Going offline stops sharing whether or not anything was shared; only a real stop is news.
    if (!mRunning) {
        return;
    }
    mDeps.log.record(LoggedEvent::Kind::ScreenStopped, std::nullopt, std::string(overYourNetwork));
    mRunning = false;
    mCurrentPort = 0;
    mDeps.loop.post([turnOff = mDeps.turnOffPrivacy] {
        if (turnOff) {
            turnOff();
        }
    });
    tearDown();
    Log::shared().info("⏹ PELORN: VideoToolbox HEVC stream stopped");
}

void ScreenStreamManager::tearDown() {
    mDeps.capture.setOnFrame(nullptr);
    mDeps.capture.setReadiness(nullptr);
    mDeps.capture.stop();
    std::shared_ptr<VideoEncoderH265> encoder;
    {
        std::lock_guard lock(mEncoderMutex);
        encoder = std::exchange(mEncoder, nullptr);
    }
    // Frames still in the encoder reach the server before it closes.
    if (encoder) {
        encoder->invalidate();
    }
    if (auto server = std::move(mMediaServer)) {
        server->stop();
    }
}

} // namespace pelorn
