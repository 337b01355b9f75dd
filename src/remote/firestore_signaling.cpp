#include "remote/firestore_signaling.hpp"

#include <limits>

namespace pelorn {

using firestore::Document;
using firestore::Fields;
using firestore::Map;
using firestore::Value;

std::string_view FirestoreSignaling::rawValue(Role role) {
    return role == Role::Mac ? "mac" : "ios";
}

FirestoreSignaling::FirestoreSignaling(Firestore& db, std::string sessionId, Role role)
    : mDb(db), mSessionId(std::move(sessionId)), mRole(role) {
}

FirestoreSignaling::~FirestoreSignaling() {
    mLifetime.end();
}

std::string FirestoreSignaling::candidatesPath(Role role) const {
    return documentPath(mSessionId) + (role == Role::Ios ? "/iosCandidates" : "/macCandidates");
}

void FirestoreSignaling::sendOffer(const std::string& sdp) {
    mDb.setMerge(documentPath(mSessionId), {{"offer", Map{{"sdp", sdp}}}, {"ownerEmail", ownerEmail}});
}

void FirestoreSignaling::sendAnswer(const std::string& sdp) {
    mDb.setMerge(documentPath(mSessionId), {{"answer", Map{{"sdp", sdp}}}, {"ownerEmail", ownerEmail}});
}

void FirestoreSignaling::sendCandidate(Role from, const std::string& candidate,
                                       const std::optional<std::string>& sdpMid, std::int32_t sdpMLineIndex) {
    mDb.add(candidatesPath(from), {{"sdp", candidate},
                                   {"sdpMid", sdpMid.value_or("")},
                                   {"sdpMLineIndex", std::int64_t{sdpMLineIndex}},
                                   {"ownerEmail", ownerEmail}});
}

void FirestoreSignaling::listenForSessionDocument() {
    mDocListener = mDb.addDocumentListener(
        documentPath(mSessionId),
        [self = mLifetime.weak()](const firestore::Result<std::optional<Document>>& snapshot) {
            if (auto* signaling = self.lock()) {
                signaling->sessionDocumentChanged(snapshot);
            }
        });
}

void FirestoreSignaling::listenForCandidates() {
    auto query = FirestoreQuery(candidatesPath(mRole == Role::Mac ? Role::Ios : Role::Mac))
                     .where("ownerEmail", ownerEmail);
    mCandListener = mDb.addSnapshotListener(
        query, [self = mLifetime.weak()](const firestore::Result<QuerySnapshot>& snapshot) {
            if (auto* signaling = self.lock()) {
                signaling->candidatesChanged(snapshot);
            }
        });
}

void FirestoreSignaling::stop(bool deleteDocument) {
    mDocListener.remove();
    mCandListener.remove();
    if (deleteDocument) {
        mDb.deleteDocument(documentPath(mSessionId));
    }
}

void FirestoreSignaling::sessionDocumentChanged(const firestore::Result<std::optional<Document>>& snapshot) {
    const auto* document = std::get_if<std::optional<Document>>(&snapshot);
    if (!document || !*document) {
        return; // a listener error, or no document: nothing to hand on
    }
    // The document also changes when this end writes to it: only a description that differs from
    // the last one handed on is new (an ICE restart brings a new one).
    const char* field = mRole == Role::Ios ? "offer" : "answer";
    auto& last = mRole == Role::Ios ? mLastDeliveredOffer : mLastDeliveredAnswer;
    auto& handler = mRole == Role::Ios ? onOffer : onAnswer;
    const auto* description = (*document)->field(field);
    const auto* map = description ? description->as<Map>() : nullptr;
    auto sdp = map ? map->find("sdp") : Map::const_iterator{};
    if (!map || sdp == map->end() || !sdp->second.as<std::string>()) {
        return;
    }
    const auto& text = *sdp->second.as<std::string>();
    if (last == text) {
        return;
    }
    last = text;
    if (handler) {
        handler(text);
    }
}

void FirestoreSignaling::candidatesChanged(const firestore::Result<QuerySnapshot>& snapshot) {
    const auto* changes = std::get_if<QuerySnapshot>(&snapshot);
    if (!changes) {
        return;
    }
    // A handler may end the session, and this object with it.
    auto self = mLifetime.weak();
    for (const auto& change : changes->changes) {
        if (change.type != DocumentChange::Type::Added) {
            continue;
        }
        // Seen first, so a document whose fields are unusable is not looked at again.
        if (!mSeenCandidates.insert(change.document.id()).second) {
            continue;
        }
        const auto* sdp = change.document.field("sdp");
        if (!sdp || !sdp->as<std::string>()) {
            continue;
        }
        std::optional<std::string> mid;
        if (const auto* value = change.document.field("sdpMid");
            value && value->as<std::string>() && !value->as<std::string>()->empty()) {
            mid = *value->as<std::string>();
        }
        std::int64_t index = 0;
        if (const auto* value = change.document.field("sdpMLineIndex"); value && value->as<std::int64_t>()) {
            index = *value->as<std::int64_t>();
        }
        // An index no media line can have is a broken document, not one to pass on cut short.
        if (index < 0 || index > std::numeric_limits<std::int32_t>::max()) {
            continue;
        }
        if (onCandidate) {
            onCandidate(*sdp->as<std::string>(), mid, static_cast<std::int32_t>(index));
        }
        if (!self.lock()) {
            return;
        }
    }
}

} // namespace pelorn
