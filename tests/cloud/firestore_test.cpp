// The Firestore client against the real Cloud Firestore emulator, running the project's security
// rules: writes and reads of every value type, merges, generated ids, queries, transactions, the
// rules' refusals.
#include "cloud/firestore_fixture.hpp"

using namespace pelorn;
using namespace pelorn::test;
using namespace pelorn::firestore;
using namespace std::chrono_literals;

namespace {

TEST_F(FirestoreTest, EveryValueTypeReadsBackAsWritten) {
    auto path = device("types");
    Timestamp instant{std::chrono::seconds(1700000000) + std::chrono::nanoseconds(123456000)};
    Fields fields{
        {"ownerEmail", email},
        {"null", Null{}},
        {"yes", true},
        {"count", std::int64_t{-9007199254740993}},
        {"ratio", 0.25},
        {"at", instant},
        {"text", "naïve ✅"},
        {"bytes", Bytes{std::string("\0\x01\xff", 3)}},
        {"ref", Reference{"users/somebody@example.com"}},
        {"place", GeoPoint{48.85, 2.35}},
        {"list", Array{1, "two", Null{}, Map{{"three", 3}}}},
        {"emptyList", Array{}},
        {"map", Map{{"inner", Map{{"deep", false}}}, {"empty", Map{}}}},
        {"odd name.with dots", "quoted"},
    };
    ASSERT_EQ(set(path, fields), std::nullopt);
    EXPECT_EQ(existing(path).fields, fields);
}

TEST_F(FirestoreTest, MergeKeepsOtherFieldsAndServerTimestampsAreTheWriteTime) {
    auto path = device("merge");
    ASSERT_EQ(
        set(path, {{"ownerEmail", email}, {"a", 1}, {"info", Map{{"os", "Debian"}, {"arch", "x86_64"}}}}),
        std::nullopt);
    auto before = loop.wallNow();
    ASSERT_EQ(set(path, {{"ownerEmail", email},
                         {"b", 2},
                         {"info", Map{{"os", "Debian 12"}, {"seen", ServerTimestamp{}}}},
                         {"timestamp", ServerTimestamp{}}}),
              std::nullopt);
    auto document = existing(path);
    EXPECT_EQ(*document.field("a"), Value(1));
    EXPECT_EQ(*document.field("b"), Value(2));
    auto* info = document.field("info")->as<Map>();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->at("os"), Value("Debian 12"));
    EXPECT_EQ(info->at("arch"), Value("x86_64"));
    auto* stamp = document.field("timestamp")->as<Timestamp>();
    ASSERT_NE(stamp, nullptr);
    // The emulator's clock is this machine's; the manual loop's wall time started at the real one.
    EXPECT_LT(std::chrono::abs(*stamp - before), 60s);
    EXPECT_EQ(info->at("seen"), Value(*stamp)) << "one write, one time";
}

TEST_F(FirestoreTest, RulesRefuseAnotherOwnersDocumentsAndAnonymousCalls) {
    auto stranger = "someone-else@example.com";
    struct Case {
        std::string what;
        std::function<std::optional<Error>()> attempt;
    };
    auto anonymous = make(std::nullopt);
    std::vector<Case> cases{
        {"a presence record naming another owner",
         [&] {
             return set(device("theirs"), {{"ownerEmail", stranger}});
         }},
        {"another owner's profile",
         [&] {
             return set("users/" + std::string(stranger), {{"uid", "x"}});
         }},
        {"a write without credentials",
         [&] {
             return set(*anonymous, device("anon"), {{"ownerEmail", email}});
         }},
    };
    for (const auto& c : cases) {
        auto error = c.attempt();
        ASSERT_TRUE(error.has_value()) << c.what;
        EXPECT_EQ(error->code, PermissionDenied) << c.what;
        EXPECT_NE(error->description(), "") << c.what;
    }
    // A query that could return others' records is refused as a whole.
    std::optional<Result<std::vector<Document>>> result;
    db->getDocuments(FirestoreQuery{"devices"}.where("deviceType", "mac"),
                     [&](const Result<std::vector<Document>>& r) { result = r; });
    ASSERT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
    ASSERT_TRUE(std::holds_alternative<Error>(*result));
    EXPECT_EQ(std::get<Error>(*result).code, PermissionDenied);
}

TEST_F(FirestoreTest, WritesLandInTheOrderMadeAndWaitingMergesJoin) {
    auto first = device("first");
    auto second = device("second");
    std::vector<int> finished;
    auto write = [&](const std::string& path, int i) {
        db->setMerge(path, {{"ownerEmail", email}, {"n", i}, {"map", Map{{"k" + std::to_string(i % 2), i}}}},
                     [&finished, i](const std::optional<Error>& e) {
                         EXPECT_EQ(e, std::nullopt);
                         finished.push_back(i);
                     });
    };
    // Taking turns, each is its own write; into one document, those that wait become one.
    for (int i = 1; i <= 10; ++i) {
        write(i % 2 ? first : second, i);
    }
    for (int i = 11; i <= 20; ++i) {
        write(first, i);
    }
    ASSERT_TRUE(pumpUntil(loop, [&] { return finished.size() == 20; }));
    EXPECT_TRUE(std::is_sorted(finished.begin(), finished.end()));
    EXPECT_EQ(db->usage().documentWrites, 11u);
    auto document = existing(first);
    EXPECT_EQ(*document.field("n"), Value(20));
    EXPECT_EQ(*document.field("map"), Value(Map{{"k0", 20}, {"k1", 19}}));
    EXPECT_EQ(*existing(second).field("n"), Value(10));
}

} // namespace
