#pragma once

#include "cloud/firestore_proto.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pelorn::firestore {

// The queries watched on one Listen stream and what the database has said of each. Changes are
// gathered per target and handed out only at a consistent point (the stream's global NO_CHANGE
// after a target is CURRENT), so a listener never sees half of a write. The resume token kept for
// a reconnect is the one of the last snapshot handed out, so nothing after it is missed.
class WatchTargets {
public:
    explicit WatchTargets(const DatabaseNames& names) : mNames(names) {}

    struct Delivery {
        std::uint64_t listener;
        Result<QuerySnapshot> snapshot; // an error ends that listener's target
    };

    // A new listener's query; the request that adds it to the stream.
    api::ListenRequest add(std::uint64_t listener, const FirestoreQuery& query);
    // A new listener's one document ("sessions/abc"): its snapshots hold it, or nothing.
    api::ListenRequest addDocument(std::uint64_t listener, const std::string& path);
    // The request that takes it off the stream, if it was on it.
    std::optional<api::ListenRequest> remove(std::uint64_t listener);
    bool empty() const { return mTargets.empty(); }

    // One message from the stream: snapshots ready for listeners, and requests to send (a target
    // whose document count the database disputes is listened to afresh).
    std::vector<Delivery> onResponse(const api::ListenResponse& response,
                                     std::vector<api::ListenRequest>& send);
    // The stream ended: what it sent since the last snapshot is dropped, and the requests that
    // add every target again (from its resume token) go on the next one.
    std::vector<api::ListenRequest> reopen();

    std::uint64_t documentReads() const { return mDocumentReads; }

private:
    struct Target {
        std::uint64_t listener;
        FirestoreQuery query{""};
        std::optional<std::string> document;                    // instead of the query
        std::map<std::string, Document> documents;              // as last handed out, by name
        std::map<std::string, std::optional<Document>> pending; // since then; absent = gone
        std::string resumeToken;                                // of the last snapshot handed out
        std::string pendingResumeToken;
        bool current = false;
        bool delivered = false;
    };

    api::ListenRequest addTarget(Target target);
    api::ListenRequest addRequest(int targetId, const Target& target) const;
    std::vector<int> targetsOf(const google::protobuf::RepeatedField<std::int32_t>& ids);
    void change(const std::vector<int>& ids, const std::string& name,
                const std::optional<Document>& document);
    std::optional<Delivery> deliver(Target& target, Timestamp readTime);
    std::size_t countAfterPending(const Target& target) const;

    const DatabaseNames& mNames;
    std::map<int, Target> mTargets; // by target id on the stream
    int mNextTargetId = 2;          // even, as the SDKs number theirs
    std::uint64_t mDocumentReads = 0;
};

} // namespace pelorn::firestore
