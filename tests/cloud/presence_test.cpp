// The presence record and the owner's profile, written by the real services through a user signed
// in at the Firebase Auth emulator into the Cloud Firestore emulator (with the project's rules), and
// read back from there.
#include "cloud/firebase_auth.hpp"
#include "cloud/firestore_fixture.hpp"
#include "cloud/presence_service.hpp"
#include "cloud/user_profile_service.hpp"
#include "core/file_secret_store.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"

using namespace pelorn;
using namespace pelorn::test;
using namespace pelorn::firestore;
using namespace std::chrono_literals;

namespace {

class PresenceTest : public FirestoreTest {
protected:
    void SetUp() override {
        FirestoreTest::SetUp();
        if (IsSkipped() || HasFailure()) {
            return;
        }
        PELORN_NEED_AUTH_EMULATOR(authHost);
        auth = std::make_unique<FirebaseAuth>(
            FirebaseAuth::Dependencies{loop, pool, secrets, "fake-api-key", authEmulatorEndpoints(*authHost),
                                       [this](const HttpRequest& r) {
                                           if (r.url.find("/v1/token") != std::string::npos) {
                                               ++refreshes;
                                           }
                                           return performHttp(r);
                                       }});
        // The account's address as Google spells it; the records use it in lower case.
        spelled = "Ann." + email;
        auto user = startSignedIn(loop, *auth, googleIdToken(uniqueName("sub"), spelled, "Ann Example"));
        ASSERT_TRUE(std::holds_alternative<CloudUser>(user)) << std::get<std::string>(user);
        uid = std::get<CloudUser>(user).uid;
        email = "ann." + email;
        settings.set("userEmail", spelled);
        settings.set("userName", "Ann Example");
        db = std::make_unique<Firestore>(
            Firestore::Dependencies{loop, "demo-pelorn", target, true,
                                    [this](bool force, std::function<void(std::optional<std::string>)> done) {
                                        auth->idTokenForRequest(force, std::move(done));
                                    }});
        deviceId = uniqueName("DEVICE-");
    }

    std::unique_ptr<PresenceService> presence(Firestore* database) {
        return std::make_unique<PresenceService>(PresenceService::Dependencies{
            loop, settings, database, auth.get(), [this] { return deviceId; }, [this] { return hardwareId; },
            [this] { return computer; }, [this] { return online; }});
    }

    bool logged(const std::string& line) {
        return pumpUntil(loop, [&] { return log.contains(line); });
    }
    // Lets every write made so far land.
    void settle() { EXPECT_TRUE(db->flushWrites(10s)); }
    // Runs the clean-up to its end: its query read, then its deletions.
    void cleanUp(PresenceService& service) {
        auto reads = db->usage().documentReads;
        service.cleanupStaleRecords();
        EXPECT_TRUE(pumpUntil(loop, [&] { return db->usage().documentReads > reads; }));
        settle();
    }

    std::string presenceLine(bool up) {
        return "✅ Presence " + std::string(up ? "online" : "offline") + " for " + computer +
               " - owner=" + email + " uid=" + uid;
    }

    LogCapture log;
    TempDir dir;
    FileSecretStore secrets{dir / "secrets"};
    Settings settings{std::nullopt};
    std::unique_ptr<FirebaseAuth> auth;
    std::string spelled;
    std::string uid;
    std::string deviceId;
    std::optional<std::string> hardwareId = "HW-1";
    std::string computer = "office-pc";
    bool online = false;
    std::atomic<int> refreshes{0};
    TaskPool pool{2};
};

TEST_F(PresenceTest, OnlineRecordHeartbeatAndOfflineRecord) {
    auto service = presence(db.get());
    service->publish(true);
    ASSERT_TRUE(logged(presenceLine(true)));
    auto first = existing("devices/" + deviceId);
    EXPECT_EQ(first.fields, (Fields{{"deviceId", deviceId},
                                    {"deviceName", "office-pc"},
                                    {"deviceType", "mac"},
                                    {"hardwareId", "HW-1"},
                                    {"online", true},
                                    {"ownerEmail", email},
                                    {"timestamp", *first.field("timestamp")->as<Timestamp>()}}));

    // The heartbeat writes it again every 30 s, through an ID token that expires on the way (the
    // client refreshes it before it runs out).
    service->startHeartbeat();
    log.clear();
    loop.advance(30s);
    ASSERT_TRUE(logged(presenceLine(true)));
    settle();
    auto writes = db->usage().documentWrites;
    EXPECT_EQ(writes, 2u);
    for (int beat = 0; beat < 120; ++beat) {
        loop.advance(30s);
        settle();
    }
    EXPECT_EQ(db->usage().documentWrites, writes + 120);
    EXPECT_GE(refreshes, 1);
    EXPECT_GT(*existing("devices/" + deviceId).field("timestamp")->as<Timestamp>(),
              *first.field("timestamp")->as<Timestamp>());

    service->stopHeartbeat();
    service->publish(false);
    ASSERT_TRUE(logged(presenceLine(false)));
    writes = db->usage().documentWrites;
    loop.advance(5min);
    settle();
    EXPECT_EQ(db->usage().documentWrites, writes);
    EXPECT_EQ(*existing("devices/" + deviceId).field("online"), Value(false));
}

TEST_F(PresenceTest, NothingIsWrittenSignedOutOrWithoutTheCloud) {
    struct Case {
        std::string what;
        std::string userEmail;
        Firestore* database;
        std::vector<std::string> lines;
    };
    std::vector<Case> cases{
        {"signed out", "", db.get(), {"⚠️ Presence skipped - no signed-in account."}},
        {"no cloud configuration", email, nullptr, {}},
    };
    for (const auto& c : cases) {
        settings.set("userEmail", c.userEmail);
        log.clear();
        auto service = presence(c.database);
        service->publish(true);
        service->cleanupStaleRecords();
        settle();
        EXPECT_EQ(log.lines(), c.lines) << c.what;
        EXPECT_EQ(db->usage().documentWrites + db->usage().documentReads, 0u) << c.what;
    }
}

TEST_F(PresenceTest, AFailedWriteIsReportedWithTheOwnerAndUid) {
    // The signed-in account is not the one in the settings: the rules refuse the record.
    settings.set("userEmail", "someone-else@example.com");
    presence(db.get())->publish(true);
    ASSERT_TRUE(pumpUntil(loop, [&] { return !log.lines().empty(); }));
    auto line = log.lines()[0];
    EXPECT_EQ(
        line.rfind("⚠️ Presence write failed (owner=someone-else@example.com uid=" + uid + "): ", 0), 0u)
        << line;
}

TEST_F(PresenceTest, TheAuthListenerPublishesOnlyWhileOnline) {
    auto offline = presence(db.get());
    loop.runPending();
    online = true;
    auto up = presence(db.get()); // hears the signed-in user at once
    ASSERT_TRUE(logged("🔁 Firebase auth ready (uid=" + uid + ") - re-publishing presence"));
    ASSERT_TRUE(logged(presenceLine(true)));
    settle();
    EXPECT_EQ(log.count("🔁 Firebase auth ready (uid=" + uid + ") - re-publishing presence"), 1);
    EXPECT_EQ(db->usage().documentWrites, 1u);
}

TEST_F(PresenceTest, StaleRecordsOfThisComputerAreRemoved) {
    // The database keeps microseconds: a whole second keeps "exactly 600 s old" exact.
    loop.setWallTime(std::chrono::floor<std::chrono::seconds>(loop.wallNow()));
    auto now = loop.wallNow();
    auto record = [&](std::optional<std::string> hardware, std::optional<std::string> name,
                      std::optional<std::chrono::seconds> age) {
        Fields fields{{"ownerEmail", email}, {"deviceType", "mac"}};
        if (hardware) {
            fields.emplace("hardwareId", *hardware);
        }
        if (name) {
            fields.emplace("deviceName", *name);
        }
        if (age) {
            fields.emplace("timestamp", Timestamp(now - *age));
        }
        return fields;
    };
    struct Case {
        std::string id;
        Fields fields;
        bool removed;
    };
    std::vector<Case> cases{
        {deviceId, record("HW-1", "office-pc", 3600s), false}, // this computer's live record
        {"same-hardware", record("HW-1", "elsewhere", 5s), true},
        {"other-hardware-same-name", record("HW-2", "office-pc", 3600s), false},
        {"unnamed-hardware-601s", record(std::nullopt, "Office-PC", 601s), true},
        {"unnamed-hardware-600s", record(std::nullopt, "office-pc", 600s), false},
        {"unnamed-hardware-other-name", record(std::nullopt, "laptop", 3600s), false},
        {"unnamed-hardware-no-time", record(std::nullopt, "office-pc", std::nullopt), true},
    };
    for (auto& c : cases) {
        if (c.id != deviceId) {
            c.id = deviceId + "-" + c.id;
        }
        ASSERT_EQ(set("devices/" + c.id, c.fields), std::nullopt) << c.id;
    }
    cleanUp(*presence(db.get()));
    for (const auto& c : cases) {
        EXPECT_EQ(log.contains("🧹 Removed stale record " + c.id + " left by this Mac"), c.removed) << c.id;
    }
    auto left = query(FirestoreQuery{"devices"}.where("ownerEmail", email));
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        if (!c.removed) {
            expected.push_back(c.id);
        }
    }
    std::sort(left.begin(), left.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);

    // Without a hardware id of its own, a computer leaves every record that has one.
    hardwareId.reset();
    ASSERT_EQ(set("devices/" + deviceId + "-again", record("HW-1", "office-pc", 3600s)), std::nullopt);
    log.clear();
    cleanUp(*presence(db.get()));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PresenceTest, TheProfileKeepsItsFirstLoginAcrossSignIns) {
    UserProfileService profile(
        {settings, db.get(), auth.get(), "0.1.0 (0.1.0)", "Debian GNU/Linux 12, Linux 6.1", "FR"});
    profile.installAuthListener(); // signed in already: publishes at once
    ASSERT_TRUE(logged("✅ User profile published for " + email));
    auto first = existing("users/" + email);
    auto stamp = [&](const Document& d, const char* name) { return *d.field(name)->as<Timestamp>(); };
    Fields expected{{"uid", uid},
                    {"email", email},
                    {"displayName", "Ann Example"},
                    {"country", "FR"},
                    {"lastPlatform", "mac"},
                    {"macAppVersion", "0.1.0 (0.1.0)"},
                    {"macOSVersion", "Debian GNU/Linux 12, Linux 6.1"}};
    for (const char* name : {"lastLoginAt", "updatedAt", "createdOn", "firstLoginAt"}) {
        expected.emplace(name, stamp(first, name));
    }
    EXPECT_EQ(first.fields, expected);

    log.clear();
    profile.installAuthListener(); // a second install does nothing
    profile.publishProfile();
    ASSERT_TRUE(logged("✅ User profile published for " + email));
    EXPECT_EQ(log.count("✅ User profile published for " + email), 1);
    auto second = existing("users/" + email);
    EXPECT_EQ(stamp(second, "createdOn"), stamp(first, "createdOn"));
    EXPECT_EQ(stamp(second, "firstLoginAt"), stamp(first, "firstLoginAt"));
    EXPECT_GT(stamp(second, "lastLoginAt"), stamp(first, "lastLoginAt"));
}

} // namespace
