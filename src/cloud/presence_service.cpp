#include "cloud/presence_service.hpp"

#include "cloud/firebase_auth.hpp"
#include "core/log.hpp"
#include "core/settings.hpp"
#include "core/text.hpp"

namespace pelorn {

using firestore::Document;
using firestore::Error;

PresenceService::PresenceService(Dependencies deps) : mDeps(std::move(deps)) {
    if (!mDeps.database || !mDeps.auth) {
        return;
    }
    auto self = mLifetime.weak();
    mAuthHandle = mDeps.auth->addAuthStateListener([self](const std::optional<CloudUser>& user) {
        auto* presence = self.lock();
        if (!presence || !user || !presence->mDeps.isOnline()) {
            return;
        }
        Log::shared().info("🔁 Firebase auth ready (uid=" + user->uid + ") - re-publishing presence");
        presence->publish(true);
    });
}

PresenceService::~PresenceService() {
    if (mAuthHandle) {
        mDeps.auth->removeAuthStateListener(*mAuthHandle);
    }
}

std::string PresenceService::accountEmail() const {
    return lowercased(mDeps.settings.string("userEmail"));
}

std::string PresenceService::hostName() const {
    auto name = mDeps.computerName();
    return name.empty() ? "Mac" : name;
}

std::string PresenceService::currentUid() const {
    auto user = mDeps.auth ? mDeps.auth->currentUser() : std::nullopt;
    return user ? user->uid : "nil";
}

void PresenceService::publish(bool online) {
    if (!mDeps.database) {
        return;
    }
    auto email = accountEmail();
    if (email.empty()) {
        Log::shared().info("⚠️ Presence skipped - no signed-in account.");
        return;
    }
    auto deviceId = mDeps.deviceId();
    auto name = hostName();
    firestore::Fields fields{
        {"deviceId", deviceId},
        {"deviceName", name},
        {"deviceType", "mac"},
        {"hardwareId", mDeps.hardwareId().value_or("")},
        {"online", online},
        {"ownerEmail", email},
        {"timestamp", firestore::ServerTimestamp{}},
    };
    auto uid = currentUid();
    mDeps.database->setMerge(std::string(collectionName) + "/" + deviceId, fields,
                             [online, email, uid, name](const std::optional<Error>& error) {
                                 if (error) {
                                     Log::shared().info("⚠️ Presence write failed (owner=" + email +
                                                        " uid=" + uid + "): " + error->description());
                                     return;
                                 }
                                 Log::shared().info("✅ Presence " +
                                                    std::string(online ? "online" : "offline") + " for " +
                                                    name + " - owner=" + email + " uid=" + uid);
                             });
}

void PresenceService::startHeartbeat() {
    auto self = mLifetime.weak();
    mHeartbeat.startRepeating(mDeps.loop, heartbeatInterval, [self] {
        if (auto* presence = self.lock()) {
            presence->publish(true);
        }
    });
}

void PresenceService::stopHeartbeat() {
    mHeartbeat.cancel();
}

void PresenceService::cleanupStaleRecords() {
    if (!mDeps.database || accountEmail().empty()) {
        return;
    }
    auto query =
        FirestoreQuery{collectionName}.where("ownerEmail", accountEmail()).where("deviceType", "mac");
    auto self = mLifetime.weak();
    mDeps.database->getDocuments(query, [self](const firestore::Result<std::vector<Document>>& result) {
        auto* presence = self.lock();
        if (presence && std::holds_alternative<std::vector<Document>>(result)) {
            presence->removeStale(std::get<std::vector<Document>>(result));
        }
    });
}

void PresenceService::removeStale(const std::vector<Document>& documents) {
    auto deviceId = mDeps.deviceId();
    auto hardwareId = mDeps.hardwareId();
    auto name = lowercased(hostName());
    auto now = mDeps.loop.wallNow();
    for (const auto& document : documents) {
        auto id = document.id();
        if (id == deviceId) {
            continue;
        }
        bool stale;
        if (const auto* theirs = document.string("hardwareId")) {
            stale = hardwareId && *hardwareId == *theirs;
        } else {
            const auto* theirName = document.string("deviceName");
            const auto* written = document.field("timestamp");
            const auto* at = written ? written->as<firestore::Timestamp>() : nullptr;
            bool old = !at || now - *at > staleAge;
            stale = old && lowercased(theirName ? *theirName : "") == name;
        }
        if (!stale) {
            continue;
        }
        mDeps.database->deleteDocument(document.path, [id](const std::optional<Error>& error) {
            if (error) {
                Log::shared().info("⚠️ Could not remove stale record " + id + ": " +
                                   error->description());
            } else {
                Log::shared().info("🧹 Removed stale record " + id + " left by this Mac");
            }
        });
    }
}

} // namespace pelorn
