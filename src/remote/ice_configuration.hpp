#pragma once

#include "cloud/http_client.hpp"
#include "core/host_loop.hpp"
#include "core/lifetime.hpp"
#include "webrtc/webrtc_engine.hpp"

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace pelorn {

class FirebaseAuth;
class Firestore;
class Settings;
class TaskPool;

// The ICE servers of each new peer connection. Short-lived STUN/TURN credentials that the
// backend's "iceServers" function issues to the signed-in user are the whole list while they are
// valid; without them the connection has STUN only: the "stun" list of the cloud document
// "config/ice" (read once a process, kept in the settings), else the built-in one. Both are
// refreshed in the background when a list is asked for, which serves the next connection.
// Host loop; the request runs on the pool.
class IceConfiguration {
public:
    // Five of Google's STUN servers, Cloudflare's, and the product's own relay host.
    static std::vector<std::string> defaultStunServers();

    struct Dependencies {
        HostLoop& loop;
        TaskPool& pool;
        Settings& settings;
        // Null without a cloud project: no credentials, no "config/ice".
        FirebaseAuth* auth;
        Firestore* database;
        // The backend's functions ("…/iceServers" is appended); empty without a cloud project.
        std::string functionsUrl;
        std::vector<std::string> builtInStun = defaultStunServers();
        HttpTransport http = performHttp;
    };
    struct Credentials {
        nlohmann::json iceServers; // server groups as the backend returns them
        HostLoop::WallTime expiresAt;
    };
    static constexpr auto requestTimeout = std::chrono::seconds(12);
    // Credentials with less validity left than this are fetched again.
    static constexpr auto refreshBelow = std::chrono::minutes(30);
    static constexpr const char* configCacheKey = "pelornICEConfigCache";

    explicit IceConfiguration(Dependencies deps);
    static IceConfiguration& shared();

    std::vector<IceServer> iceServers();

    // What a fetch left; tests set it to the states they need.
    const std::optional<Credentials>& credentials() const { return mCredentials; }
    void setCredentials(std::optional<Credentials> credentials) { mCredentials = std::move(credentials); }
    bool isFetching() const { return mFetching; }

    IceConfiguration(const IceConfiguration&) = delete;
    IceConfiguration& operator=(const IceConfiguration&) = delete;

private:
    std::optional<nlohmann::json> currentGroups();
    void refreshCredentials();
    void credentialsArrived(const HttpResponse& response);
    void readCloudConfig();

    Dependencies mDeps;
    std::optional<Credentials> mCredentials;
    bool mFetching = false;
    bool mReadConfig = false;
    Lifetime<IceConfiguration> mLifetime{this};
};

} // namespace pelorn
