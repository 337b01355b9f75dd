// What the Listen stream's messages make of a watched query, for the messages the emulator does
// not send on demand: a reset, a disputed document count, a refused target, a stream cut between
// consistent points.
#include "cloud/firestore_watch.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::firestore;

namespace {

class WatchTargetsTest : public ::testing::Test {
protected:
    WatchTargetsTest() {
        auto request = targets.add(7, FirestoreQuery{"devices"}.where("deviceType", "mac"));
        id = request.add_target().target_id();
    }

    static api::ListenResponse change(api::TargetChange::TargetChangeType type, std::vector<int> ids,
                                      const std::string& token = "") {
        api::ListenResponse response;
        auto* change = response.mutable_target_change();
        change->set_target_change_type(type);
        for (int target : ids) {
            change->add_target_ids(target);
        }
        change->set_resume_token(token);
        return response;
    }
    // The point at which every current target is consistent.
    static api::ListenResponse consistent(const std::string& token = "") {
        auto response = change(api::TargetChange::NO_CHANGE, {}, token);
        response.mutable_target_change()->mutable_read_time()->set_seconds(1700000000);
        return response;
    }
    api::ListenResponse document(const std::string& name, int version, std::vector<int> ids) const {
        api::ListenResponse response;
        auto* change = response.mutable_document_change();
        change->mutable_document()->set_name(names.name("devices/" + name));
        (*change->mutable_document()->mutable_fields())["n"].set_integer_value(version);
        change->mutable_document()->mutable_update_time()->set_seconds(1700000000 + version);
        for (int target : ids) {
            change->add_target_ids(target);
        }
        return response;
    }
    api::ListenResponse count(int target, int documents) const {
        api::ListenResponse response;
        response.mutable_filter()->set_target_id(target);
        response.mutable_filter()->set_count(documents);
        return response;
    }

    // Feeds the messages; each snapshot handed out as its changes, "added A" and so on.
    std::vector<std::vector<std::string>> feed(const std::vector<api::ListenResponse>& responses) {
        std::vector<std::vector<std::string>> snapshots;
        for (const auto& response : responses) {
            for (auto& delivery : targets.onResponse(response, sent)) {
                EXPECT_EQ(delivery.listener, 7u);
                std::vector<std::string> lines;
                if (auto* error = std::get_if<Error>(&delivery.snapshot)) {
                    lines.push_back("error " + error->description());
                } else {
                    for (const auto& c : std::get<QuerySnapshot>(delivery.snapshot).changes) {
                        const char* kind = c.type == DocumentChange::Type::Added      ? "added "
                                           : c.type == DocumentChange::Type::Modified ? "modified "
                                                                                      : "removed ";
                        lines.push_back(kind + c.document.id());
                    }
                }
                snapshots.push_back(lines);
            }
        }
        return snapshots;
    }
    using Snapshots = std::vector<std::vector<std::string>>;

    // A and B handed out in the first snapshot.
    void startWithAB() {
        ASSERT_EQ(feed({document("A", 1, {id}), document("B", 1, {id}),
                        change(api::TargetChange::CURRENT, {id}, "t1"), consistent()}),
                  (Snapshots{{"added A", "added B"}}));
    }

    DatabaseNames names{"demo-pelorn"};
    WatchTargets targets{names};
    int id = 0;
    std::vector<api::ListenRequest> sent;
};

TEST_F(WatchTargetsTest, ChangesWaitForTheConsistentPoint) {
    EXPECT_EQ(feed({document("A", 1, {id}), consistent()}), Snapshots{}) << "not current yet";
    EXPECT_EQ(feed({change(api::TargetChange::CURRENT, {id}), consistent()}), (Snapshots{{"added A"}}));
    EXPECT_EQ(feed({document("B", 1, {id}), document("A", 2, {id})}), Snapshots{});
    EXPECT_EQ(feed({consistent()}), (Snapshots{{"modified A", "added B"}}));
    EXPECT_EQ(feed({consistent()}), Snapshots{}) << "nothing changed";
}

TEST_F(WatchTargetsTest, AResetForgetsWhatTheDatabaseDoesNotSendAgain) {
    startWithAB();
    EXPECT_EQ(feed({change(api::TargetChange::RESET, {id}), document("A", 1, {id}),
                    change(api::TargetChange::CURRENT, {id}), consistent()}),
              (Snapshots{{"removed B"}}));
}

TEST_F(WatchTargetsTest, ADisputedCountListensAfreshUnderANewTarget) {
    startWithAB();
    EXPECT_EQ(feed({count(id, 2)}), Snapshots{});
    EXPECT_TRUE(sent.empty()) << "the count agrees";

    EXPECT_EQ(feed({count(id, 1)}), Snapshots{});
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].remove_target(), id);
    int fresh = sent[1].add_target().target_id();
    EXPECT_NE(fresh, id);
    EXPECT_EQ(sent[1].add_target().resume_token(), "") << "from the start, not from the token";
    EXPECT_EQ(feed({document("A", 1, {fresh}), change(api::TargetChange::CURRENT, {fresh}), consistent()}),
              (Snapshots{{"removed B"}}));
}

TEST_F(WatchTargetsTest, ARefusedTargetEndsWithItsError) {
    auto refusal = change(api::TargetChange::REMOVE, {id});
    refusal.mutable_target_change()->mutable_cause()->set_code(PermissionDenied);
    refusal.mutable_target_change()->mutable_cause()->set_message("Missing or insufficient permissions.");
    EXPECT_EQ(feed({refusal}), (Snapshots{{"error Missing or insufficient permissions."}}));
    EXPECT_TRUE(targets.empty());
    // Our own removal's answer carries no cause and hands out nothing.
    auto again = targets.add(7, FirestoreQuery{"devices"});
    ASSERT_TRUE(targets.remove(7).has_value());
    EXPECT_EQ(feed({change(api::TargetChange::REMOVE, {again.add_target().target_id()})}), Snapshots{});
}

TEST_F(WatchTargetsTest, AReopenedStreamResumesFromTheLastSnapshotHandedOut) {
    startWithAB();
    // A newer token and a change arrive, but the stream is cut before the next consistent point.
    EXPECT_EQ(feed({document("C", 1, {id}), change(api::TargetChange::NO_CHANGE, {id}, "t2")}), Snapshots{});
    auto requests = targets.reopen();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].add_target().resume_token(), "t1");
    // What came after t1 comes again; C is new then, not before.
    EXPECT_EQ(feed({document("C", 1, {id}), change(api::TargetChange::CURRENT, {id}, "t3"), consistent()}),
              (Snapshots{{"added C"}}));
    EXPECT_EQ(targets.reopen()[0].add_target().resume_token(), "t3");
}

} // namespace
