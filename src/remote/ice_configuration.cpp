#include "remote/ice_configuration.hpp"

#include "cloud/firebase_auth.hpp"
#include "cloud/firestore.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/task_pool.hpp"

#include <algorithm>

namespace pelorn {

namespace {

void say(const std::string& line) {
    Log::shared().info(line);
}

bool isStringArray(const firestore::Value& value, bool nonEmpty) {
    const auto* array = value.as<firestore::Array>();
    return array && (!nonEmpty || !array->empty()) &&
           std::all_of(array->begin(), array->end(),
                       [](const firestore::Value& v) { return v.as<std::string>(); });
}

nlohmann::json strings(const firestore::Value& value) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& v : *value.as<firestore::Array>()) {
        out.push_back(*v.as<std::string>());
    }
    return out;
}

} // namespace

std::vector<std::string> IceConfiguration::defaultStunServers() {
    return {"stun:stun.l.google.com:19302",  "stun:stun1.l.google.com:19302", "stun:stun2.l.google.com:19302",
            "stun:stun3.l.google.com:19302", "stun:stun4.l.google.com:19302", "stun:stun.cloudflare.com:3478",
            "stun:relay.pelorn.app:3478"};
}

IceConfiguration::IceConfiguration(Dependencies deps) : mDeps(std::move(deps)) {
}

std::vector<IceServer> IceConfiguration::iceServers() {
    if (!std::exchange(mReadConfig, true)) {
        readCloudConfig();
    }
    std::vector<std::string> stun = mDeps.builtInStun;
    if (auto cache = mDeps.settings.value(configCacheKey);
        cache && cache->is_object() && cache->contains("stun") && (*cache)["stun"].is_array()) {
        stun.clear();
        for (const auto& url : (*cache)["stun"]) {
            if (url.is_string()) {
                stun.push_back(url.get<std::string>());
            }
        }
    }
    auto groups = currentGroups();
    if (!groups) {
        return {IceServer{stun, {}, {}}};
    }
    std::vector<IceServer> servers;
    for (const auto& group : *groups) {
        if (!group.is_object() || !group.contains("urls") || !group["urls"].is_array() ||
            group["urls"].empty()) {
            continue;
        }
        IceServer server;
        for (const auto& url : group["urls"]) {
            if (url.is_string()) {
                server.urls.push_back(url.get<std::string>());
            }
        }
        auto username = group.value("username", nlohmann::json());
        auto credential = group.value("credential", nlohmann::json());
        if (username.is_string() && !username.get<std::string>().empty() && credential.is_string()) {
            server.username = username.get<std::string>();
            server.credential = credential.get<std::string>();
        }
        servers.push_back(std::move(server));
    }
    return servers;
}

std::optional<nlohmann::json> IceConfiguration::currentGroups() {
    auto copy = mCredentials;
    refreshCredentials();
    if (copy && copy->expiresAt > mDeps.loop.wallNow()) {
        return copy->iceServers;
    }
    return std::nullopt;
}

void IceConfiguration::refreshCredentials() {
    auto left =
        mCredentials ? mCredentials->expiresAt - mDeps.loop.wallNow() : HostLoop::WallTime::duration{};
    if (left >= refreshBelow || mFetching) {
        return;
    }
    mFetching = true;
    if (mDeps.functionsUrl.empty() || !mDeps.auth || !mDeps.auth->currentUser()) {
        mFetching = false;
        return;
    }
    mDeps.auth->getIdToken(false, [self = mLifetime.weak()](const FirebaseAuth::IdToken& token) {
        auto* me = self.lock();
        if (!me) {
            return;
        }
        if (!token.token) {
            me->mFetching = false;
            return;
        }
        HttpRequest request{"POST",
                            me->mDeps.functionsUrl + "/iceServers",
                            {"Content-Type: application/json", "Authorization: Bearer " + *token.token},
                            {},
                            std::chrono::duration_cast<std::chrono::seconds>(requestTimeout)};
        me->mDeps.pool.submit([self, request, http = me->mDeps.http, &loop = me->mDeps.loop] {
            auto response = http(request);
            loop.post([self, response] {
                if (auto* again = self.lock()) {
                    again->credentialsArrived(response);
                }
            });
        });
    });
}

void IceConfiguration::credentialsArrived(const HttpResponse& response) {
    mFetching = false;
    auto body = response.status == 200 ? json::parse(response.body) : std::nullopt;
    if (!body || !body->is_object() || !body->contains("iceServers") || !(*body)["iceServers"].is_array() ||
        !std::all_of((*body)["iceServers"].begin(), (*body)["iceServers"].end(),
                     [](const nlohmann::json& g) { return g.is_object(); }) ||
        !body->contains("expiresAt") || !(*body)["expiresAt"].is_number()) {
        say("⚠️ ICE credentials unavailable - STUN only for this connection");
        return;
    }
    auto expiresAt = HostLoop::WallTime(std::chrono::duration_cast<HostLoop::WallTime::duration>(
        std::chrono::duration<double>((*body)["expiresAt"].get<double>())));
    mCredentials = Credentials{(*body)["iceServers"], expiresAt};
    auto minutes = std::chrono::duration_cast<std::chrono::minutes>(expiresAt - mDeps.loop.wallNow()).count();
    say("🧭 ICE credentials refreshed - " + std::to_string((*body)["iceServers"].size()) +
        " server group(s), valid " + std::to_string(minutes) + " min");
}

void IceConfiguration::readCloudConfig() {
    if (!mDeps.database) {
        return;
    }
    mDeps.database->getDocument(
        "config/ice",
        [self = mLifetime.weak()](const firestore::Result<std::optional<firestore::Document>>& read) {
            auto* me = self.lock();
            const auto* document = std::get_if<std::optional<firestore::Document>>(&read);
            if (!me || !document || !*document) {
                return;
            }
            nlohmann::json collected = nlohmann::json::object();
            for (auto [name, nonEmpty] : {std::pair{"stun", true}, {"turnUrls", false}}) {
                if (const auto* value = (*document)->field(name); value && isStringArray(*value, nonEmpty)) {
                    collected[name] = strings(*value);
                }
            }
            for (const char* name : {"turnUsername", "turnCredential"}) {
                if (const auto* value = (*document)->string(name)) {
                    collected[name] = *value;
                }
            }
            if (collected.empty()) {
                return;
            }
            me->mDeps.settings.set(configCacheKey, collected);
            std::string fields;
            for (const auto& [key, value] : collected.items()) { // a JSON object's keys come sorted
                fields += (fields.empty() ? "" : ", ") + key;
            }
            say("🧭 ICE config refreshed from Firestore (fields: " + fields +
                ") - applies to the next connection");
        });
}

} // namespace pelorn
