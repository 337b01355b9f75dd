#include "access/master_password_store.hpp"
#include "core/file_secret_store.hpp"
#include "core/host_loop.hpp"
#include "core/json.hpp"
#include "core/task_pool.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

using namespace pelorn;
using Failure = MasterPasswordStore::Failure;

namespace {

// Lets a test make the secret store refuse writes.
class SwitchableStore final : public SecretStore {
public:
    explicit SwitchableStore(std::filesystem::path dir) : mFiles(std::move(dir)) {}
    ReadResult read(const std::string& s, const std::string& a) override { return mFiles.read(s, a); }
    WriteResult write(const std::string& s, const std::string& a, std::span<const std::uint8_t> d) override {
        if (refuseWrites) {
            return {false, -61, "refused by the test"};
        }
        return mFiles.write(s, a, d);
    }
    bool remove(const std::string& s, const std::string& a) override { return mFiles.remove(s, a); }
    const char* backendName() const override { return "test"; }
    bool refuseWrites = false;

private:
    FileSecretStore mFiles;
};

struct MasterPasswordTest : ::testing::Test {
    std::optional<Failure> set(MasterPasswordStore& store, const std::string& password) {
        std::optional<std::optional<Failure>> outcome;
        store.setPassword(password, [&](std::optional<Failure> f) { outcome = f; });
        while (!outcome) {
            pool.waitIdle();
            loop.runPending();
        }
        return *outcome;
    }
    bool verifies(const MasterPasswordStore::Record& record, const std::string& password) {
        return deriveVerifierKey(password, record.salt, record.rounds) == record.key;
    }

    test::TempDir dir;
    SwitchableStore secrets{dir / "secrets"};
    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
    test::LogCapture log;
};

} // namespace

TEST_F(MasterPasswordTest, ThreeCharactersAreTooShortAndFourAreEnough) {
    auto store = MasterPasswordStore::create(loop, pool, secrets);
    EXPECT_EQ(set(*store, "abc"), Failure::TooShort);
    EXPECT_EQ(MasterPasswordStore::text(Failure::TooShort), "Use at least 4 characters.");
    EXPECT_FALSE(store->isSet().get());
    // Four user-perceived characters, though seven code points.
    EXPECT_EQ(set(*store, "e\xcc\x81"
                          "e\xcc\x81"
                          "e\xcc\x81"
                          "\xf0\x9f\x98\x80"),
              std::nullopt);
    EXPECT_TRUE(store->isSet().get());
    EXPECT_TRUE(log.contains("🔐 PELORN: master password set"));
}

TEST_F(MasterPasswordTest, SettingTwiceMakesANewSaltAndOnlyTheNewPasswordVerifies) {
    auto store = MasterPasswordStore::create(loop, pool, secrets);
    ASSERT_EQ(set(*store, "first password"), std::nullopt);
    auto first = *store->currentRecord();
    ASSERT_EQ(set(*store, "second password"), std::nullopt);
    auto second = *store->currentRecord();
    EXPECT_EQ(second.rounds, 600000u);
    EXPECT_EQ(second.salt.size(), 32u);
    EXPECT_NE(first.salt, second.salt);
    EXPECT_NE(first.key, second.key);
    EXPECT_TRUE(verifies(second, "second password"));
    EXPECT_FALSE(verifies(second, "first password"));
}

TEST_F(MasterPasswordTest, RecordSurvivesARestartInItsStoredForm) {
    loop.setWallTime(std::chrono::system_clock::from_time_t(978307200 + 1000));
    {
        auto store = MasterPasswordStore::create(loop, pool, secrets);
        ASSERT_EQ(set(*store, "hunter22"), std::nullopt);
    }
    auto item = secrets.read(MasterPasswordStore::service, MasterPasswordStore::account);
    ASSERT_EQ(item.status, SecretStore::Status::Ok);
    auto stored = *json::parse(std::string(item.data.begin(), item.data.end()));
    EXPECT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored["rounds"], 600000);
    EXPECT_DOUBLE_EQ(stored["updatedAt"].get<double>(), 1000.0);
    EXPECT_EQ(stored["salt"].get<std::string>().size(), 44u); // 32 bytes in Base64

    auto reopened = MasterPasswordStore::create(loop, pool, secrets);
    EXPECT_TRUE(reopened->isSet().get());
    EXPECT_EQ(reopened->updatedAt().get(), std::chrono::system_clock::from_time_t(978307200 + 1000));
    EXPECT_TRUE(verifies(*reopened->currentRecord(), "hunter22"));
}

TEST_F(MasterPasswordTest, AKeychainWriteFailureKeepsTheOldVerifier) {
    auto store = MasterPasswordStore::create(loop, pool, secrets);
    ASSERT_EQ(set(*store, "original"), std::nullopt);
    auto before = *store->currentRecord();
    auto updatedBefore = store->updatedAt().get();
    secrets.refuseWrites = true;
    loop.advance(std::chrono::seconds(5));
    EXPECT_EQ(set(*store, "replacement"), Failure::Keychain);
    EXPECT_EQ(*store->currentRecord(), before);
    EXPECT_EQ(store->updatedAt().get(), updatedBefore);
    EXPECT_TRUE(store->isSet().get());
    EXPECT_TRUE(log.contains("🔐 PELORN KEYCHAIN: write verifier failed: -61"));
    // And a restart still finds the old one.
    EXPECT_TRUE(verifies(*MasterPasswordStore::create(loop, pool, secrets)->currentRecord(), "original"));
}

TEST_F(MasterPasswordTest, MissingOrUnreadableItemMeansNoPasswordWithoutALogLine) {
    EXPECT_FALSE(MasterPasswordStore::create(loop, pool, secrets)->isSet().get());
    for (const std::string bad : {"not json", R"({"salt":"AA==","key":"AA==","rounds":1})",
                                  R"({"salt":"AA==","key":"AA==","rounds":-1,"updatedAt":0})",
                                  R"({"salt":"!!","key":"AA==","rounds":1,"updatedAt":0})"}) {
        ASSERT_TRUE(secrets
                        .write(MasterPasswordStore::service, MasterPasswordStore::account,
                               Bytes(bad.begin(), bad.end()))
                        .ok);
        auto store = MasterPasswordStore::create(loop, pool, secrets);
        EXPECT_FALSE(store->isSet().get()) << bad;
        EXPECT_FALSE(store->currentRecord()) << bad;
    }
    EXPECT_TRUE(log.lines().empty());
}
