#include "webrtc/webrtc_manager.hpp"

#include "activity/event_log.hpp"
#include "core/log.hpp"
#include "signaling/connection_telemetry.hpp"
#include "signaling/lan_protocol.hpp"
#include "signaling/signaling_message.hpp"
#include "webrtc/remote_control.hpp"
#include "webrtc/sdp.hpp"

namespace pelorn {

namespace {

void say(const std::string& line) {
    Log::shared().info(line);
}

} // namespace

WebRTCManager::WebRTCManager(Dependencies deps) : mDeps(std::move(deps)), mSignalSender(mDeps.lanSend) {
    if (!mDeps.auth || !mDeps.notifications || !mDeps.input || !mDeps.terminal) {
        return;
    }
    auto self = mLifetime.weak();
    auto later = [self](void (WebRTCManager::*method)()) {
        return [self, method] {
            if (auto* manager = self.lock()) {
                (manager->*method)();
            }
        };
    };
    mRemote = std::make_unique<RemoteControl>(RemoteControl::Dependencies{
        mDeps.loop, *mDeps.auth, *mDeps.notifications, *mDeps.input, *mDeps.terminal, mDeps.privacyOn,
        mDeps.turnOffPrivacy, later(&WebRTCManager::startScreen), later(&WebRTCManager::stopScreen),
        [self] {
            if (auto* manager = self.lock()) {
                manager->mIceRestartAttempts = 0;
                manager->restartIce();
            }
        },
        later(&WebRTCManager::stopStream),
        // Terminal output may still come from a reading thread as the manager goes away: the frame
        // path it reads is shared, not the manager's.
        [frames = mFrames] {
            std::lock_guard lock(frames->mutex);
            return frames->peer;
        }});
}

WebRTCManager::~WebRTCManager() {
    mLifetime.end();
    mRemote.reset();
    if (mCapturing && mDeps.stopCapture) {
        mDeps.stopCapture();
    }
    for (auto id : mVideoLogTimers) {
        mDeps.loop.cancel(id);
    }
    if (mPeer) {
        mPeer->close();
    }
}

void WebRTCManager::setUp() {
    say("✅ WebRTC Manager ready (Mac side)");
    mDeps.telemetry.logSummary();
    const VideoCodec* chosen = nullptr;
    auto codecs = mDeps.engine.supportedVideoCodecs();
    auto levelOf = [](const VideoCodec& codec) -> std::optional<std::string> {
        for (const auto& [name, value] : codec.parameters) {
            if (name == "profile-level-id") {
                return value;
            }
        }
        return std::nullopt;
    };
    for (const auto& codec : codecs) {
        if (codec.name == "H264" && levelOf(codec).value_or("").rfind("42", 0) == 0) {
            chosen = &codec;
            break;
        }
    }
    for (const auto& codec : codecs) {
        if (!chosen && codec.name == "H264") {
            chosen = &codec;
        }
    }
    if (!chosen) {
        say("⚠️ PELORN: no H264 codec found, falling back to default");
        return;
    }
    mDeps.engine.setPreferredVideoCodec(*chosen);
    say("🎥 PELORN preferred codec: H264 (" + levelOf(*chosen).value_or("?") + ")");
}

void WebRTCManager::setSignalSender(std::function<void(const SignalingMessage&)> sender) {
    mSignalSender = sender ? std::move(sender) : mDeps.lanSend;
}

void WebRTCManager::send(const SignalingMessage& message) {
    if (mSignalSender) {
        mSignalSender(message);
    }
}

void WebRTCManager::startStream() {
    PeerConfiguration configuration;
    if (mDeps.iceServers) {
        configuration.iceServers = mDeps.iceServers();
    }
    configuration.loopbackCandidates = mDeps.loopbackCandidates;
    auto self = mLifetime.weak();
    auto session = ++mSession;
    auto guard = [self, session](auto fn) {
        return [self, session, fn](auto&&... args) {
            if (auto* manager = self.lock(); manager && manager->mSession == session) {
                fn(*manager, args...);
            }
        };
    };
    PeerConnection::Events events{
        guard([](WebRTCManager& m, const IceCandidate& c) { m.onLocalCandidate(c); }),
        guard([](WebRTCManager& m, IceConnectionState s) { m.onIceState(s); }),
        guard([](WebRTCManager& m, const std::string& label, DataChannelState state) {
            static constexpr const char* names[] = {"connecting", "open", "closing", "closed"};
            auto index = static_cast<int>(state);
            say(label +
                " channel state: " + (index >= 0 && index < 4 ? names[index] : std::to_string(index)));
            if (m.mRemote) {
                m.mRemote->channelStateChanged(label, state);
            }
        }),
        guard([](WebRTCManager& m, const std::string& label, const std::string& text) {
            if (m.mRemote) {
                m.mRemote->messageReceived(label, text);
            }
        }),
    };
    if (mPeer) {
        mPeer->close();
    }
    mPeer = mDeps.engine.createPeerConnection(configuration, std::move(events));
    {
        std::lock_guard lock(mFrames->mutex);
        mFrames->peer = mPeer;
    }
    if (mPeer->createDataChannel("control")) {
        say("📡 Control data channel created");
    }
    if (mPeer->createDataChannel("terminal")) {
        say("📡 Terminal data channel created");
    }
    applyProfile(VideoQualityProfile::relay, "initial default");
    offer(false);
}

void WebRTCManager::offer(bool iceRestart) {
    auto self = mLifetime.weak();
    auto session = mSession;
    int attempt = mIceRestartAttempts;
    mPeer->createOffer(iceRestart, [self, session, iceRestart,
                                    attempt](const std::variant<std::string, std::string>& result) {
        auto* manager = self.lock();
        if (!manager || manager->mSession != session || !manager->mPeer) {
            return;
        }
        if (auto* error = std::get_if<1>(&result)) {
            say((iceRestart ? "❌ ICE restart offer error: " : "❌ Offer error: ") +
                (error->empty() ? std::string(iceRestart ? "?" : "unknown") : *error));
            return;
        }
        auto sdp = raiseH264Level(std::get<0>(result));
        manager->mPeer->setLocalOffer(
            sdp, [self, session, sdp, iceRestart, attempt](const std::optional<std::string>& error) {
                auto* m = self.lock();
                if (!m || m->mSession != session) {
                    return;
                }
                if (error) {
                    say((iceRestart ? "❌ ICE restart offer error: " : "❌ Offer error: ") + *error);
                    return;
                }
                m->mOfferUnanswered = true;
                m->send(msg::withSdp(msg::offer, sdp));
                say(iceRestart ? "📤 ICE restart offer sent (attempt " + std::to_string(attempt) + ")"
                               : std::string("📤 Sent offer (H264 level raised)"));
            });
    });
}

void WebRTCManager::applyAnswer(const std::string& sdp) {
    if (!mPeer) {
        return;
    }
    auto self = mLifetime.weak();
    auto session = mSession;
    mPeer->setRemoteAnswer(sdp, [self, session](const std::optional<std::string>& error) {
        if (auto* manager = self.lock(); manager && manager->mSession == session) {
            manager->remoteAnswerApplied(error);
        }
    });
}

void WebRTCManager::remoteAnswerApplied(const std::optional<std::string>& error) {
    if (error) {
        say("❌ setRemoteDescription error: " + *error);
        return;
    }
    mOfferUnanswered = false;
    say("✅ Remote answer applied");
    auto remote = mPeer ? mPeer->remoteDescription() : std::string();
    if (remote.find("H264") != std::string::npos) {
        say("🎥 SDP negotiated H264 ✅");
    } else if (remote.find("VP8") != std::string::npos) {
        say("🎞️ SDP fell back to VP8 ❌");
    }
    flushCandidates();
}

void WebRTCManager::addRemoteCandidate(const std::string& line, const std::string& sdpMid,
                                       std::int32_t index) {
    IceCandidate candidate{line, sdpMid.empty() ? std::nullopt : std::optional(sdpMid), index};
    if (mPeer && !mPeer->remoteDescription().empty()) {
        addNow(candidate);
        return;
    }
    mPendingCandidates.push_back(std::move(candidate));
    say("🧊 ICE candidate buffered (" + std::to_string(mPendingCandidates.size()) + " pending)");
}

void WebRTCManager::flushCandidates() {
    if (!mPeer) {
        return;
    }
    auto pending = std::exchange(mPendingCandidates, {});
    if (!pending.empty()) {
        say("🧊 Flushing " + std::to_string(pending.size()) + " buffered ICE candidate(s)");
    }
    for (const auto& candidate : pending) {
        addNow(candidate);
    }
}

void WebRTCManager::addNow(const IceCandidate& candidate) {
    mPeer->addRemoteCandidate(candidate, [](const std::optional<std::string>& error) {
        if (error) {
            say("❌ ICE add error: " + *error);
        }
    });
}

void WebRTCManager::onLocalCandidate(const IceCandidate& candidate) {
    say("🧊 local candidate: " + candidateClass(candidate.line));
    SignalingMessage message = msg::bare(msg::candidate);
    message.sdp = candidate.line;
    message.sdpMid = candidate.mid;
    message.sdpMLineIndex = candidate.mLineIndex;
    send(message);
}

void WebRTCManager::pushFrame(const VideoFrameView& frame, std::chrono::nanoseconds timestamp) {
    std::shared_ptr<PeerConnection> peer;
    bool resized = false;
    std::uint64_t count = 0;
    {
        std::lock_guard lock(mFrames->mutex);
        peer = mFrames->peer;
        if (peer) {
            if (frame.width != mFrames->width || frame.height != mFrames->height) {
                mFrames->width = frame.width;
                mFrames->height = frame.height;
                resized = true;
            }
            count = ++mFrames->pushed;
        }
    }
    if (!peer) {
        say("⚠️ pushFrame skipped - videoSource/capturer is nil");
        return;
    }
    if (resized) {
        mDeps.loop.post([self = mLifetime.weak()] {
            if (auto* manager = self.lock()) {
                manager->adaptSource();
            }
        });
        say("📐 PELORN source size " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
            " - re-adapting (aspect-preserving)");
    }
    peer->pushFrame(frame, timestamp);
    if (count == 1 || count % 60 == 0) {
        say("➡️ Pushed " + std::to_string(count) + " frame(s) to WebRTC source");
    }
}

void WebRTCManager::startScreen() {
    mDeps.log.record(LoggedEvent::Kind::ScreenStarted, std::nullopt, "over the internet");
    if (!mPeer || !mDeps.startCapture) {
        return;
    }
    // The capture's thread may not lock the manager; the frame path has its own lock, and the
    // capture is stopped before the manager goes.
    WebRTCManager* manager = this;
    mCapturing = true;
    mDeps.startCapture([manager](const VideoFrameView& frame, std::chrono::nanoseconds timestamp) {
        manager->pushFrame(frame, timestamp);
    });
}

void WebRTCManager::stopScreen() {
    mCapturing = false;
    if (mDeps.stopCapture) {
        mDeps.stopCapture();
    }
    if (mDeps.turnOffPrivacy) {
        mDeps.turnOffPrivacy();
    }
    say("⏸ PELORN REMOTE: video capture stopped (iPad left Screen Sharing)");
}

void WebRTCManager::stopStream() {
    mCapturing = false;
    if (mDeps.stopCapture) {
        mDeps.stopCapture();
    }
    mDeps.loop.post([self = mLifetime.weak()] {
        if (auto* manager = self.lock()) {
            if (manager->mDeps.stopScreenLimit) {
                manager->mDeps.stopScreenLimit();
            }
            if (manager->mDeps.turnOffPrivacy) {
                manager->mDeps.turnOffPrivacy();
            }
        }
    });
    mStatsPoll.cancel();
    mActivePath.reset();
    mRecordedTelemetry = false;
    mPairDiagnostics.cancel();
    mPairDiagnosticsStarted = false;
    mDisconnectTimer.cancel();
    mIceRestartAttempts = 0;
    mConnected = false;
    mOfferUnanswered = false;
    mLastProgress.reset();
    mSilentPolls = 0;
    mStallGaveUp = false;
    for (auto id : std::exchange(mVideoLogTimers, {})) {
        mDeps.loop.cancel(id);
    }
    if (mRemote) {
        mRemote->detach();
    }
    ++mSession;
    {
        std::lock_guard lock(mFrames->mutex);
        mFrames->peer.reset();
        mFrames->pushed = 0;
        mFrames->width = 0;
        mFrames->height = 0;
    }
    if (mPeer) {
        mPeer->close();
        mPeer.reset();
    }
    mPendingCandidates.clear();
    mProfile.reset();
    say("⏹ WebRTC stream stopped");
}

void WebRTCManager::applyProfile(const VideoQualityProfile& profile, const std::string& reason) {
    mProfile = profile;
    adaptSource();
    if (!mPeer) {
        return;
    }
    auto parameters = mPeer->videoSenderParameters();
    if (!parameters) {
        return;
    }
    parameters->maxBitrateBps = profile.maxBitrateBps;
    parameters->minBitrateBps = profile.minBitrateBps;
    parameters->maxFramerate = profile.fps;
    parameters->scaleResolutionDownBy = 1.0;
    parameters->degradationPreference = static_cast<int>(profile.degradation);
    mPeer->setVideoSenderParameters(*parameters);
    say(profileLine(profile, reason));
}

void WebRTCManager::adaptSource() {
    VideoSize source;
    {
        std::lock_guard lock(mFrames->mutex);
        source = {mFrames->width, mFrames->height};
    }
    if (!mProfile || !mPeer || source.width < 1 || source.height < 1) {
        return;
    }
    auto size = fittedSize(*mProfile, source);
    mPeer->adaptOutputFormat(size.width, size.height, mProfile->fps);
}

void WebRTCManager::sendControlMessage(const SignalingMessage& message) {
    if (mRemote) {
        mRemote->sendControlMessage(message);
    }
}

void WebRTCManager::sendHostOffline() {
    if (mRemote) {
        mRemote->sendHostOffline();
    }
}

bool WebRTCManager::sendTerminalOutput(const SignalingMessage& output) {
    return !mRemote || mRemote->sendTerminalOutput(output);
}

bool WebRTCManager::isRemoteAuthorized() const {
    return mRemote && mRemote->isAuthorized();
}

// ---- Monitoring

void WebRTCManager::onIceState(IceConnectionState state) {
    say("🧊 ICE state: " + std::to_string(static_cast<int>(state)));
    switch (state) {
    case IceConnectionState::Checking:
        mConnected = false;
        startPairDiagnostics();
        break;
    case IceConnectionState::Connected:
    case IceConnectionState::Completed:
        startPairDiagnostics();
        mDisconnectTimer.cancel();
        mIceRestartAttempts = 0;
        mSilentPolls = 0;
        mStallGaveUp = false;
        // Connected then completed is one connection, logged once.
        if (std::exchange(mConnected, true)) {
            break;
        }
        for (auto delay : {std::chrono::seconds(3), std::chrono::seconds(6), std::chrono::seconds(9)}) {
            mVideoLogTimers.push_back(mDeps.loop.runAfter(delay, [self = mLifetime.weak()] {
                if (auto* manager = self.lock()) {
                    manager->logOutgoingVideo();
                }
            }));
        }
        startStatsPoll();
        break;
    case IceConnectionState::Failed:
        mConnected = false;
        mDisconnectTimer.cancel();
        restartIce();
        break;
    case IceConnectionState::Disconnected:
        mConnected = false;
        mDisconnectTimer.startOnce(mDeps.loop, disconnectGrace, [self = mLifetime.weak()] {
            if (auto* manager = self.lock()) {
                manager->restartIce();
            }
        });
        break;
    default:
        break;
    }
}

void WebRTCManager::restartIce() {
    if (mIceRestartAttempts > maxIceRestartAttempts - 1) {
        say("❌ ICE restart limit (3) reached - giving up");
        return;
    }
    if (!mPeer) {
        return;
    }
    ++mIceRestartAttempts;
    say("🔄 ICE restart attempt " + std::to_string(mIceRestartAttempts) + "/3");
    mSilentPolls = 0;
    if (mOfferUnanswered) {
        say("⏳ ICE restart offer held back - the client has not answered the last offer yet");
        return;
    }
    offer(true);
}

void WebRTCManager::startStatsPoll() {
    mStatsPoll.cancel();
    if (!mPeer) {
        return;
    }
    auto poll = [self = mLifetime.weak()] {
        auto* manager = self.lock();
        if (!manager || !manager->mPeer) {
            return;
        }
        manager->mPeer->getStats([self, session = manager->mSession](const StatsReport& report) {
            if (auto* m = self.lock(); m && m->mSession == session) {
                m->classify(report);
            }
        });
    };
    poll();
    mStatsPoll.startRepeating(mDeps.loop, statsPollInterval, poll);
}

void WebRTCManager::classify(const StatsReport& report) {
    watchReceiverReports(report);
    if (auto path = classifyPath(report)) {
        pathChanged(*path);
    }
}

void WebRTCManager::watchReceiverReports(const StatsReport& report) {
    auto progress = receiverProgress(report);
    if (!progress) {
        return;
    }
    bool silent = mConnected && mLastProgress && progress->packetsSent > mLastProgress->packetsSent &&
                  progress->reportedThrough == mLastProgress->reportedThrough;
    mLastProgress = progress;
    mSilentPolls = silent ? mSilentPolls + 1 : 0;
    if (mSilentPolls < silentPollsBeforeRestart || mStallGaveUp) {
        return;
    }
    // Past the limit, the restart says once that it gives up.
    mStallGaveUp = mIceRestartAttempts >= maxIceRestartAttempts;
    if (!mStallGaveUp) {
        say("⚠️ No receiver reports from the client for " +
            std::to_string(silentPollsBeforeRestart * statsPollInterval.count() / 1000) +
            " s while video went out - restarting ICE");
    }
    restartIce();
}

void WebRTCManager::pathChanged(const PathClassification& path) {
    if (mActivePath == path.path) {
        return;
    }
    mActivePath = path.path;
    if (!mRecordedTelemetry) {
        mRecordedTelemetry = true;
        mDeps.telemetry.recordPath(path.path);
    }
    if (path.path == "direct") {
        say("🛰️ PELORN ACTIVE PATH: DIRECT (" + path.localType + "/" + path.remoteType + ")");
        applyProfile(VideoQualityProfile::direct, "path change");
    } else {
        say("🛰️ PELORN ACTIVE PATH: RELAY (TURN) [" + path.localType + "/" + path.remoteType + "]");
        applyProfile(VideoQualityProfile::relay, "path change");
    }
}

void WebRTCManager::logOutgoingVideo() {
    if (!mPeer) {
        return;
    }
    mPeer->getStats([](const StatsReport& report) {
        for (const auto& line : outgoingVideoLines(report)) {
            say(line);
        }
    });
}

void WebRTCManager::startPairDiagnostics() {
    if (mPairDiagnosticsStarted) {
        return;
    }
    mPairDiagnosticsStarted = true;
    mPairDiagnosticsStart = mDeps.loop.now();
    dumpPairs();
    mPairDiagnostics.startRepeating(mDeps.loop, pairDiagnosticsInterval, [self = mLifetime.weak()] {
        if (auto* manager = self.lock()) {
            manager->dumpPairs();
        }
    });
}

void WebRTCManager::dumpPairs() {
    if (!mPeer) {
        return;
    }
    bool final = mDeps.loop.now() - mPairDiagnosticsStart >= pairDiagnosticsLength;
    if (final) {
        mPairDiagnostics.cancel();
    }
    mPeer->getStats([final](const StatsReport& report) {
        for (const auto& line : candidatePairLines(report, final)) {
            say(line);
        }
    });
}

} // namespace pelorn
