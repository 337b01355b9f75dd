#include "cloud/firestore.hpp"

#include "cloud/firestore_proto.hpp"
#include "cloud/firestore_watch.hpp"
#include "core/log.hpp"

#include <condition_variable>
#include <deque>
#include <google/firestore/v1/firestore.grpc.pb.h>
#include <grpcpp/grpcpp.h>
#include <mutex>
#include <set>
#include <thread>

namespace pelorn {

using firestore::Error;
namespace api = firestore::api;

namespace {

constexpr int transientAttempts = 3;

// Worth another try later: the service was busy, unreachable or slow.
bool isTransient(int code) {
    return code == firestore::Unavailable || code == firestore::ResourceExhausted ||
           code == firestore::Internal || code == firestore::DeadlineExceeded;
}

Error errorOf(const grpc::Status& status) {
    return {static_cast<int>(status.error_code()), status.error_message()};
}

// The gRPC calls under way, so that the owner's destructor can cancel them and wait until none of
// their callbacks (which post to the host loop) can run any more.
class Flights {
public:
    void begin(grpc::ClientContext* context) {
        std::lock_guard lock(mMutex);
        mContexts.insert(context);
    }
    void end(grpc::ClientContext* context) {
        std::lock_guard lock(mMutex);
        mContexts.erase(context);
        if (mContexts.empty()) {
            mIdle.notify_all();
        }
    }
    void cancelAndWait() {
        std::unique_lock lock(mMutex);
        for (auto* context : mContexts) {
            context->TryCancel();
        }
        mIdle.wait(lock, [this] { return mContexts.empty(); });
    }

private:
    std::mutex mMutex; // guards mContexts
    std::condition_variable mIdle;
    std::set<grpc::ClientContext*> mContexts;
};

// One RunQuery call: the documents of its streamed reply.
class QueryReader final : public grpc::ClientReadReactor<api::RunQueryResponse> {
public:
    QueryReader(std::shared_ptr<std::vector<api::Document>> documents, std::function<void(grpc::Status)> done)
        : mDocuments(std::move(documents)), mDone(std::move(done)) {}

    static void start(api::Firestore::Stub& stub, grpc::ClientContext& context,
                      const api::RunQueryRequest& request,
                      std::shared_ptr<std::vector<api::Document>> documents,
                      std::function<void(grpc::Status)> done) {
        auto* reader = new QueryReader(std::move(documents), std::move(done)); // deletes itself when done
        stub.async()->RunQuery(&context, &request, reader);
        reader->StartRead(&reader->mResponse);
        reader->StartCall();
    }

    void OnReadDone(bool ok) override {
        if (!ok) {
            return;
        }
        if (mResponse.has_document()) {
            mDocuments->push_back(std::move(*mResponse.mutable_document()));
        }
        mResponse.Clear();
        StartRead(&mResponse);
    }
    void OnDone(const grpc::Status& status) override {
        mDone(status);
        delete this;
    }

private:
    api::RunQueryResponse mResponse;
    std::shared_ptr<std::vector<api::Document>> mDocuments;
    std::function<void(grpc::Status)> mDone;
};

// The one Listen stream: messages go out one write at a time, replies are read until it ends.
class ListenStream final : public grpc::ClientBidiReactor<api::ListenRequest, api::ListenResponse> {
public:
    using OnResponse = std::function<void(api::ListenResponse)>;
    using OnEnd = std::function<void(grpc::Status)>;

    ListenStream(OnResponse onResponse, OnEnd onEnd, std::shared_ptr<Flights> flights)
        : mOnResponse(std::move(onResponse)), mOnEnd(std::move(onEnd)), mFlights(std::move(flights)) {}

    grpc::ClientContext& context() { return mContext; }

    void start(std::shared_ptr<ListenStream> self, api::Firestore::Stub& stub) {
        mSelf = std::move(self);
        mFlights->begin(&mContext);
        stub.async()->Listen(&mContext, this);
        StartRead(&mResponse);
        StartCall();
    }

    void send(api::ListenRequest request) {
        std::lock_guard lock(mMutex);
        if (mEnded) {
            return;
        }
        mQueue.push_back(std::move(request));
        if (!mWriting) {
            mWriting = true;
            StartWrite(&mQueue.front());
        }
    }

    void cancel() { mContext.TryCancel(); }

    void OnWriteDone(bool ok) override {
        std::lock_guard lock(mMutex);
        mQueue.pop_front();
        if (ok && !mQueue.empty()) {
            StartWrite(&mQueue.front());
        } else {
            mWriting = false;
        }
    }
    void OnReadDone(bool ok) override {
        if (!ok) {
            return;
        }
        mOnResponse(std::move(mResponse));
        mResponse.Clear();
        StartRead(&mResponse);
    }
    void OnDone(const grpc::Status& status) override {
        {
            std::lock_guard lock(mMutex);
            mEnded = true;
        }
        mOnEnd(status);
        auto flights = mFlights;
        auto self = std::move(mSelf); // may be the last reference: this ends with the scope
        flights->end(&mContext);
    }

private:
    grpc::ClientContext mContext;
    api::ListenResponse mResponse;
    OnResponse mOnResponse;
    OnEnd mOnEnd;
    std::shared_ptr<Flights> mFlights;
    std::shared_ptr<ListenStream> mSelf; // held from start until the call is over
    std::recursive_mutex mMutex;         // guards the fields below; a write may complete inline
    std::deque<api::ListenRequest> mQueue;
    bool mWriting = false;
    bool mEnded = false;
};

} // namespace

FirestoreQuery FirestoreQuery::where(std::string field, firestore::Value value) const {
    FirestoreQuery query = *this;
    query.equalTo.emplace_back(std::move(field), std::move(value));
    return query;
}

ListenerRegistration& ListenerRegistration::operator=(ListenerRegistration&& other) noexcept {
    if (this != &other) {
        remove();
        mRemove = std::exchange(other.mRemove, {});
    }
    return *this;
}

void ListenerRegistration::remove() {
    if (auto removeNow = std::exchange(mRemove, {})) {
        removeNow();
    }
}

// gRPC 1.51 runs every channel's callback calls on one shared completion queue and shuts it down
// when the last channel that used it goes; that shutdown can race a call still completing and abort
// the process ("assertion failed: prior > 0", seen when a client was destroyed). A channel that has
// made one callback call and lives as long as the process keeps the queue up. Left allocated on
// purpose.
static void holdCallbackQueue() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto channel = grpc::CreateChannel("unix:/nonexistent/pelorn", grpc::InsecureChannelCredentials());
        auto* stub = api::Firestore::NewStub(channel).release();
        auto* context = new grpc::ClientContext;
        context->set_deadline(std::chrono::system_clock::now());
        auto* request = new api::GetDocumentRequest;
        auto* response = new api::Document;
        stub->async()->GetDocument(context, request, response, [](grpc::Status) {});
    });
}

class Firestore::Impl : public std::enable_shared_from_this<Impl> {
public:
    explicit Impl(Dependencies deps)
        : mLoop(deps.loop), mNames(deps.projectId), mTokens(std::move(deps.tokens)), mWatch(mNames) {
        holdCallbackQueue();
        grpc::ChannelArguments arguments;
        // A stream that is quiet for long may have lost its connection without a word; the ping
        // interval is the shortest servers accept by default.
        arguments.SetInt(GRPC_ARG_KEEPALIVE_TIME_MS, 5 * 60 * 1000);
        // The channel's own reconnection keeps to the stream's pace, or a call made after an
        // outage would fail at once for up to two minutes.
        arguments.SetInt(GRPC_ARG_INITIAL_RECONNECT_BACKOFF_MS, 1000);
        arguments.SetInt(GRPC_ARG_MAX_RECONNECT_BACKOFF_MS,
                         static_cast<int>(std::chrono::milliseconds(longestReconnect).count()));
        auto credentials = deps.plaintext ? grpc::InsecureChannelCredentials()
                                          : grpc::SslCredentials(grpc::SslCredentialsOptions{});
        mStub = api::Firestore::NewStub(grpc::CreateCustomChannel(deps.target, credentials, arguments));
    }

    ~Impl() {
        mLoop.cancel(mReconnectTimer);
        mFlights->cancelAndWait();
    }

    // ---- Calls

    using Launch = std::function<void(grpc::ClientContext&, std::function<void(grpc::Status)>)>;
    using Then = std::function<void(const grpc::Status&)>;

    // Runs one call with the current ID token; a refused token is refreshed and the call made once
    // more, and a transient failure is tried again after a pause when `retryTransient`.
    void call(Launch launch, Then then, bool retryTransient, int attempt = 1, bool refreshed = false) {
        auto weak = weak_from_this();
        withToken(refreshed, [weak, launch = std::move(launch), then = std::move(then), retryTransient,
                              attempt, refreshed](std::optional<std::string> token) mutable {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            auto context = std::make_shared<grpc::ClientContext>();
            self->prepare(*context, token);
            context->set_deadline(std::chrono::system_clock::now() + callTimeout);
            auto flights = self->mFlights;
            flights->begin(context.get());
            auto* loop = &self->mLoop;
            auto finished = [weak, loop, flights, context, launch, then = std::move(then), retryTransient,
                             attempt, refreshed](grpc::Status status) mutable {
                loop->post([weak, status, launch = std::move(launch), then = std::move(then), retryTransient,
                            attempt, refreshed]() mutable {
                    if (auto owner = weak.lock()) {
                        owner->callDone(status, std::move(launch), std::move(then), retryTransient, attempt,
                                        refreshed);
                    }
                });
                flights->end(context.get());
            };
            launch(*context, std::move(finished));
        });
    }

    void callDone(const grpc::Status& status, Launch launch, Then then, bool retryTransient, int attempt,
                  bool refreshed) {
        int code = status.error_code();
        if (code == firestore::Unauthenticated && !refreshed) {
            call(std::move(launch), std::move(then), retryTransient, attempt, true);
            return;
        }
        if (retryTransient && isTransient(code) && attempt < transientAttempts) {
            mLoop.runAfter(std::chrono::seconds(1 << (attempt - 1)),
                           [weak = weak_from_this(), launch = std::move(launch), then = std::move(then),
                            attempt, refreshed]() mutable {
                               if (auto self = weak.lock()) {
                                   self->call(std::move(launch), std::move(then), true, attempt + 1,
                                              refreshed);
                               }
                           });
            return;
        }
        then(status);
    }

    void withToken(bool forceRefresh, std::function<void(std::optional<std::string>)> done) {
        if (!mTokens) {
            done(std::nullopt);
            return;
        }
        mTokens(forceRefresh, std::move(done));
    }

    void prepare(grpc::ClientContext& context, const std::optional<std::string>& token) const {
        if (token) {
            context.AddMetadata("authorization", "Bearer " + *token);
        }
        // Routes the call to the project's database.
        context.AddMetadata("google-cloud-resource-prefix", mNames.database());
    }

    void commit(std::vector<api::Write> writes, const std::string& transaction, bool retryTransient,
                std::function<void(const grpc::Status&)> then) {
        auto request = std::make_shared<api::CommitRequest>();
        request->set_database(mNames.database());
        for (auto& write : writes) {
            *request->add_writes() = std::move(write);
        }
        if (!transaction.empty()) {
            request->set_transaction(transaction);
        }
        auto response = std::make_shared<api::CommitResponse>();
        call(
            [this, request, response](grpc::ClientContext& context, std::function<void(grpc::Status)> done) {
                response->Clear();
                mStub->async()->Commit(&context, request.get(), response.get(), std::move(done));
            },
            [this, response, then = std::move(then)](const grpc::Status& status) {
                if (status.ok()) {
                    mWrites += static_cast<std::uint64_t>(response->write_results_size());
                }
                then(status);
            },
            retryTransient);
    }

    void getDocument(const std::string& path, const std::string& transaction,
                     std::function<void(firestore::Result<std::optional<firestore::Document>>)> done) {
        auto request = std::make_shared<api::GetDocumentRequest>();
        request->set_name(mNames.name(path));
        if (!transaction.empty()) {
            request->set_transaction(transaction);
        }
        auto response = std::make_shared<api::Document>();
        call(
            [this, request, response](grpc::ClientContext& context,
                                      std::function<void(grpc::Status)> finished) {
                response->Clear();
                mStub->async()->GetDocument(&context, request.get(), response.get(), std::move(finished));
            },
            [this, response, done = std::move(done)](const grpc::Status& status) {
                if (status.ok() || status.error_code() == grpc::StatusCode::NOT_FOUND) {
                    ++mReads;
                }
                if (status.ok()) {
                    done(std::optional(firestore::fromProto(*response, mNames)));
                } else if (status.error_code() == grpc::StatusCode::NOT_FOUND) {
                    done(std::optional<firestore::Document>());
                } else {
                    done(errorOf(status));
                }
            },
            true);
    }

    // ---- Writes, one at a time in the order made

    using WriteStep = std::function<void(std::function<void()> finished)>;

    // A write waiting for its turn. A merge keeps its document and fields until it starts, so that
    // merges into the same document made meanwhile join it: while the database cannot be reached,
    // a heartbeat every 30 s adds nothing to the queue.
    struct QueuedWrite {
        WriteStep step;        // anything but a merge
        std::string mergePath; // a merge
        firestore::Fields fields;
        std::vector<WriteDone> dones;
    };

    void enqueueWrite(QueuedWrite write) {
        mWriteQueue.push_back(std::move(write));
        if (!mWriting) {
            nextWrite();
        }
    }

    void nextWrite() {
        if (mWriteQueue.empty()) {
            mWriting = false;
            return;
        }
        mWriting = true;
        auto write = std::move(mWriteQueue.front());
        mWriteQueue.pop_front();
        auto next = [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->nextWrite();
            }
        };
        if (write.mergePath.empty()) {
            write.step(std::move(next));
            return;
        }
        commit({firestore::writeOf(write.mergePath, write.fields, false, mNames)}, {}, true,
               [dones = std::move(write.dones), next = std::move(next)](const grpc::Status& status) {
                   for (const auto& done : dones) {
                       if (done) {
                           done(status.ok() ? std::nullopt : std::optional(errorOf(status)));
                       }
                   }
                   next();
               });
    }

    void merge(const std::string& path, const firestore::Fields& fields, WriteDone done) {
        if (!mWriteQueue.empty() && mWriteQueue.back().mergePath == path) {
            mergeInto(mWriteQueue.back().fields, fields);
            mWriteQueue.back().dones.push_back(std::move(done));
            return;
        }
        QueuedWrite write;
        write.mergePath = path;
        write.fields = fields;
        write.dones.push_back(std::move(done));
        enqueueWrite(std::move(write));
    }

    // What two merges in a row leave: the later value of each field, maps joined field by field.
    static void mergeInto(firestore::Fields& into, const firestore::Fields& later) {
        for (const auto& [name, value] : later) {
            auto* inner = value.as<firestore::Map>();
            auto it = into.find(name);
            if (inner && !inner->empty() && it != into.end() && it->second.as<firestore::Map>()) {
                auto joined = *it->second.as<firestore::Map>();
                mergeInto(joined, *inner);
                it->second = std::move(joined);
            } else {
                into.insert_or_assign(name, value);
            }
        }
    }

    void write(api::Write write, bool retryTransient, WriteDone done) {
        QueuedWrite queued;
        queued.step = [this, write = std::move(write), retryTransient,
                       done = std::move(done)](std::function<void()> finished) mutable {
            commit({std::move(write)}, {}, retryTransient,
                   [done = std::move(done), finished = std::move(finished)](const grpc::Status& status) {
                       if (done) {
                           done(status.ok() ? std::nullopt : std::optional(errorOf(status)));
                       }
                       finished();
                   });
        };
        enqueueWrite(std::move(queued));
    }

    void fail(WriteDone done, std::string problem) {
        mLoop.post([done = std::move(done), problem = std::move(problem)] {
            if (done) {
                done(Error{firestore::InvalidArgument, problem});
            }
        });
    }

    // ---- Transactions

    struct Transaction {
        std::string path;
        Build build;
        WriteDone done;
        std::function<void()> finished;
        int attempt = 1;
    };

    void beginTransaction(std::shared_ptr<Transaction> transaction) {
        auto request = std::make_shared<api::BeginTransactionRequest>();
        request->set_database(mNames.database());
        request->mutable_options()->mutable_read_write();
        auto response = std::make_shared<api::BeginTransactionResponse>();
        call(
            [this, request, response](grpc::ClientContext& context,
                                      std::function<void(grpc::Status)> finished) {
                response->Clear();
                mStub->async()->BeginTransaction(&context, request.get(), response.get(),
                                                 std::move(finished));
            },
            [this, response, transaction](const grpc::Status& status) {
                if (!status.ok()) {
                    endTransaction(*transaction, errorOf(status));
                    return;
                }
                readInTransaction(transaction, response->transaction());
            },
            true);
    }

    void readInTransaction(std::shared_ptr<Transaction> transaction, const std::string& id) {
        getDocument(
            transaction->path, id,
            [this, transaction, id](firestore::Result<std::optional<firestore::Document>> read) {
                if (auto* error = std::get_if<Error>(&read); error && error->code == firestore::Aborted) {
                    rollback(id);
                    retryTransaction(transaction, *error);
                    return;
                }
                auto write = firestore::writeOf(transaction->path, transaction->build(read), false, mNames);
                commit({std::move(write)}, id, false, [this, transaction](const grpc::Status& status) {
                    if (status.error_code() == grpc::StatusCode::ABORTED) {
                        retryTransaction(transaction, errorOf(status));
                        return;
                    }
                    endTransaction(*transaction, status.ok() ? std::nullopt : std::optional(errorOf(status)));
                });
            });
    }

    void retryTransaction(std::shared_ptr<Transaction> transaction, const Error& error) {
        if (transaction->attempt >= transactionAttempts) {
            endTransaction(*transaction, error);
            return;
        }
        ++transaction->attempt;
        beginTransaction(std::move(transaction));
    }

    void rollback(const std::string& id) {
        auto request = std::make_shared<api::RollbackRequest>();
        request->set_database(mNames.database());
        request->set_transaction(id);
        auto response = std::make_shared<google::protobuf::Empty>();
        call(
            [this, request, response](grpc::ClientContext& context,
                                      std::function<void(grpc::Status)> finished) {
                mStub->async()->Rollback(&context, request.get(), response.get(), std::move(finished));
            },
            [](const grpc::Status&) {}, false);
    }

    void endTransaction(Transaction& transaction, const std::optional<Error>& error) {
        if (transaction.done) {
            transaction.done(error);
        }
        transaction.finished();
    }

    // ---- Listeners

    ListenerRegistration listen(const FirestoreQuery& query, SnapshotListener listener) {
        std::uint64_t key = mNextListener++;
        mListeners.emplace(key, std::move(listener));
        return watch(key, mWatch.add(key, query));
    }
    ListenerRegistration listen(const std::string& document, SnapshotListener listener) {
        std::uint64_t key = mNextListener++;
        mListeners.emplace(key, std::move(listener));
        return watch(key, mWatch.addDocument(key, document));
    }
    ListenerRegistration watch(std::uint64_t key, api::ListenRequest request) {
        if (mStream) {
            mStream->send(std::move(request));
        } else {
            openStream();
        }
        return ListenerRegistration([weak = weak_from_this(), key] {
            if (auto self = weak.lock()) {
                self->unlisten(key);
            }
        });
    }

    void unlisten(std::uint64_t key) {
        mListeners.erase(key);
        auto request = mWatch.remove(key);
        if (request && mStream) {
            mStream->send(std::move(*request));
        }
        if (mWatch.empty()) {
            closeStream();
        }
    }

    void openStream() {
        if (mStream || mOpening || mWatch.empty()) {
            return;
        }
        mOpening = true;
        auto generation = ++mStreamGeneration;
        withToken(mForceRefresh, [weak = weak_from_this(), generation](std::optional<std::string> token) {
            auto self = weak.lock();
            if (!self || generation != self->mStreamGeneration) {
                return;
            }
            self->mOpening = false;
            self->mForceRefresh = false;
            if (!self->mWatch.empty()) {
                self->startStream(generation, token);
            }
        });
    }

    void startStream(std::uint64_t generation, const std::optional<std::string>& token) {
        auto* loop = &mLoop;
        auto weak = weak_from_this();
        auto stream = std::make_shared<ListenStream>(
            [loop, weak, generation](api::ListenResponse response) {
                loop->post([weak, generation, response = std::move(response)] {
                    if (auto self = weak.lock()) {
                        self->onListenResponse(generation, response);
                    }
                });
            },
            [loop, weak, generation](grpc::Status status) {
                loop->post([weak, generation, status] {
                    if (auto self = weak.lock()) {
                        self->onListenEnd(generation, status);
                    }
                });
            },
            mFlights);
        prepare(stream->context(), token);
        mStream = stream;
        stream->start(stream, *mStub);
        for (auto& request : mWatch.reopen()) {
            stream->send(std::move(request));
        }
    }

    void closeStream() {
        ++mStreamGeneration;
        mOpening = false;
        mLoop.cancel(mReconnectTimer);
        mReconnectTimer = 0;
        if (mStream) {
            mStream->cancel();
            mStream.reset();
        }
    }

    void onListenResponse(std::uint64_t generation, const api::ListenResponse& response) {
        if (generation != mStreamGeneration) {
            return;
        }
        mReconnectDelay = firstReconnect;
        mRefreshedForStream = false;
        std::vector<api::ListenRequest> send;
        auto deliveries = mWatch.onResponse(response, send);
        for (auto& request : send) {
            mStream->send(std::move(request));
        }
        for (auto& delivery : deliveries) {
            auto it = mListeners.find(delivery.listener);
            if (it == mListeners.end()) {
                continue;
            }
            // A listener may remove itself, or others, while it runs.
            SnapshotListener listener = it->second;
            if (std::holds_alternative<Error>(delivery.snapshot)) {
                mListeners.erase(it);
                if (mWatch.empty()) {
                    closeStream();
                }
            }
            listener(delivery.snapshot);
        }
    }

    void onListenEnd(std::uint64_t generation, const grpc::Status& status) {
        if (generation != mStreamGeneration) {
            return;
        }
        mStream.reset();
        if (mWatch.empty()) {
            return;
        }
        // The stream's token is checked when it opens and when it expires: a refusal asks for a
        // fresh one, at once the first time.
        if (status.error_code() == grpc::StatusCode::UNAUTHENTICATED) {
            mForceRefresh = true;
            if (!mRefreshedForStream) {
                mRefreshedForStream = true;
                openStream();
                return;
            }
        }
        auto delay = mReconnectDelay;
        mReconnectDelay = std::min<HostLoop::Duration>(mReconnectDelay * 2, longestReconnect);
        Log::shared().info("⚠️ Firestore: the listen stream ended (" + errorOf(status).description() +
                           ") - reconnecting in " +
                           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(delay).count()) +
                           " s");
        mReconnectTimer = mLoop.runAfter(delay, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->mReconnectTimer = 0;
                self->openStream();
            }
        });
    }

    // ---- State

    HostLoop& mLoop;
    firestore::DatabaseNames mNames;
    TokenSource mTokens;
    std::unique_ptr<api::Firestore::Stub> mStub;
    std::shared_ptr<Flights> mFlights = std::make_shared<Flights>();

    std::deque<QueuedWrite> mWriteQueue;
    bool mWriting = false;

    firestore::WatchTargets mWatch;
    std::map<std::uint64_t, SnapshotListener> mListeners;
    std::uint64_t mNextListener = 1;
    std::shared_ptr<ListenStream> mStream;
    std::uint64_t mStreamGeneration = 0; // moves with each stream; replies of older ones are dropped
    bool mOpening = false;
    bool mForceRefresh = false;
    bool mRefreshedForStream = false;
    HostLoop::Duration mReconnectDelay = firstReconnect;
    HostLoop::TimerId mReconnectTimer = 0;

    std::uint64_t mReads = 0;
    std::uint64_t mWrites = 0;
};

Firestore::Firestore(Dependencies deps) : mImpl(std::make_shared<Impl>(std::move(deps))) {
}

Firestore::~Firestore() = default;

void Firestore::setMerge(const std::string& path, const firestore::Fields& fields, WriteDone done) {
    if (auto problem = firestore::documentPathProblem(path); !problem.empty()) {
        mImpl->fail(std::move(done), problem);
        return;
    }
    mImpl->merge(path, fields, std::move(done));
}

void Firestore::add(const std::string& collection, const firestore::Fields& fields, Done<std::string> done) {
    if (auto problem = firestore::collectionPathProblem(collection); !problem.empty()) {
        mImpl->fail([done](const std::optional<Error>& error) { done(*error); }, problem);
        return;
    }
    std::string id = firestore::generateDocumentId();
    // Not retried after a transient failure: the first attempt may have created it.
    mImpl->write(firestore::writeOf(collection + "/" + id, fields, true, mImpl->mNames), false,
                 [id, done = std::move(done)](const std::optional<Error>& error) {
                     if (done) {
                         error ? done(*error) : done(id);
                     }
                 });
}

void Firestore::deleteDocument(const std::string& path, WriteDone done) {
    if (auto problem = firestore::documentPathProblem(path); !problem.empty()) {
        mImpl->fail(std::move(done), problem);
        return;
    }
    api::Write write;
    write.set_delete_(mImpl->mNames.name(path));
    mImpl->write(std::move(write), true, std::move(done));
}

void Firestore::getDocument(const std::string& path, Done<std::optional<firestore::Document>> done) {
    if (auto problem = firestore::documentPathProblem(path); !problem.empty()) {
        mImpl->fail([done](const std::optional<Error>& error) { done(*error); }, problem);
        return;
    }
    mImpl->getDocument(path, {}, std::move(done));
}

void Firestore::getDocuments(const FirestoreQuery& query, Done<std::vector<firestore::Document>> done) {
    if (auto problem = firestore::collectionPathProblem(query.collection); !problem.empty()) {
        mImpl->fail([done](const std::optional<Error>& error) { done(*error); }, problem);
        return;
    }
    auto* impl = mImpl.get();
    auto request = std::make_shared<api::RunQueryRequest>();
    request->set_parent(firestore::queryParent(query, impl->mNames));
    *request->mutable_structured_query() = firestore::structuredQuery(query, impl->mNames);
    auto documents = std::make_shared<std::vector<api::Document>>();
    impl->call(
        [impl, request, documents](grpc::ClientContext& context, std::function<void(grpc::Status)> finished) {
            documents->clear();
            QueryReader::start(*impl->mStub, context, *request, documents, std::move(finished));
        },
        [impl, documents, done = std::move(done)](const grpc::Status& status) {
            if (!status.ok()) {
                done(errorOf(status));
                return;
            }
            impl->mReads += std::max<std::uint64_t>(1, documents->size());
            std::vector<firestore::Document> out;
            out.reserve(documents->size());
            for (const auto& document : *documents) {
                out.push_back(firestore::fromProto(document, impl->mNames));
            }
            done(std::move(out));
        },
        true);
}

void Firestore::mergeInTransaction(const std::string& path, Build build, WriteDone done) {
    if (auto problem = firestore::documentPathProblem(path); !problem.empty()) {
        mImpl->fail(std::move(done), problem);
        return;
    }
    auto* impl = mImpl.get();
    Impl::QueuedWrite write;
    write.step = [impl, path, build = std::move(build),
                  done = std::move(done)](std::function<void()> finished) {
        impl->beginTransaction(
            std::make_shared<Impl::Transaction>(Impl::Transaction{path, build, done, std::move(finished)}));
    };
    impl->enqueueWrite(std::move(write));
}

ListenerRegistration Firestore::addSnapshotListener(const FirestoreQuery& query, SnapshotListener listener) {
    if (auto problem = firestore::collectionPathProblem(query.collection); !problem.empty()) {
        mImpl->mLoop.post([listener = std::move(listener), problem] {
            listener(Error{firestore::InvalidArgument, problem});
        });
        return {};
    }
    return mImpl->listen(query, std::move(listener));
}

ListenerRegistration Firestore::addDocumentListener(const std::string& path, DocumentListener listener) {
    if (auto problem = firestore::documentPathProblem(path); !problem.empty()) {
        mImpl->mLoop.post([listener = std::move(listener), problem] {
            listener(Error{firestore::InvalidArgument, problem});
        });
        return {};
    }
    return mImpl->listen(path,
                         [listener = std::move(listener)](const firestore::Result<QuerySnapshot>& snapshot) {
                             if (const auto* error = std::get_if<Error>(&snapshot)) {
                                 listener(*error);
                                 return;
                             }
                             const auto& documents = std::get<QuerySnapshot>(snapshot).documents;
                             listener(documents.empty() ? std::nullopt : std::optional(documents.front()));
                         });
}

Firestore::Usage Firestore::usage() const {
    return {mImpl->mReads + mImpl->mWatch.documentReads(), mImpl->mWrites};
}

bool Firestore::flushWrites(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (mImpl->mWriting || !mImpl->mWriteQueue.empty()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        if (mImpl->mLoop.runPending() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return true;
}

} // namespace pelorn
