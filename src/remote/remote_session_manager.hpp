#pragma once

#include "cloud/firestore.hpp"
#include "core/host_loop.hpp"
#include "core/lifetime.hpp"
#include "remote/firestore_signaling.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pelorn {

class Settings;
struct SignalingMessage;

// The WebRTC peer as an internet session drives it.
class SessionPeer {
public:
    virtual ~SessionPeer() = default;
    // Where the peer's offers and candidates go; an empty sender gives them back to the LAN.
    virtual void setSignalSender(std::function<void(const SignalingMessage&)> sender) = 0;
    // A new peer connection and its offer (any earlier one is closed); the peer torn down.
    virtual void startStream() = 0;
    virtual void stopStream() = 0;
    // Dropped when there is no peer connection.
    virtual void applyAnswer(const std::string& sdp) = 0;
    virtual void addRemoteCandidate(const std::string& line, const std::string& sdpMid,
                                    std::int32_t sdpMLineIndex) = 0;
};

class WebRTCManager;

// The host's WebRTC peer as a session drives it.
class WebRTCSessionPeer final : public SessionPeer {
public:
    explicit WebRTCSessionPeer(WebRTCManager& manager) : mManager(manager) {}
    void setSignalSender(std::function<void(const SignalingMessage&)> sender) override;
    void startStream() override;
    void stopStream() override;
    void applyAnswer(const std::string& sdp) override;
    void addRemoteCandidate(const std::string& line, const std::string& sdpMid,
                            std::int32_t sdpMLineIndex) override;

private:
    WebRTCManager& mManager;
};

// The doorbell for internet sessions: while the host is online it listens for the session requests
// the companion writes for this computer and account ("sessions" documents), starts the WebRTC
// peer for the newest one with its negotiation going through that document, and ends it when the
// companion removes the document or the host goes offline. One session at a time: a new request
// replaces the running one. Host loop.
class RemoteSessionManager {
public:
    struct Dependencies {
        HostLoop& loop;
        Settings& settings;
        // Null without a cloud project: nothing is listened for.
        Firestore* database;
        std::function<std::string()> deviceId;
        SessionPeer& peer;
    };
    // A request first seen longer than this after the companion made it is left alone: the first
    // snapshot lists every request still in the database, however old.
    static constexpr auto requestFreshness = std::chrono::seconds(120);

    explicit RemoteSessionManager(Dependencies deps);
    ~RemoteSessionManager();
    static RemoteSessionManager& shared();

    // Listens afresh (an earlier listener is removed first).
    void startListening();
    // Stops listening and ends the running session; the peer stops before this returns.
    void stopListening();

    bool isListening() const { return mSessionsListener.has_value(); }
    const std::optional<std::string>& activeSessionId() const { return mActiveSessionId; }

    RemoteSessionManager(const RemoteSessionManager&) = delete;
    RemoteSessionManager& operator=(const RemoteSessionManager&) = delete;

private:
    void requestsChanged(const firestore::Result<QuerySnapshot>& snapshot);
    void startSession(const std::string& id);
    void endSession(const std::string& id);
    void dropActive();

    Dependencies mDeps;
    std::optional<ListenerRegistration> mSessionsListener;
    std::shared_ptr<FirestoreSignaling> mActive;
    std::optional<std::string> mActiveSessionId;
    std::string mOwnerEmail; // lower-cased, as the request query has it
    Lifetime<RemoteSessionManager> mLifetime{this};
};

} // namespace pelorn
