// Snapshot listeners on the Listen stream of the real Cloud Firestore emulator: existing documents
// first, then each change as another client makes it; refusals; an emulator that goes away and
// comes back under a listening client.
#include "cloud/firestore_fixture.hpp"

using namespace pelorn;
using namespace pelorn::test;
using namespace pelorn::firestore;
using namespace std::chrono_literals;

namespace {

std::string nameOf(const Document& document) {
    const auto* name = document.string("name");
    return name ? *name : "?";
}

// What a listener heard, each snapshot's changes as "added A", "modified A", "removed A".
struct Heard {
    std::vector<std::vector<std::string>> changes;
    std::vector<std::vector<std::string>> documents;
    std::vector<Error> errors;

    Firestore::SnapshotListener listener() {
        return [this](const Result<QuerySnapshot>& result) {
            if (auto* error = std::get_if<Error>(&result)) {
                errors.push_back(*error);
                return;
            }
            const auto& snapshot = std::get<QuerySnapshot>(result);
            std::vector<std::string> lines;
            for (const auto& change : snapshot.changes) {
                const char* kind = change.type == DocumentChange::Type::Added      ? "added "
                                   : change.type == DocumentChange::Type::Modified ? "modified "
                                                                                   : "removed ";
                lines.push_back(kind + nameOf(change.document));
            }
            std::sort(lines.begin(), lines.end());
            changes.push_back(lines);
            std::vector<std::string> names;
            for (const auto& document : snapshot.documents) {
                names.push_back(nameOf(document));
            }
            std::sort(names.begin(), names.end());
            documents.push_back(names);
        };
    }
};

class FirestoreListenTest : public FirestoreTest {
protected:
    FirestoreQuery macs() const {
        return FirestoreQuery{"devices"}.where("ownerEmail", email).where("deviceType", "mac");
    }

    std::string path(const std::string& name) { return "devices/" + prefix + name; }
    std::optional<Error> put(Firestore& writer, const std::string& name, const std::string& type, int n = 1) {
        return set(writer, path(name),
                   {{"ownerEmail", email}, {"deviceType", type}, {"name", name}, {"n", n}});
    }

    bool heardChanges(const Heard& heard, std::size_t count) {
        return pumpUntil(loop, [&] { return heard.changes.size() >= count; });
    }

    std::string prefix = uniqueName("listen") + "-";
};

TEST_F(FirestoreListenTest, ExistingDocumentsComeFirstThenEachChangeAsAnotherClientMakesIt) {
    ASSERT_EQ(put(*db, "A", "mac"), std::nullopt);
    ASSERT_EQ(put(*db, "B", "mac"), std::nullopt);
    ASSERT_EQ(put(*db, "X", "ipad"), std::nullopt);
    Heard heard;
    auto registration = db->addSnapshotListener(macs(), heard.listener());
    ASSERT_TRUE(heardChanges(heard, 1));

    auto other = make(token);
    struct Step {
        std::function<std::optional<Error>()> write;
        std::vector<std::string> changes;
        std::vector<std::string> documents;
    };
    std::vector<Step> steps{
        {[&] { return put(*other, "C", "mac"); }, {"added C"}, {"A", "B", "C"}},
        {[&] { return put(*other, "A", "mac", 2); }, {"modified A"}, {"A", "B", "C"}},
        {[&] { return put(*other, "B", "ipad"); }, {"removed B"}, {"A", "C"}},
        {[&] {
             std::optional<std::optional<Error>> done;
             other->deleteDocument(path("C"), [&](const std::optional<Error>& e) { done = e; });
             EXPECT_TRUE(pumpUntil(loop, [&] { return done.has_value(); }));
             return done.value_or(Error{-1, "no answer"});
         },
         {"removed C"},
         {"A"}},
    };
    EXPECT_EQ(heard.changes[0], (std::vector<std::string>{"added A", "added B"}));
    for (std::size_t i = 0; i < steps.size(); ++i) {
        ASSERT_EQ(steps[i].write(), std::nullopt) << "step " << i;
        ASSERT_TRUE(heardChanges(heard, i + 2)) << "step " << i;
        EXPECT_EQ(heard.changes[i + 1], steps[i].changes) << "step " << i;
        EXPECT_EQ(heard.documents[i + 1], steps[i].documents) << "step " << i;
    }

    // A removed listener hears nothing more: a later listener's first snapshot already holds D.
    registration.remove();
    ASSERT_EQ(put(*other, "D", "mac"), std::nullopt);
    Heard later;
    auto second = db->addSnapshotListener(macs(), later.listener());
    ASSERT_TRUE(heardChanges(later, 1));
    EXPECT_EQ(later.documents[0], (std::vector<std::string>{"A", "D"}));
    EXPECT_EQ(heard.changes.size(), steps.size() + 1);
    EXPECT_TRUE(heard.errors.empty());
}

TEST_F(FirestoreListenTest, AQueryTheRulesRefuseEndsWithAnErrorWhileOthersGoOn) {
    Heard refused;
    Heard mine;
    auto bad =
        db->addSnapshotListener(FirestoreQuery{"devices"}.where("deviceType", "mac"), refused.listener());
    auto good = db->addSnapshotListener(macs(), mine.listener());
    ASSERT_TRUE(pumpUntil(loop, [&] { return !refused.errors.empty() && !mine.changes.empty(); }));
    EXPECT_EQ(refused.errors[0].code, PermissionDenied);
    ASSERT_EQ(put(*db, "A", "mac"), std::nullopt);
    ASSERT_TRUE(heardChanges(mine, 2));
    EXPECT_EQ(mine.changes[1], std::vector<std::string>{"added A"});
    EXPECT_TRUE(refused.changes.empty());
    EXPECT_EQ(refused.errors.size(), 1u);
}

} // namespace

namespace {

TEST_F(FirestoreListenTest, AListenerCarriesOnAcrossAnEmulatorRestart) {
    TempDir folder;
    FirestoreEmulatorProcess emulator(folder.path());
    target = emulator.start();
    ASSERT_NE(target, "") << "the private emulator did not start";
    db = make(token);
    ASSERT_EQ(put(*db, "A", "mac"), std::nullopt);
    Heard heard;
    LogCapture log;
    auto registration = db->addSnapshotListener(macs(), heard.listener());
    ASSERT_TRUE(heardChanges(heard, 1));
    EXPECT_EQ(heard.documents[0], std::vector<std::string>{"A"});

    emulator.stop();
    auto ended = [&] {
        for (const auto& line : log.lines()) {
            if (line.find("⚠️ Firestore: the listen stream ended") == 0) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(pumpUntil(loop, ended, 20s));
    // Attempts while it is down fail and wait longer each time.
    loop.advance(1s);
    ASSERT_TRUE(pumpUntil(
        loop, [&] { return log.lines().size() >= 2; }, 20s));
    ASSERT_NE(emulator.start(emulator.port()), "") << "the private emulator did not start again";

    // The new emulator starts empty: A is gone, and another client writes B.
    auto other = make(token);
    ASSERT_EQ(put(*other, "B", "mac"), std::nullopt);
    ASSERT_TRUE(pumpUntil(
        loop,
        [&] {
            loop.advance(1s);
            return heard.changes.size() >= 2;
        },
        60s));
    EXPECT_EQ(heard.documents.back(), std::vector<std::string>{"B"});
    EXPECT_EQ(heard.changes[1], (std::vector<std::string>{"added B", "removed A"}));
}

} // namespace
