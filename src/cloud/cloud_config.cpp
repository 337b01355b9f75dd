#include "cloud/cloud_config.hpp"

#include "core/json.hpp"
#include "core/paths.hpp"

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <plist/plist.h>

namespace pelorn {

namespace {

// Configuration files are a few KiB; anything far larger is not one.
constexpr std::uintmax_t maxFileSize = 1 << 20;

std::variant<std::string, std::string> readFile(const std::filesystem::path& file) {
    std::error_code ec;
    auto size = std::filesystem::file_size(file, ec);
    if (ec) {
        return std::variant<std::string, std::string>(std::in_place_index<1>, ec.message());
    }
    if (size > maxFileSize) {
        return std::variant<std::string, std::string>(
            std::in_place_index<1>, "larger than " + std::to_string(maxFileSize) + " bytes");
    }
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        return std::variant<std::string, std::string>(std::in_place_index<1>, "cannot be read");
    }
    return std::variant<std::string, std::string>(std::in_place_index<0>, std::move(bytes));
}

std::optional<std::string> plistString(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) {
        return std::nullopt;
    }
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::unique_ptr<char, decltype(&std::free)> owned(value, &std::free);
    if (!value || !*value) {
        return std::nullopt;
    }
    return std::string(value);
}

// A non-empty string at the end of a path of object members and array indices.
std::optional<std::string> jsonString(const json::Value& root, std::initializer_list<json::Value> path) {
    const json::Value* at = &root;
    for (const auto& step : path) {
        if (step.is_string() && at->is_object() && at->contains(step.get<std::string>())) {
            at = &(*at)[step.get<std::string>()];
        } else if (step.is_number_unsigned() && at->is_array() && step.get<std::size_t>() < at->size()) {
            at = &(*at)[step.get<std::size_t>()];
        } else {
            return std::nullopt;
        }
    }
    if (!at->is_string() || at->get<std::string>().empty()) {
        return std::nullopt;
    }
    return at->get<std::string>();
}

bool isLoopbackHost(std::string host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host == "localhost") {
        return true;
    }
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// The host of "host:port", "[v6]:port" or a bare host.
std::string hostOf(std::string_view authority) {
    if (authority.starts_with('[')) {
        auto close = authority.find(']');
        return std::string(
            authority.substr(0, close == std::string_view::npos ? authority.size() : close + 1));
    }
    return std::string(authority.substr(0, authority.find(':')));
}

// "host:port" of an emulator, which is reached without TLS and so only on this machine.
std::optional<std::string> emulatorAuthority(const char* name, const std::string& value,
                                             std::vector<std::string>& problems) {
    std::string host = hostOf(value);
    if (host.empty() || host.size() == value.size() || value[host.size()] != ':') {
        problems.push_back(std::string(name) + " ignored: \"" + value + "\" is not host:port");
        return std::nullopt;
    }
    if (!isLoopbackHost(host)) {
        problems.push_back(std::string(name) +
                           " ignored: an emulator is reached without TLS, so only on this machine");
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<std::string> baseUrl(const char* name, const std::string& value,
                                   std::vector<std::string>& problems) {
    std::string url = value;
    while (url.ends_with('/')) {
        url.pop_back();
    }
    std::string_view rest;
    bool secure = url.starts_with("https://");
    if (secure) {
        rest = std::string_view(url).substr(8);
    } else if (url.starts_with("http://")) {
        rest = std::string_view(url).substr(7);
    } else {
        problems.push_back(std::string(name) + " ignored: \"" + value + "\" is not an http(s) address");
        return std::nullopt;
    }
    std::string host = hostOf(rest.substr(0, rest.find('/')));
    if (host.empty()) {
        problems.push_back(std::string(name) + " ignored: \"" + value + "\" names no host");
        return std::nullopt;
    }
    if (!secure && !isLoopbackHost(host)) {
        problems.push_back(std::string(name) +
                           " ignored: plain http is allowed only to this machine, not to " + host);
        return std::nullopt;
    }
    return url;
}

std::variant<FirebaseProject, std::string> parseGoogleServiceInfoPlist(std::string_view bytes) {
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    std::unique_ptr<void, decltype(&plist_free)> owned(root, &plist_free);
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        return "not a property list holding a dictionary";
    }
    FirebaseProject project;
    for (auto [key, field] :
         {std::pair{"API_KEY", &project.apiKey}, std::pair{"PROJECT_ID", &project.projectId},
          std::pair{"GOOGLE_APP_ID", &project.appId}}) {
        auto value = plistString(root, key);
        if (!value) {
            return std::string("no ") + key;
        }
        *field = *value;
    }
    project.projectNumber = plistString(root, "GCM_SENDER_ID").value_or("");
    return project;
}

std::variant<FirebaseProject, std::string> parseGoogleServicesJson(std::string_view text) {
    auto root = json::parse(text);
    if (!root || !root->is_object()) {
        return "not a JSON object";
    }
    FirebaseProject project;
    auto projectId = jsonString(*root, {"project_info", "project_id"});
    if (!projectId) {
        return "no project_info.project_id";
    }
    project.projectId = *projectId;
    project.projectNumber = jsonString(*root, {"project_info", "project_number"}).value_or("");
    // The first app of the project that has a key will do: the host is none of them.
    const auto& clients = (*root)["client"];
    for (std::size_t i = 0; clients.is_array() && i < clients.size(); ++i) {
        auto key = jsonString(clients[i], {"api_key", 0u, "current_key"});
        auto appId = jsonString(clients[i], {"client_info", "mobilesdk_app_id"});
        if (key && appId) {
            project.apiKey = *key;
            project.appId = *appId;
            return project;
        }
    }
    return "no client with api_key[0].current_key and client_info.mobilesdk_app_id";
}

std::variant<OAuthClient, std::string> parseOAuthClientJson(std::string_view text) {
    auto root = json::parse(text);
    if (!root || !root->is_object()) {
        return "not a JSON object";
    }
    if (!root->contains("installed")) {
        return root->contains("web")
                   ? "a web application client; the loopback sign-in needs a Desktop app client"
                   : "no \"installed\" client (download a Desktop app client's JSON)";
    }
    auto id = jsonString(*root, {"installed", "client_id"});
    auto secret = jsonString(*root, {"installed", "client_secret"});
    if (!id || !secret) {
        return "no installed.client_id or installed.client_secret";
    }
    return OAuthClient{*id, *secret};
}

Environment processEnvironment() {
    return [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value || !*value) {
            return std::nullopt;
        }
        return std::string(value);
    };
}

CloudEndpoints cloudEndpoints(const FirebaseProject& project, const Environment& env,
                              std::vector<std::string>& problems) {
    CloudEndpoints endpoints;
    endpoints.functions = "https://us-central1-" + project.projectId + ".cloudfunctions.net";
    endpoints.appleCallback = "https://" + project.projectId + ".firebaseapp.com/apple/callback";
    if (auto auth = env("FIREBASE_AUTH_EMULATOR_HOST")) {
        if (auto authority = emulatorAuthority("FIREBASE_AUTH_EMULATOR_HOST", *auth, problems)) {
            endpoints.identityToolkit = "http://" + *authority + "/identitytoolkit.googleapis.com";
            endpoints.secureToken = "http://" + *authority + "/securetoken.googleapis.com";
        }
    }
    if (auto firestore = env("FIRESTORE_EMULATOR_HOST")) {
        if (auto authority = emulatorAuthority("FIRESTORE_EMULATOR_HOST", *firestore, problems)) {
            endpoints.firestore = *authority;
            endpoints.firestorePlaintext = true;
        }
    }
    for (auto [name, field] : {std::pair{"PELORN_IDENTITY_TOOLKIT_URL", &endpoints.identityToolkit},
                               std::pair{"PELORN_SECURE_TOKEN_URL", &endpoints.secureToken},
                               std::pair{"PELORN_GOOGLE_AUTHORIZE_URL", &endpoints.googleAuthorize},
                               std::pair{"PELORN_GOOGLE_TOKEN_URL", &endpoints.googleToken},
                               std::pair{"PELORN_GOOGLE_USERINFO_URL", &endpoints.googleUserInfo},
                               std::pair{"PELORN_FUNCTIONS_URL", &endpoints.functions},
                               std::pair{"PELORN_APPLE_AUTHORIZE_URL", &endpoints.appleAuthorize},
                               std::pair{"PELORN_APPLE_CALLBACK_URL", &endpoints.appleCallback}}) {
        if (auto value = env(name)) {
            if (auto url = baseUrl(name, *value, problems)) {
                *field = *url;
            }
        }
    }
    // A target named here is reached over TLS, wherever it is.
    if (auto target = env("PELORN_FIRESTORE_TARGET")) {
        endpoints.firestore = *target;
        endpoints.firestorePlaintext = false;
    }
    return endpoints;
}

std::vector<std::filesystem::path> cloudConfigFolders() {
    std::vector<std::filesystem::path> folders;
    if (auto home = configHome()) {
        folders.push_back(*home / "pelorn");
    }
    folders.emplace_back("/etc/pelorn");
    return folders;
}

CloudConfigLoad loadCloudConfig(const std::vector<std::filesystem::path>& folders, const Environment& env) {
    CloudConfigLoad load;
    auto firstFile = [&](std::initializer_list<const char*> names) -> std::optional<std::filesystem::path> {
        for (const auto& folder : folders) {
            for (const char* name : names) {
                std::error_code ec;
                if (std::filesystem::exists(folder / name, ec)) {
                    return folder / name;
                }
            }
        }
        return std::nullopt;
    };
    auto projectFile = firstFile({"GoogleService-Info.plist", "google-services.json"});
    if (!projectFile) {
        return load;
    }
    auto bytes = readFile(*projectFile);
    if (bytes.index() == 1) {
        load.problems.push_back(projectFile->string() + ": " + std::get<1>(bytes));
        return load;
    }
    auto parsed = projectFile->extension() == ".plist" ? parseGoogleServiceInfoPlist(std::get<0>(bytes))
                                                       : parseGoogleServicesJson(std::get<0>(bytes));
    if (auto* reason = std::get_if<std::string>(&parsed)) {
        load.problems.push_back(projectFile->string() + ": " + *reason);
        return load;
    }
    CloudConfig config;
    config.project = std::get<FirebaseProject>(parsed);
    config.projectFile = *projectFile;
    if (auto clientFile = firstFile({"oauth-client.json"})) {
        auto clientBytes = readFile(*clientFile);
        auto client = clientBytes.index() == 1
                          ? std::variant<OAuthClient, std::string>(std::get<1>(clientBytes))
                          : parseOAuthClientJson(std::get<0>(clientBytes));
        if (auto* reason = std::get_if<std::string>(&client)) {
            load.problems.push_back(clientFile->string() + ": " + *reason + " - Google sign-in unavailable");
        } else {
            config.desktopClient = std::get<OAuthClient>(client);
        }
    } else {
        load.problems.push_back("no oauth-client.json (a Desktop app OAuth client) in " +
                                folders.front().string() + " - Google sign-in unavailable");
    }
    config.endpoints = cloudEndpoints(config.project, env, load.problems);
    load.config = std::move(config);
    return load;
}

} // namespace pelorn
