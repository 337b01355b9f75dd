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

TEST_F(FirestoreTest, AddGivesEachDocumentItsOwnGeneratedId) {
    std::vector<std::string> ids;
    for (int i = 0; i < 2; ++i) {
        std::optional<Result<std::string>> result;
        db->add("devices", {{"ownerEmail", email}, {"n", i}, {"created", ServerTimestamp{}}},
                [&](const Result<std::string>& r) { result = r; });
        ASSERT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
        ASSERT_TRUE(std::holds_alternative<std::string>(*result)) << std::get<Error>(*result).description();
        ids.push_back(std::get<std::string>(*result));
        EXPECT_EQ(ids.back().size(), 20u);
        EXPECT_EQ(*existing("devices/" + ids.back()).field("n"), Value(i));
    }
    EXPECT_NE(ids[0], ids[1]);
}

TEST_F(FirestoreTest, QueriesMatchEveryFieldGiven) {
    auto mac = device("mac");
    auto ipad = device("ipad");
    ASSERT_EQ(set(mac, {{"ownerEmail", email}, {"deviceType", "mac"}}), std::nullopt);
    ASSERT_EQ(set(ipad, {{"ownerEmail", email}, {"deviceType", "ipad"}}), std::nullopt);
    auto idOf = [](const std::string& path) { return path.substr(path.find('/') + 1); };
    auto mine = FirestoreQuery{"devices"}.where("ownerEmail", email);
    auto both = query(mine);
    std::sort(both.begin(), both.end());
    std::vector<std::string> expected{idOf(mac), idOf(ipad)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(both, expected);
    EXPECT_EQ(query(mine.where("deviceType", "mac")), std::vector<std::string>{idOf(mac)});
    EXPECT_TRUE(query(mine.where("deviceType", "tv")).empty());
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

TEST_F(FirestoreTest, BadPathsFailWithoutACall) {
    std::optional<std::optional<Error>> result;
    db->setMerge("devices", {{"a", 1}}, [&](const std::optional<Error>& e) { result = e; });
    loop.runPending();
    ASSERT_TRUE(result.has_value() && result->has_value());
    EXPECT_EQ((*result)->code, InvalidArgument);
    EXPECT_EQ((*result)->description(), "\"devices\" is a collection, not a document");
}

TEST_F(FirestoreTest, TransactionSeesWhetherTheDocumentExisted) {
    auto path = "users/" + email;
    std::vector<bool> sawDocument;
    auto run = [&](int visit) {
        std::optional<std::optional<Error>> result;
        db->mergeInTransaction(
            path,
            [&, visit](const Result<std::optional<Document>>& read) {
                auto* document = std::get_if<std::optional<Document>>(&read);
                sawDocument.push_back(document && document->has_value());
                Fields fields{{"visits", visit}, {"lastLoginAt", ServerTimestamp{}}};
                if (!document || !*document) {
                    fields.emplace("createdOn", ServerTimestamp{});
                }
                return fields;
            },
            [&](const std::optional<Error>& e) { result = e; });
        EXPECT_TRUE(pumpUntil(loop, [&] { return result.has_value(); }));
        EXPECT_EQ(result.value_or(Error{-1, "no answer"}), std::nullopt);
    };
    run(1);
    auto first = existing(path);
    run(2);
    auto second = existing(path);
    EXPECT_EQ(sawDocument, (std::vector<bool>{false, true}));
    EXPECT_EQ(*second.field("visits"), Value(2));
    EXPECT_EQ(*second.field("createdOn"), *first.field("createdOn"));
    EXPECT_NE(*second.field("lastLoginAt"), *first.field("lastLoginAt"));
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
