// The owner's access commands over the real control table, against the real access stores.
#include "app/control/access_commands.hpp"
#include "app/control/control_commands.hpp"
#include "support/access_host.hpp"

#include <gtest/gtest.h>

using namespace pelorn;

namespace {

struct AccessCommandsTest : ::testing::Test, test::AccessHost {
    AccessCommandsTest() : test::AccessHost(false) {}

    ControlResponse run(std::string command, std::vector<std::string> args = {},
                        std::optional<std::string> input = std::nullopt) {
        std::optional<ControlResponse> response;
        commands.dispatch({std::move(command), std::move(args), std::move(input)},
                          [&](ControlResponse r) { response = std::move(r); });
        // Setting a password finishes on the pool and replies on the loop.
        test::pumpUntil(loop, [&] { return response.has_value(); });
        EXPECT_TRUE(response) << "no reply";
        return response.value_or(ControlResponse::failure("no reply"));
    }

    std::optional<bool> askAbout(const std::string& deviceId) {
        approvals.request({"REQ-" + deviceId, deviceId, "iPad " + deviceId, "iPad13,4", "your network"},
                          [this](bool approved) { answer = approved; });
        return answer;
    }

    ControlCommands commands;
    test::LogCapture lines;
    Subscription announcements = registerAccessCommands(commands, services);
    std::optional<bool> answer;
};

TEST_F(AccessCommandsTest, PasswordSetReportsTheStoresVerdict) {
    auto tooShort = run("password", {"set"}, "abc");
    EXPECT_FALSE(tooShort.ok);
    EXPECT_EQ(tooShort.error, "Use at least 4 characters.");
    EXPECT_FALSE(passwords->isSet().get());

    auto set = run("password", {"set"}, "correct horse");
    EXPECT_TRUE(set.ok);
    EXPECT_TRUE(passwords->isSet().get());

    EXPECT_FALSE(run("password", {"set"}).ok); // nothing read from stdin
    EXPECT_FALSE(run("password", {"show"}, "x").ok);
}

TEST_F(AccessCommandsTest, PendingApprovalIsShownAnnouncedAndAnswered) {
    auto none = run("approvals");
    EXPECT_TRUE(none.ok);
    EXPECT_EQ(none.text, "no device is waiting for approval");
    EXPECT_FALSE(run("approve").ok);
    EXPECT_EQ(run("deny").error, "no device is waiting for approval");

    askAbout("A");
    EXPECT_TRUE(
        lines.contains("🔔 PELORN: \"iPad A\" (iPad13,4) asks to connect over your network - answer with: "
                       "pelornctl approve A | pelornctl deny A"));
    auto shown = run("approvals");
    EXPECT_EQ(shown.text, "device: iPad A\nmodel: iPad13,4\nid: A\nvia: your network");
    EXPECT_EQ(shown.data["deviceId"], "A");
    // Only the device named is answered: without a name, or for another request, nothing happens.
    EXPECT_FALSE(run("approve").ok);
    EXPECT_EQ(run("approve", {"B"}).error,
              "the waiting device is iPad A (id A), not B; nothing was answered");
    EXPECT_TRUE(approvals.pending().get());
    auto approved = run("approve", {"A"});
    EXPECT_TRUE(approved.ok);
    EXPECT_EQ(approved.text, "approved iPad A");
    EXPECT_EQ(answer, true);
    EXPECT_FALSE(approvals.pending().get());

    askAbout("B");
    EXPECT_EQ(run("deny", {"B"}).text, "denied iPad B");
    EXPECT_EQ(answer, false);
}

TEST_F(AccessCommandsTest, DevicesAreListedAndRemovalRevokes) {
    EXPECT_EQ(run("devices").text, "no approved devices");
    devices->approve("A", "iPad", "iPad13,4");
    devices->approve("B", "Phone", "iPhone15,2");
    devices->setConnected("B", true);
    loop.runPending(); // what the commands read is updated on the loop

    auto listed = run("devices");
    ASSERT_EQ(listed.data.size(), 2u);
    EXPECT_EQ(listed.data[0]["id"], "A");
    EXPECT_EQ(listed.data[0]["connected"], false);
    EXPECT_EQ(listed.data[1]["connected"], true);
    EXPECT_NE(listed.text.find("A  iPad  iPad13,4  last seen "), std::string::npos) << listed.text;
    EXPECT_NE(listed.text.find("B  Phone  iPhone15,2  connected  approved "), std::string::npos)
        << listed.text;

    std::vector<std::string> revoked;
    auto observer = center.observe(TrustedDeviceStore::revokedNotification, [&](const nlohmann::json& id) {
        revoked.push_back(id.get<std::string>());
    });
    auto unknown = run("devices", {"remove", "Z"});
    EXPECT_FALSE(unknown.ok);
    EXPECT_EQ(unknown.error, "no approved device has the id Z");
    EXPECT_TRUE(run("devices", {"remove", "A"}).ok);
    loop.runPending();
    EXPECT_EQ(revoked, std::vector<std::string>{"A"});
    EXPECT_FALSE(devices->device("A"));
    EXPECT_FALSE(run("devices", {"forget"}).ok);
}

} // namespace
