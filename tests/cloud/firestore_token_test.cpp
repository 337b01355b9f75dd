// A refused ID token, which the emulator never does (it takes any token at its word): a gRPC
// server of the test's own plays the database, refusing tokens it has been told have expired, and
// ending a Listen stream mid-run as the real service does when the stream's token runs out.
#include "cloud/firestore.hpp"
#include "cloud/firestore_proto.hpp"
#include "support/test_support.hpp"

#include <google/firestore/v1/firestore.grpc.pb.h>
#include <grpcpp/grpcpp.h>
#include <gtest/gtest.h>
#include <set>

using namespace pelorn;
using namespace pelorn::test;
using namespace pelorn::firestore;
using namespace std::chrono_literals;

namespace {

class FakeDatabase final : public api::Firestore::Service {
public:
    grpc::Status Commit(grpc::ServerContext* context, const api::CommitRequest*,
                        api::CommitResponse* response) override {
        auto token = bearer(*context);
        std::lock_guard lock(mutex);
        commitTokens.push_back(token);
        if (expired.count(token)) {
            return {grpc::StatusCode::UNAUTHENTICATED, "token expired"};
        }
        response->add_write_results();
        return grpc::Status::OK;
    }

    // Each stream: the document at version "stream number", then CURRENT and a consistent point.
    // The first stream's token expires once that is sent.
    grpc::Status Listen(grpc::ServerContext* context,
                        grpc::ServerReaderWriter<api::ListenResponse, api::ListenRequest>* stream) override {
        auto token = bearer(*context);
        int number;
        {
            std::lock_guard lock(mutex);
            listenTokens.push_back(token);
            if (expired.count(token)) {
                return {grpc::StatusCode::UNAUTHENTICATED, "token expired"};
            }
            number = static_cast<int>(listenTokens.size());
        }
        api::ListenRequest request;
        while (stream->Read(&request)) {
            if (!request.has_add_target()) {
                continue;
            }
            int target = request.add_target().target_id();
            {
                std::lock_guard lock(mutex);
                resumeTokens.push_back(request.add_target().resume_token());
            }
            api::ListenResponse change;
            auto* document = change.mutable_document_change()->mutable_document();
            document->set_name("projects/demo-pelorn/databases/(default)/documents/devices/A");
            (*document->mutable_fields())["version"].set_integer_value(number);
            document->mutable_update_time()->set_seconds(1700000000 + number);
            change.mutable_document_change()->add_target_ids(target);
            stream->Write(change);
            api::ListenResponse current;
            current.mutable_target_change()->set_target_change_type(api::TargetChange::CURRENT);
            current.mutable_target_change()->add_target_ids(target);
            current.mutable_target_change()->set_resume_token("resume-" + std::to_string(number));
            stream->Write(current);
            api::ListenResponse consistent;
            consistent.mutable_target_change()->mutable_read_time()->set_seconds(1700000000 + number);
            stream->Write(consistent);
            if (number == 1) {
                std::lock_guard lock(mutex);
                expired.insert(token);
                return {grpc::StatusCode::UNAUTHENTICATED, "token expired"};
            }
        }
        return grpc::Status::OK;
    }

    static std::string bearer(const grpc::ServerContext& context) {
        auto it = context.client_metadata().find("authorization");
        return it == context.client_metadata().end()
                   ? ""
                   : std::string(it->second.data(), it->second.size()).substr(7);
    }

    std::mutex mutex; // guards everything below; the server's threads run the calls
    std::set<std::string> expired;
    std::vector<std::string> commitTokens;
    std::vector<std::string> listenTokens;
    std::vector<std::string> resumeTokens;
};

TEST(FirestoreTokenTest, ARefusedTokenIsRefreshedOnceAndTheStreamResumesWhereItWas) {
    FakeDatabase database;
    int port = 0;
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
    builder.RegisterService(&database);
    auto server = builder.BuildAndStart();
    ASSERT_TRUE(server && port > 0);

    HostLoop loop(HostLoop::TimeMode::Manual);
    int generation = 1;
    int forced = 0;
    auto client = std::make_unique<Firestore>(
        Firestore::Dependencies{loop, "demo-pelorn", "127.0.0.1:" + std::to_string(port), true,
                                [&](bool force, std::function<void(std::optional<std::string>)> done) {
                                    if (force) {
                                        ++forced;
                                        ++generation;
                                    }
                                    done("token-" + std::to_string(generation));
                                }});

    std::vector<std::int64_t> versions;
    auto registration =
        client->addSnapshotListener(FirestoreQuery{"devices"}, [&](const Result<QuerySnapshot>& r) {
            ASSERT_TRUE(std::holds_alternative<QuerySnapshot>(r));
            versions.push_back(
                *std::get<QuerySnapshot>(r).documents.at(0).field("version")->as<std::int64_t>());
        });
    // The first stream's token expires under it: refreshed at once (no waiting on the clock) and
    // the second stream starts from the first one's resume token.
    ASSERT_TRUE(pumpUntil(loop, [&] { return versions.size() >= 2; }));
    EXPECT_EQ(versions, (std::vector<std::int64_t>{1, 2}));
    {
        std::lock_guard lock(database.mutex);
        EXPECT_EQ(database.listenTokens, (std::vector<std::string>{"token-1", "token-2"}));
        EXPECT_EQ(database.resumeTokens, (std::vector<std::string>{"", "resume-1"}));
        database.expired.insert("token-2");
    }

    // A write whose token is refused goes again, once, with a fresh one.
    std::optional<std::optional<Error>> written;
    client->setMerge("devices/A", {{"version", 3}}, [&](const std::optional<Error>& e) { written = e; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return written.has_value(); }));
    EXPECT_FALSE(written->has_value());
    {
        std::lock_guard lock(database.mutex);
        EXPECT_EQ(database.commitTokens, (std::vector<std::string>{"token-2", "token-3"}));
        // A refresh that is refused again is an error, not a loop.
        database.expired.insert("token-3");
        database.expired.insert("token-4");
    }
    written.reset();
    client->setMerge("devices/A", {{"version", 4}}, [&](const std::optional<Error>& e) { written = e; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return written.has_value(); }));
    ASSERT_TRUE(written->has_value());
    EXPECT_EQ((*written)->code, Unauthenticated);
    EXPECT_EQ(forced, 3);

    registration.remove();
    client.reset(); // cancels the stream, so the server can stop
    server->Shutdown(std::chrono::system_clock::now() + 5s);
}

} // namespace
