#pragma once

#include "cloud/firestore.hpp"
#include "core/lifetime.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace pelorn {

// The WebRTC negotiation of one internet session, carried through the cloud database: the offer
// and the answer in the session's document ("sessions/{id}"), each end's ICE candidates in a
// subcollection of it. The same type serves both ends; the host plays the offering "mac" end and
// the companion the answering "ios" end. Host loop.
class FirestoreSignaling {
public:
    enum class Role { Mac, Ios };
    static std::string_view rawValue(Role role);

    using CandidateHandler = std::function<void(
        const std::string& candidate, const std::optional<std::string>& sdpMid, std::int32_t sdpMLineIndex)>;

    FirestoreSignaling(Firestore& db, std::string sessionId, Role role);
    ~FirestoreSignaling();

    const std::string& sessionId() const { return mSessionId; }
    Role role() const { return mRole; }
    static std::string documentPath(const std::string& sessionId) { return "sessions/" + sessionId; }
    // Where the candidates of the end playing `role` go.
    std::string candidatesPath(Role role) const;

    // Merges the offer into the session document, with the owner again, keeping what the
    // companion wrote; an ICE restart's offer replaces the last one. Fire and forget.
    void sendOffer(const std::string& sdp);
    // The answering end's counterpart of sendOffer.
    void sendAnswer(const std::string& sdp);
    // A new document in the candidates of `from`. Fire and forget.
    void sendCandidate(Role from, const std::string& candidate, const std::optional<std::string>& sdpMid,
                       std::int32_t sdpMLineIndex);

    // The session document: a new offer (for the answering end) or answer (for the offering end)
    // reaches its handler once, however often the document changes around it.
    void listenForSessionDocument();
    // The other end's candidates that carry this owner, each once.
    void listenForCandidates();
    // Stops both listeners; the session document is removed only when asked (the host never does:
    // ending a session is the companion's).
    void stop(bool deleteDocument);

    // The lower-cased account e-mail the documents carry; set before listening or writing.
    std::string ownerEmail;
    std::function<void(const std::string& sdp)> onOffer;
    std::function<void(const std::string& sdp)> onAnswer;
    CandidateHandler onCandidate;

    FirestoreSignaling(const FirestoreSignaling&) = delete;
    FirestoreSignaling& operator=(const FirestoreSignaling&) = delete;

private:
    void sessionDocumentChanged(const firestore::Result<std::optional<firestore::Document>>& snapshot);
    void candidatesChanged(const firestore::Result<QuerySnapshot>& snapshot);

    Firestore& mDb;
    std::string mSessionId;
    Role mRole;
    ListenerRegistration mDocListener;
    ListenerRegistration mCandListener;
    std::set<std::string> mSeenCandidates;
    std::optional<std::string> mLastDeliveredOffer;
    std::optional<std::string> mLastDeliveredAnswer;
    Lifetime<FirestoreSignaling> mLifetime{this};
};

} // namespace pelorn
