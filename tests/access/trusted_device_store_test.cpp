#include "access/security.hpp"
#include "access/trusted_device_store.hpp"
#include "activity/event_log.hpp"
#include "core/file_secret_store.hpp"
#include "core/host_loop.hpp"
#include "core/json.hpp"
#include "core/notification_center.hpp"
#include "core/task_pool.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

using namespace pelorn;

namespace {

struct TrustedDevicesTest : ::testing::Test {
    std::shared_ptr<TrustedDeviceStore> open() {
        return TrustedDeviceStore::create(loop, secrets, *log, center);
    }
    nlohmann::json stored() {
        auto item = secrets.read(TrustedDeviceStore::service, TrustedDeviceStore::account);
        return *json::parse(std::string(item.data.begin(), item.data.end()));
    }
    std::vector<std::string> ids(const std::vector<TrustedDevice>& devices) {
        std::vector<std::string> out;
        for (auto& d : devices) {
            out.push_back(d.id);
        }
        return out;
    }

    test::TempDir dir;
    FileSecretStore secrets{dir / "secrets"};
    HostLoop loop{HostLoop::TimeMode::Manual};
    TaskPool pool{1};
    std::shared_ptr<EventLog> log = EventLog::create(loop, pool, std::nullopt);
    NotificationCenter center{loop};
    test::LogCapture lines;
};

} // namespace

TEST_F(TrustedDevicesTest, ReapprovingReplacesTheEntryMovesItLastAndChangesTheToken) {
    auto store = open();
    auto oldToken = store->approve("A", "iPad", "iPad13,1");
    loop.advance(std::chrono::seconds(10));
    store->approve("B", "iPad", "iPad14,2"); // same name, other id: a second entry
    loop.advance(std::chrono::seconds(10));
    auto newToken = store->approve("A", "Work iPad", "iPad13,1");
    EXPECT_EQ(newToken.size(), 32u);
    EXPECT_NE(oldToken, newToken);
    EXPECT_EQ(store->device("A")->token, newToken);
    EXPECT_EQ(store->device("A")->name, "Work iPad");
    loop.runPending();
    EXPECT_EQ(ids(store->devices().get()), (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(stored().size(), 2u);
    EXPECT_EQ(stored()[1]["id"], "A");
    EXPECT_TRUE(lines.contains("🔐 PELORN: approved device Work iPad (iPad13,1)"));
}

TEST_F(TrustedDevicesTest, ListSurvivesARestartInItsStoredForm) {
    loop.setWallTime(std::chrono::system_clock::from_time_t(978307200 + 50));
    Bytes token;
    {
        auto store = open();
        token = store->approve("A", "iPad", "iPad13,1");
    }
    auto j = stored()[0];
    EXPECT_DOUBLE_EQ(j["approvedAt"].get<double>(), 50.0);
    EXPECT_EQ(j["token"].get<std::string>().size(), 44u);
    auto reopened = open();
    ASSERT_TRUE(reopened->device("A"));
    EXPECT_EQ(reopened->device("A")->token, token);
    EXPECT_EQ(reopened->devices().get().size(), 1u);
    EXPECT_TRUE(reopened->connected().get().empty());
}

TEST_F(TrustedDevicesTest, RemovingRecordsItClearsConnectedAndPostsTheRevocation) {
    auto store = open();
    store->approve("A", "iPad", "m");
    store->setConnected("A", true);
    loop.runPending();
    EXPECT_EQ(store->connected().get(), std::set<std::string>{"A"});
    std::vector<std::string> revoked;
    auto sub =
        center.observe("pelornDeviceRevoked", [&](const nlohmann::json& id) { revoked.push_back(id); });
    store->remove("A");
    store->remove("never-approved");
    loop.runPending();
    EXPECT_EQ(revoked, (std::vector<std::string>{"A", "never-approved"}));
    EXPECT_TRUE(store->connected().get().empty());
    EXPECT_FALSE(store->device("A"));
    EXPECT_EQ(stored(), nlohmann::json::array());
    // Only the device that was there is recorded as removed.
    ASSERT_EQ(log->events().get().size(), 1u);
    EXPECT_EQ(log->events().get()[0].sentence(), "iPad removed from this Mac");
    EXPECT_TRUE(lines.contains("🔐 PELORN: removed device never-approved"));
}

TEST_F(TrustedDevicesTest, NoItemOrAnUndecodableItemStartsEmptyAndQuietly) {
    EXPECT_TRUE(open()->devices().get().empty());
    std::string bad =
        R"([{"id":"A","name":"n","model":"m","approvedAt":0,"lastSeenAt":0,"token":"not base64!"}])";
    secrets.write(TrustedDeviceStore::service, TrustedDeviceStore::account, Bytes(bad.begin(), bad.end()));
    auto store = open();
    EXPECT_FALSE(store->device("A"));
    EXPECT_TRUE(lines.lines().empty());
    store->approve("B", "n", "m");
    EXPECT_EQ(stored().size(), 1u); // the next save replaces the bad item
}
