#include "remote/remote_session_manager.hpp"

#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/text.hpp"
#include "signaling/signaling_message.hpp"
#include "webrtc/webrtc_manager.hpp"

namespace pelorn {

namespace {

void say(const std::string& line) {
    Log::shared().info(line);
}

} // namespace

void WebRTCSessionPeer::setSignalSender(std::function<void(const SignalingMessage&)> sender) {
    mManager.setSignalSender(std::move(sender));
}

void WebRTCSessionPeer::startStream() {
    mManager.startStream();
}

void WebRTCSessionPeer::stopStream() {
    mManager.stopStream();
}

void WebRTCSessionPeer::applyAnswer(const std::string& sdp) {
    mManager.applyAnswer(sdp);
}

void WebRTCSessionPeer::addRemoteCandidate(const std::string& line, const std::string& sdpMid,
                                           std::int32_t sdpMLineIndex) {
    mManager.addRemoteCandidate(line, sdpMid, sdpMLineIndex);
}

RemoteSessionManager::RemoteSessionManager(Dependencies deps) : mDeps(std::move(deps)) {
}

RemoteSessionManager::~RemoteSessionManager() {
    mLifetime.end();
}

void RemoteSessionManager::startListening() {
    if (!mDeps.database) {
        return;
    }
    auto email = lowercased(mDeps.settings.string("userEmail"));
    if (email.empty()) {
        say("⚠️ Remote sessions skipped - no signed-in account.");
        return;
    }
    mOwnerEmail = email;
    auto query = FirestoreQuery("sessions").where("macDeviceId", mDeps.deviceId()).where("ownerEmail", email);
    mSessionsListener.reset();
    mSessionsListener = mDeps.database->addSnapshotListener(
        query, [self = mLifetime.weak()](const firestore::Result<QuerySnapshot>& snapshot) {
            if (auto* manager = self.lock()) {
                manager->requestsChanged(snapshot);
            }
        });
    say("📡 Remote session listener started");
}

void RemoteSessionManager::stopListening() {
    mSessionsListener.reset();
    dropActive();
    mDeps.peer.setSignalSender({});
    mDeps.peer.stopStream();
}

void RemoteSessionManager::requestsChanged(const firestore::Result<QuerySnapshot>& snapshot) {
    if (const auto* error = std::get_if<firestore::Error>(&snapshot)) {
        say("⚠️ Remote sessions listen failed: " + error->description());
        return;
    }
    auto now = mDeps.loop.wallNow();
    for (const auto& change : std::get<QuerySnapshot>(snapshot).changes) {
        const auto id = change.document.id();
        switch (change.type) {
        case DocumentChange::Type::Removed:
            endSession(id);
            break;
        case DocumentChange::Type::Added: {
            // A request without a time of its own is taken as new.
            const auto* created = change.document.field("createdAt");
            const auto* at = created ? created->as<firestore::Timestamp>() : nullptr;
            if (at && now - *at > requestFreshness) {
                break;
            }
            startSession(id);
            break;
        }
        case DocumentChange::Type::Modified:
            break;
        }
    }
}

void RemoteSessionManager::startSession(const std::string& id) {
    if (mActiveSessionId == id) {
        return; // the same request reported again
    }
    dropActive();
    mDeps.peer.stopStream();
    mActiveSessionId = id;
    auto signaling = std::make_shared<FirestoreSignaling>(*mDeps.database, id, FirestoreSignaling::Role::Mac);
    signaling->ownerEmail = mOwnerEmail; // the account the request was found for
    mActive = signaling;

    mDeps.peer.setSignalSender([weak = std::weak_ptr(signaling)](const SignalingMessage& message) {
        auto target = weak.lock();
        if (!target) {
            return;
        }
        if (message.type == "offer") {
            target->sendOffer(message.sdp.value_or(""));
        } else if (message.type == "candidate") {
            target->sendCandidate(FirestoreSignaling::Role::Mac, message.sdp.value_or(""), message.sdpMid,
                                  message.sdpMLineIndex.value_or(0));
        }
    });
    auto& peer = mDeps.peer;
    signaling->onAnswer = [&peer](const std::string& sdp) { peer.applyAnswer(sdp); };
    signaling->onCandidate = [&peer](const std::string& candidate, const std::optional<std::string>& mid,
                                     std::int32_t index) {
        peer.addRemoteCandidate(candidate, mid.value_or(""), index);
    };
    signaling->listenForSessionDocument();
    signaling->listenForCandidates();
    say("🔗 Remote session " + id + " - starting WebRTC offer");
    // Started from the loop, once this snapshot is handled; by then a newer request or the host
    // going offline may have taken its place, and a request never gets a peer it no longer owns.
    mDeps.loop.post([self = mLifetime.weak(), id] {
        auto* manager = self.lock();
        if (manager && manager->mActiveSessionId == id) {
            manager->mDeps.peer.startStream();
        }
    });
}

void RemoteSessionManager::endSession(const std::string& id) {
    if (mActiveSessionId != id) {
        return;
    }
    say("🛑 Remote session " + id + " ended by iPad - stopping stream");
    mDeps.peer.setSignalSender({});
    dropActive();
    mDeps.loop.post([self = mLifetime.weak()] {
        if (auto* manager = self.lock()) {
            manager->mDeps.peer.stopStream();
        }
    });
}

void RemoteSessionManager::dropActive() {
    if (mActive) {
        mActive->stop(false);
    }
    mActive.reset();
    mActiveSessionId.reset();
}

} // namespace pelorn
