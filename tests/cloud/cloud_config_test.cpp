// The cloud configuration: the project files as the Firebase console hands them out, the OAuth
// client file, the endpoint overrides and which folder wins.
#include "cloud/cloud_config.hpp"
#include "support/test_support.hpp"

#include <fstream>
#include <gtest/gtest.h>
#include <map>

using namespace pelorn;
using namespace pelorn::test;

namespace {

std::string plist(const std::string& entries) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
)" + entries +
           "</dict>\n</plist>\n";
}

const std::string goodPlist = plist(R"(<key>API_KEY</key><string>AIzaKey</string>
<key>GCM_SENDER_ID</key><string>123456</string>
<key>PLIST_VERSION</key><string>1</string>
<key>BUNDLE_ID</key><string>com.example.pelorn</string>
<key>PROJECT_ID</key><string>pelorn-demo</string>
<key>IS_GCM_ENABLED</key><true/>
<key>GOOGLE_APP_ID</key><string>1:123456:ios:abcdef</string>
)");

const std::string goodJson = R"({
  "project_info": {"project_number": "123456", "project_id": "pelorn-json"},
  "client": [
    {"client_info": {"mobilesdk_app_id": "1:123456:android:00"}, "api_key": []},
    {"client_info": {"mobilesdk_app_id": "1:123456:android:01"}, "api_key": [{"current_key": "AIzaJson"}]}
  ]
})";

std::string reasonOf(const std::variant<FirebaseProject, std::string>& parsed) {
    auto* reason = std::get_if<std::string>(&parsed);
    return reason ? *reason : "";
}

TEST(CloudConfiguration, ProjectFilesGiveTheProjectOrSayWhatIsMissing) {
    auto fromPlist = std::get<FirebaseProject>(parseGoogleServiceInfoPlist(goodPlist));
    EXPECT_EQ(fromPlist.apiKey, "AIzaKey");
    EXPECT_EQ(fromPlist.projectId, "pelorn-demo");
    EXPECT_EQ(fromPlist.appId, "1:123456:ios:abcdef");
    EXPECT_EQ(fromPlist.projectNumber, "123456");
    // The first app that has a key is taken.
    auto fromJson = std::get<FirebaseProject>(parseGoogleServicesJson(goodJson));
    EXPECT_EQ(fromJson.apiKey, "AIzaJson");
    EXPECT_EQ(fromJson.projectId, "pelorn-json");
    EXPECT_EQ(fromJson.appId, "1:123456:android:01");

    struct Case {
        std::string bytes;
        bool isPlist;
        std::string reason;
    };
    for (const auto& c : std::vector<Case>{
             {plist("<key>PROJECT_ID</key><string>p</string><key>GOOGLE_APP_ID</key><string>a</string>"),
              true, "no API_KEY"},
             {plist("<key>API_KEY</key><integer>5</integer><key>PROJECT_ID</key><string>p</string>"), true,
              "no API_KEY"},
             {plist("<key>API_KEY</key><string></string>"), true, "no API_KEY"},
             {"<plist><array><string>x</string></array></plist>", true,
              "not a property list holding a dictionary"},
             {"API_KEY=AIza", true, "not a property list holding a dictionary"},
             {"", true, "not a property list holding a dictionary"},
             {R"({"project_info": {}, "client": []})", false, "no project_info.project_id"},
             {R"({"project_info": {"project_id": "p"}, "client": [{"api_key": [{"current_key": "k"}]}]})",
              false, "no client with api_key[0].current_key and client_info.mobilesdk_app_id"},
             {R"({"project_info": {"project_id": "p"}, "client": {}})", false,
              "no client with api_key[0].current_key and client_info.mobilesdk_app_id"},
             {"{\"project_info\": ", false, "not a JSON object"},
             {"[1, 2]", false, "not a JSON object"},
         }) {
        auto parsed = c.isPlist ? parseGoogleServiceInfoPlist(c.bytes) : parseGoogleServicesJson(c.bytes);
        EXPECT_EQ(reasonOf(parsed), c.reason) << c.bytes;
    }
}

TEST(CloudConfiguration, OnlyADesktopOAuthClientIsTaken) {
    auto client = std::get<OAuthClient>(parseOAuthClientJson(
        R"({"installed":{"client_id":"42-x.apps.googleusercontent.com","project_id":"p","client_secret":"GOCSPX-s",
            "redirect_uris":["http://localhost"]}})"));
    EXPECT_EQ(client.clientId, "42-x.apps.googleusercontent.com");
    EXPECT_EQ(client.clientSecret, "GOCSPX-s");
    for (auto [text, reason] : std::vector<std::pair<std::string, std::string>>{
             {R"({"web":{"client_id":"a","client_secret":"b"}})",
              "a web application client; the loopback sign-in needs a Desktop app client"},
             {R"({"other":{}})", "no \"installed\" client (download a Desktop app client's JSON)"},
             {R"({"installed":{"client_id":"a"}})", "no installed.client_id or installed.client_secret"},
             {"not json", "not a JSON object"},
         }) {
        auto parsed = parseOAuthClientJson(text);
        ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << text;
        EXPECT_EQ(std::get<std::string>(parsed), reason);
    }
}

Environment environment(std::map<std::string, std::string> values) {
    return [values](const char* name) -> std::optional<std::string> {
        auto it = values.find(name);
        return it == values.end() ? std::nullopt : std::optional(it->second);
    };
}

TEST(CloudConfiguration, EndpointsFollowTheEmulatorsAndOverridesButNeverSendCleartextAway) {
    FirebaseProject project{"k", "pelorn-demo", "a", ""};
    std::vector<std::string> problems;
    auto defaults = cloudEndpoints(project, environment({}), problems);
    EXPECT_EQ(defaults.identityToolkit, "https://identitytoolkit.googleapis.com");
    EXPECT_EQ(defaults.functions, "https://us-central1-pelorn-demo.cloudfunctions.net");
    EXPECT_EQ(defaults.firestore, "firestore.googleapis.com:443");
    EXPECT_FALSE(defaults.firestorePlaintext);
    EXPECT_TRUE(problems.empty());

    auto emulators =
        cloudEndpoints(project,
                       environment({{"FIREBASE_AUTH_EMULATOR_HOST", "127.0.0.1:9099"},
                                    {"FIRESTORE_EMULATOR_HOST", "[::1]:8080"},
                                    {"PELORN_SECURE_TOKEN_URL", "http://localhost:7000/st/"},
                                    {"PELORN_GOOGLE_TOKEN_URL", "https://oauth.example.org/token"}}),
                       problems);
    EXPECT_EQ(emulators.identityToolkit, "http://127.0.0.1:9099/identitytoolkit.googleapis.com");
    EXPECT_EQ(emulators.secureToken, "http://localhost:7000/st"); // the explicit override wins
    EXPECT_EQ(emulators.googleToken, "https://oauth.example.org/token");
    EXPECT_EQ(emulators.firestore, "[::1]:8080");
    EXPECT_TRUE(emulators.firestorePlaintext);
    EXPECT_TRUE(problems.empty());

    // Each refused override leaves the default and says why.
    for (auto [name, value, reason] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"PELORN_GOOGLE_TOKEN_URL", "http://oauth.example.org/token",
              "PELORN_GOOGLE_TOKEN_URL ignored: plain http is allowed only to this machine, not to "
              "oauth.example.org"},
             {"PELORN_FUNCTIONS_URL", "http://10.0.0.5:5001/f",
              "PELORN_FUNCTIONS_URL ignored: plain http is allowed only to this machine, not to 10.0.0.5"},
             {"PELORN_IDENTITY_TOOLKIT_URL", "ftp://127.0.0.1/",
              "PELORN_IDENTITY_TOOLKIT_URL ignored: \"ftp://127.0.0.1/\" is not an http(s) address"},
             {"PELORN_GOOGLE_USERINFO_URL", "https:///x",
              "PELORN_GOOGLE_USERINFO_URL ignored: \"https:///x\" names no host"},
             {"FIREBASE_AUTH_EMULATOR_HOST", "auth.example.org:9099",
              "FIREBASE_AUTH_EMULATOR_HOST ignored: an emulator is reached without TLS, so only on this "
              "machine"},
             {"FIRESTORE_EMULATOR_HOST", "127.0.0.1",
              "FIRESTORE_EMULATOR_HOST ignored: \"127.0.0.1\" is not host:port"},
         }) {
        problems.clear();
        auto endpoints = cloudEndpoints(project, environment({{name, value}}), problems);
        EXPECT_EQ(problems, std::vector<std::string>{reason});
        EXPECT_EQ(endpoints.googleToken, defaults.googleToken);
        EXPECT_EQ(endpoints.functions, defaults.functions);
        EXPECT_EQ(endpoints.identityToolkit, defaults.identityToolkit);
        EXPECT_EQ(endpoints.firestore, defaults.firestore);
    }
}

void write(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

TEST(CloudConfiguration, TheEarliestFolderWithAFileWinsAndProblemsAreReported) {
    TempDir dir;
    auto user = dir / "user", system = dir / "etc";
    auto none = environment({});

    auto empty = loadCloudConfig({user, system}, none);
    EXPECT_FALSE(empty.config);
    EXPECT_TRUE(empty.problems.empty()); // nothing configured is not a problem

    write(system / "GoogleService-Info.plist", goodPlist);
    write(system / "oauth-client.json", R"({"installed":{"client_id":"sys","client_secret":"s"}})");
    auto fromSystem = loadCloudConfig({user, system}, none);
    ASSERT_TRUE(fromSystem.config);
    EXPECT_EQ(fromSystem.config->project.projectId, "pelorn-demo");
    EXPECT_EQ(fromSystem.config->projectFile, system / "GoogleService-Info.plist");
    ASSERT_TRUE(fromSystem.config->desktopClient);
    EXPECT_EQ(fromSystem.config->desktopClient->clientId, "sys");
    EXPECT_TRUE(fromSystem.problems.empty());

    // The user's own project file wins; the OAuth client still comes from where there is one.
    write(user / "google-services.json", goodJson);
    auto fromUser = loadCloudConfig({user, system}, none);
    ASSERT_TRUE(fromUser.config);
    EXPECT_EQ(fromUser.config->project.projectId, "pelorn-json");
    EXPECT_EQ(fromUser.config->desktopClient->clientId, "sys");
    // In one folder the plist comes first.
    write(user / "GoogleService-Info.plist",
          plist("<key>API_KEY</key><string>u</string><key>PROJECT_ID</key>"
                "<string>user-plist</string><key>GOOGLE_APP_ID</key><string>a</string>"));
    EXPECT_EQ(loadCloudConfig({user, system}, none).config->project.projectId, "user-plist");

    // A broken client file costs Google sign-in, not the project.
    write(user / "oauth-client.json", R"({"web":{}})");
    auto brokenClient = loadCloudConfig({user, system}, none);
    ASSERT_TRUE(brokenClient.config);
    EXPECT_FALSE(brokenClient.config->desktopClient);
    EXPECT_EQ(brokenClient.problems,
              std::vector<std::string>{(user / "oauth-client.json").string() +
                                       ": a web application client; the loopback sign-in needs a Desktop app "
                                       "client - Google sign-in unavailable"});

    // A broken or oversized project file leaves the cloud unconfigured and says which file.
    write(user / "GoogleService-Info.plist", "<plist>");
    auto broken = loadCloudConfig({user, system}, none);
    EXPECT_FALSE(broken.config);
    EXPECT_EQ(broken.problems, std::vector<std::string>{(user / "GoogleService-Info.plist").string() +
                                                        ": not a property list holding a dictionary"});
    write(user / "GoogleService-Info.plist", std::string(2 << 20, ' '));
    broken = loadCloudConfig({user, system}, none);
    EXPECT_FALSE(broken.config);
    EXPECT_EQ(broken.problems, std::vector<std::string>{(user / "GoogleService-Info.plist").string() +
                                                        ": larger than 1048576 bytes"});

    // Without any client file the project still loads, and the log says what sign-in lacks.
    std::filesystem::remove_all(user);
    std::filesystem::remove(system / "oauth-client.json");
    auto noClient =
        loadCloudConfig({user, system}, environment({{"FIRESTORE_EMULATOR_HOST", "127.0.0.1:8080"}}));
    ASSERT_TRUE(noClient.config);
    EXPECT_EQ(noClient.config->endpoints.firestore, "127.0.0.1:8080");
    EXPECT_EQ(noClient.problems,
              std::vector<std::string>{"no oauth-client.json (a Desktop app OAuth client) in " +
                                       user.string() + " - Google sign-in unavailable"});
}

} // namespace
