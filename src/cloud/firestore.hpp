#pragma once

#include "cloud/cloud_config.hpp"
#include "cloud/firestore_value.hpp"
#include "core/host_loop.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelorn {

// An equality query on a collection: documents whose fields equal every value given.
struct FirestoreQuery {
    explicit FirestoreQuery(std::string collectionPath) : collection(std::move(collectionPath)) {}

    std::string collection; // "devices", or a subcollection: "sessions/abc/macCandidates"
    std::vector<std::pair<std::string, firestore::Value>> equalTo;

    FirestoreQuery where(std::string field, firestore::Value value) const;
};

struct DocumentChange {
    enum class Type { Added, Modified, Removed };
    Type type;
    firestore::Document document; // for a removal, the document as last seen
};

// A query's documents at one consistent moment, and what changed since the previous snapshot (the
// first lists every document as added).
struct QuerySnapshot {
    std::vector<firestore::Document> documents; // by path
    std::vector<DocumentChange> changes;
    firestore::Timestamp readTime{};
};

// A snapshot listener for as long as it is held; dropping or removing it stops the listening.
class ListenerRegistration {
public:
    ListenerRegistration() = default;
    explicit ListenerRegistration(std::function<void()> remove) : mRemove(std::move(remove)) {}
    ListenerRegistration(ListenerRegistration&& other) noexcept : mRemove(std::exchange(other.mRemove, {})) {}
    ListenerRegistration& operator=(ListenerRegistration&& other) noexcept;
    ~ListenerRegistration() { remove(); }
    void remove();

private:
    std::function<void()> mRemove;
};

// The Cloud Firestore database over its gRPC API. Every operation starts on the host loop and
// completes there; the network work happens on gRPC's threads. Nothing is kept on disk. Writes
// (set, add, delete, transactions) reach the database in the order they were made; reads do not
// wait for them. Snapshot listeners share one Listen stream, which is reopened after a failure with
// each query's resume token, so a reconnect delivers only what changed.
class Firestore {
public:
    // The ID token for the database, or none (the request goes without credentials); `forceRefresh`
    // after the database refused the last one.
    using TokenSource =
        std::function<void(bool forceRefresh, std::function<void(std::optional<std::string> token)> done)>;
    struct Dependencies {
        HostLoop& loop;
        std::string projectId;
        std::string target = "firestore.googleapis.com:443";
        bool plaintext = false; // the emulator speaks gRPC without TLS
        TokenSource tokens;
    };
    // A call that has not finished after this long fails with DEADLINE_EXCEEDED.
    static constexpr auto callTimeout = std::chrono::seconds(30);
    // Between attempts to reopen the Listen stream, doubling from the first to the longest.
    static constexpr auto firstReconnect = std::chrono::seconds(1);
    static constexpr auto longestReconnect = std::chrono::seconds(60);
    // Attempts of a transaction the database aborted for a conflicting write.
    static constexpr int transactionAttempts = 5;

    using WriteDone = std::function<void(const std::optional<firestore::Error>&)>;
    template <typename T> using Done = std::function<void(const firestore::Result<T>&)>;
    using SnapshotListener = std::function<void(const firestore::Result<QuerySnapshot>&)>;

    explicit Firestore(Dependencies deps);
    ~Firestore();
    // The process's, when the cloud is configured; null otherwise.
    static Firestore* shared();

    // Writes the fields into the document, creating it when missing; fields not named keep their
    // values, and a nested map merges field by field. ServerTimestamp values become the write's time.
    void setMerge(const std::string& path, const firestore::Fields& fields, WriteDone done = {});
    // Creates a document with a generated id in the collection; completes with the id.
    void add(const std::string& collection, const firestore::Fields& fields, Done<std::string> done = {});
    void deleteDocument(const std::string& path, WriteDone done = {});
    // Absent when the document does not exist.
    void getDocument(const std::string& path, Done<std::optional<firestore::Document>> done);
    void getDocuments(const FirestoreQuery& query, Done<std::vector<firestore::Document>> done);
    // Reads the document and merges what `build` makes of that read into it, atomically: a write
    // by anyone else in between makes the database abort, and it all runs again (up to
    // transactionAttempts times). `build` is given the read's error when it failed.
    using Build =
        std::function<firestore::Fields(const firestore::Result<std::optional<firestore::Document>>& read)>;
    void mergeInTransaction(const std::string& path, Build build, WriteDone done = {});

    // The listener hears a snapshot each time the query's results change, the first with every
    // document there is, and an error when the database refuses the query (after which it hears
    // nothing more). Failures of the stream itself are retried, not reported.
    [[nodiscard]] ListenerRegistration addSnapshotListener(const FirestoreQuery& query,
                                                           SnapshotListener listener);
    // The same for one document: each snapshot holds it, or nothing while it does not exist.
    using DocumentListener =
        std::function<void(const firestore::Result<std::optional<firestore::Document>>&)>;
    [[nodiscard]] ListenerRegistration addDocumentListener(const std::string& path,
                                                           DocumentListener listener);

    // What the database bills: a document read for each document a read or a listener delivered
    // (a query that matched none counts one), a write for each document written.
    struct Usage {
        std::uint64_t documentReads = 0;
        std::uint64_t documentWrites = 0;
    };
    Usage usage() const;

    // Runs the loop until every write made so far has finished, or `limit` has passed. For the
    // last writes before the process exits. Loop thread, real time only.
    bool flushWrites(std::chrono::milliseconds limit);

    Firestore(const Firestore&) = delete;
    Firestore& operator=(const Firestore&) = delete;

private:
    class Impl;
    std::shared_ptr<Impl> mImpl;
};

} // namespace pelorn
