#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pelorn {

// The Firebase project the host belongs to, from the project's GoogleService-Info.plist or
// google-services.json.
struct FirebaseProject {
    std::string apiKey;
    std::string projectId;
    std::string appId;
    std::string projectNumber; // may be empty
};

// A Google OAuth client of the "Desktop app" type: the loopback sign-in needs one, and its
// secret is not secret (it ships with every installed copy).
struct OAuthClient {
    std::string clientId;
    std::string clientSecret;
};

// Where each service is reached. Production addresses unless overridden, which is how tests
// reach the emulators and a local fake of Google's OAuth endpoints.
struct CloudEndpoints {
    std::string identityToolkit = "https://identitytoolkit.googleapis.com"; // + "/v1/accounts:…"
    std::string secureToken = "https://securetoken.googleapis.com";         // + "/v1/token"
    std::string googleAuthorize = "https://accounts.google.com/o/oauth2/v2/auth";
    std::string googleToken = "https://oauth2.googleapis.com/token";
    std::string googleUserInfo = "https://www.googleapis.com/oauth2/v2/userinfo";
    std::string functions; // the backend's HTTPS functions; by default the project's us-central1 ones
    std::string appleAuthorize = "https://appleid.apple.com/auth/authorize";
    // Where Apple posts its answer: the backend's page on the project's authentication domain.
    std::string appleCallback;
    std::string firestore = "firestore.googleapis.com:443"; // a gRPC target
    bool firestorePlaintext = false;                        // the emulator speaks gRPC without TLS
};

struct CloudConfig {
    FirebaseProject project;
    std::optional<OAuthClient> desktopClient; // absent: Google sign-in cannot start
    CloudEndpoints endpoints;
    std::filesystem::path projectFile;
};

// Each parser returns the values or a one-line reason.
std::variant<FirebaseProject, std::string> parseGoogleServiceInfoPlist(std::string_view bytes);
std::variant<FirebaseProject, std::string> parseGoogleServicesJson(std::string_view text);
// The JSON the Cloud console offers for download for an OAuth client: {"installed": {...}}.
std::variant<OAuthClient, std::string> parseOAuthClientJson(std::string_view text);

// An environment variable's value; absent when unset or empty. Tests pass their own.
using Environment = std::function<std::optional<std::string>(const char* name)>;
Environment processEnvironment();

// The project's default endpoints with every override the environment gives: the emulators'
// usual FIREBASE_AUTH_EMULATOR_HOST and FIRESTORE_EMULATOR_HOST ("host:port"), then the
// PELORN_*_URL variables and PELORN_FIRESTORE_TARGET, which win. An override that would send
// credentials in clear text to anything but this machine is refused with a reason in `problems`.
CloudEndpoints cloudEndpoints(const FirebaseProject& project, const Environment& env,
                              std::vector<std::string>& problems);

// An address that overrides a built-in one (`name` is the setting's, for `problems`): https
// anywhere, plain http only to this machine. Trailing slashes go, so paths can be appended.
std::optional<std::string> baseUrl(const char* name, const std::string& value,
                                   std::vector<std::string>& problems);

// The folders searched, first match wins: "$XDG_CONFIG_HOME/pelorn" (or ~/.config/pelorn), then
// /etc/pelorn.
std::vector<std::filesystem::path> cloudConfigFolders();

struct CloudConfigLoad {
    std::optional<CloudConfig> config; // absent: no usable project file
    std::vector<std::string> problems; // one line each, for the log
};
// Reads the first project file found ("GoogleService-Info.plist", else "google-services.json")
// and the first "oauth-client.json", each from the earliest folder that has one.
CloudConfigLoad loadCloudConfig(const std::vector<std::filesystem::path>& folders, const Environment& env);

} // namespace pelorn
