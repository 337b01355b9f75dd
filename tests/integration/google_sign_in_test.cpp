// The real host signs in with Google from pelornctl: a loopback fake of Google's OAuth endpoints,
// the test as the browser, the Firebase Auth emulator as the cloud. With it, the host keeps the
// owner's profile and its own presence record in the Cloud Firestore emulator, until the owner
// deletes the account (the backend's function a loopback stub).
#include "account/oauth_callback_server.hpp"
#include "core/uuid.hpp"
#include "integration/host_harness.hpp"
#include "support/emulators.hpp"
#include "support/fake_google.hpp"
#include "support/http_stub.hpp"

#include <fstream>
#include <future>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

nlohmann::json account(const Home& home) {
    return statusJson(home)["account"];
}

// A document as the emulator holds it, read past the security rules; null when there is none.
nlohmann::json stored(const std::string& emulator, const std::string& path) {
    auto reply =
        performHttp({"GET",
                     "http://" + emulator + "/v1/projects/demo-pelorn/databases/(default)/documents/" + path,
                     {"Authorization: Bearer owner"},
                     {}});
    if (reply.status != 200) {
        return nullptr;
    }
    return nlohmann::json::parse(reply.body, nullptr, false)["fields"];
}

bool eventually(const std::function<bool()>& done, int tries = 200) {
    for (int i = 0; i < tries; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// The cloud project's file in the host's configuration folder, which it returns.
std::filesystem::path configureCloud(Home& home) {
    auto folder = home.dir / "config/pelorn";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "google-services.json")
        << R"({"project_info":{"project_id":"demo-pelorn"},"client":[{"client_info":{"mobilesdk_app_id":"1:1:android:1"},)"
           R"("api_key":[{"current_key":"fake-api-key"}]}]})";
    return folder;
}

TEST(HostSignIn, GoogleSignInFromPelornctlReachesTheCloudAndLastsUntilTheAccountIsDeleted) {
    PELORN_NEED_AUTH_EMULATOR(emulator);
    PELORN_NEED_FIRESTORE_EMULATOR(firestore);
    FakeGoogle google;
    // The backend's deleteAccount function.
    std::atomic<int> deletions{0};
    HttpStub functions([&](const HttpStub::Request& request) {
        deletions += request.target == "/deleteAccount" && knownCaller(*emulator, request.authorization);
        return HttpStub::Reply{200, R"({"ok":true})"};
    });
    Home home;
    auto folder = configureCloud(home);
    std::ofstream(folder / "oauth-client.json")
        << R"({"installed":{"client_id":")" << FakeGoogle::clientId << R"(","client_secret":")"
        << FakeGoogle::clientSecret << R"("}})";
    home.extraEnv = {
        "FIREBASE_AUTH_EMULATOR_HOST=" + *emulator,          "FIRESTORE_EMULATOR_HOST=" + *firestore,
        "PELORN_GOOGLE_AUTHORIZE_URL=" + google.authorize(), "PELORN_GOOGLE_TOKEN_URL=" + google.token(),
        "PELORN_GOOGLE_USERINFO_URL=" + google.userInfo(),   "PELORN_FUNCTIONS_URL=" + functions.url()};
    // Its own device id: each run is another owner, and the rules keep a record to its owner.
    std::ofstream(folder / "settings.json") << nlohmann::json{{"pelornDeviceId", randomUuid()}}.dump();
    auto email = uniqueName("owner") + "@example.com";
    google.next(R"({"email":")" + email + R"(","name":"Ann Owner"})");

    std::string uid;
    {
        HostProcess host(home, "first");
        waitUntilServing(home, host.pid());
        auto before = account(home);
        EXPECT_EQ(before["signedIn"], false);
        EXPECT_EQ(before["cloudConfigured"], true);

        auto link = ctl(home, {"--json", "sign-in", "google", "--print-link"});
        ASSERT_TRUE(link.succeeded()) << link.err;
        auto url = nlohmann::json::parse(link.out)["url"].get<std::string>();
        // The browser: Google's page, then its redirect to the host.
        auto consent = performHttp({"GET", url, {}, {}});
        ASSERT_EQ(consent.status, 302) << consent.body;
        auto page = performHttp({"GET", consent.body, {}, {}});
        EXPECT_NE(page.body.find("Signed in to Pelorn"), std::string::npos) << page.body;

        ASSERT_TRUE(eventually([&] { return !account(home)["uid"].get<std::string>().empty(); }));
        auto signedIn = account(home);
        EXPECT_EQ(signedIn["signedIn"], true);
        EXPECT_EQ(signedIn["email"], email);
        EXPECT_EQ(signedIn["name"], "Ann Owner");
        EXPECT_EQ(signedIn["cloudSignedIn"], true);
        uid = signedIn["uid"];
        // The cloud sign-in publishes the owner's profile.
        ASSERT_TRUE(eventually([&] { return !stored(*firestore, "users/" + email).is_null(); }));
        auto profile = stored(*firestore, "users/" + email);
        EXPECT_EQ(profile["uid"]["stringValue"], uid);
        EXPECT_EQ(profile["displayName"]["stringValue"], "Ann Owner");
        EXPECT_EQ(profile["lastPlatform"]["stringValue"], "mac");
        EXPECT_TRUE(profile.contains("firstLoginAt"));
        auto text = ctl(home, {"status"});
        EXPECT_NE(text.out.find("account: " + email + " (Ann Owner), cloud uid " + uid), std::string::npos)
            << text.out;
        EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
        EXPECT_EQ(host.waitForExit(), 0);
        EXPECT_NE(host.output().find("✅ Firebase configured (Mac)\n"), std::string::npos) << host.output();
        EXPECT_NE(host.output().find("✅ Firebase signed in (Mac), uid=" + uid), std::string::npos)
            << host.output();
    }
    // A restart: the account and the cloud's user are back without a browser.
    std::string device;
    {
        HostProcess host(home, "again");
        waitUntilServing(home, host.pid());
        ASSERT_TRUE(eventually([&] { return account(home)["cloudSignedIn"] == true; }));
        EXPECT_EQ(account(home)["uid"], uid);

        // Online, the presence record says so; quitting leaves it offline before the host is gone.
        device = statusJson(home)["deviceId"];
        EXPECT_TRUE(ctl(home, {"online"}).succeeded());
        ASSERT_TRUE(eventually(
            [&] { return stored(*firestore, "devices/" + device)["online"]["booleanValue"] == true; }));
        auto record = stored(*firestore, "devices/" + device);
        EXPECT_EQ(record["ownerEmail"]["stringValue"], email);
        EXPECT_EQ(record["deviceType"]["stringValue"], "mac");
        EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
        EXPECT_EQ(host.waitForExit(), 0);
        EXPECT_EQ(stored(*firestore, "devices/" + device)["online"]["booleanValue"], false);
        EXPECT_NE(host.output().find("✅ Presence offline for "), std::string::npos) << host.output();
    }
    HostProcess host(home, "second");
    waitUntilServing(home, host.pid());
    ASSERT_TRUE(eventually([&] { return account(home)["cloudSignedIn"] == true; }));

    // Deleting the account asks to be confirmed, then signs out once the backend has deleted it.
    auto unconfirmed = ctl(home, {"account", "delete"});
    EXPECT_EQ(unconfirmed.exitCode, 1);
    EXPECT_NE(unconfirmed.err.find("This cannot be undone."), std::string::npos) << unconfirmed.err;
    EXPECT_EQ(deletions, 0);
    auto deleted = ctl(home, {"account", "delete", "--yes"});
    EXPECT_TRUE(deleted.succeeded()) << deleted.err;
    EXPECT_EQ(deleted.out, "account deleted - signed out\n");
    EXPECT_EQ(deletions, 1);
    auto after = account(home);
    EXPECT_EQ(after["signedIn"], false);
    EXPECT_EQ(after["cloudSignedIn"], false);
    // Quitting at once: the next start finds nobody signed in, the cloud's user forgotten too.
    EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
    EXPECT_EQ(host.waitForExit(), 0) << host.output();
    HostProcess last(home, "last");
    waitUntilServing(home, last.pid());
    EXPECT_FALSE(eventually([&] { return account(home)["cloudSignedIn"] == true; }, 20));
    EXPECT_EQ(account(home)["signedIn"], false);
    EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
    EXPECT_EQ(last.waitForExit(), 0) << last.output();
}

// Apple's page and the backend (a stub) send the browser back to the program's scheme; the desktop
// hands the link to the running host with pelornctl open-url. An owner Apple names nobody is "User".
TEST(HostSignIn, AppleSignInComesBackThroughTheDesktopsLink) {
    PELORN_NEED_AUTH_EMULATOR(emulator);
    PELORN_NEED_FIRESTORE_EMULATOR(firestore);
    auto email = uniqueName("apple") + "@example.com";
    auto uid = emulatorAccount(*emulator, email, "");
    ASSERT_FALSE(uid.empty());
    HttpStub apple([&](const HttpStub::Request& request) {
        auto query = queryOf(request.target);
        auto state = query && query->count("state") ? query->at("state") : "";
        return HttpStub::Reply{
            302, "com.tamberlind.pelorn.host://apple?state=" + state + "&token=" + customToken(uid),
            "text/plain"};
    });
    Home home;
    configureCloud(home);
    // The database too, though the test never goes online: the host reaches nothing but loopback.
    home.extraEnv = {"FIREBASE_AUTH_EMULATOR_HOST=" + *emulator, "FIRESTORE_EMULATOR_HOST=" + *firestore,
                     "PELORN_APPLE_AUTHORIZE_URL=" + apple.url() + "/auth/authorize"};
    HostProcess host(home, "host");
    waitUntilServing(home, host.pid());

    auto link = ctl(home, {"--json", "sign-in", "apple", "--print-link"});
    ASSERT_TRUE(link.succeeded()) << link.err;
    auto back = performHttp({"GET", nlohmann::json::parse(link.out)["url"].get<std::string>(), {}, {}});
    ASSERT_EQ(back.status, 302);
    auto handed = ctl(home, {"open-url", back.body});
    EXPECT_TRUE(handed.succeeded()) << handed.err;
    ASSERT_TRUE(eventually([&] { return account(home)["signedIn"] == true; }));
    auto signedIn = account(home);
    EXPECT_EQ(signedIn["email"], email);
    EXPECT_EQ(signedIn["name"], "User");
    EXPECT_EQ(signedIn["uid"], uid);
    EXPECT_EQ(signedIn["cloudSignedIn"], true);
    auto replayed = ctl(home, {"open-url", back.body});
    EXPECT_EQ(replayed.err, "pelornctl: no Apple sign-in is waiting for this link\n");
    EXPECT_TRUE(ctl(home, {"quit"}).succeeded());
    EXPECT_EQ(host.waitForExit(), 0) << host.output();
    EXPECT_NE(host.output().find("✅ Signed in with Apple (Mac, web flow), uid=" + uid), std::string::npos);
}

} // namespace
