#include "access/trusted_device_store.hpp"

#include "access/keychain.hpp"
#include "access/master_password_store.hpp"
#include "activity/event_log.hpp"
#include "core/base64.hpp"
#include "core/host_loop.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/notification_center.hpp"
#include "core/secret_store.hpp"

namespace pelorn {

namespace {

std::optional<TrustedDevice> decodeDevice(const nlohmann::json& j) {
    if (!j.is_object()) {
        return std::nullopt;
    }
    auto id = json::stringMember(j, "id").value;
    auto name = json::stringMember(j, "name").value;
    auto model = json::stringMember(j, "model").value;
    auto approvedAt = json::doubleMember(j, "approvedAt").value;
    auto lastSeenAt = json::doubleMember(j, "lastSeenAt").value;
    auto tokenText = json::stringMember(j, "token").value;
    auto token = tokenText ? base64::decode(*tokenText) : std::nullopt;
    if (!id || !name || !model || !approvedAt || !lastSeenAt || !token) {
        return std::nullopt;
    }
    return TrustedDevice{*id,
                         *name,
                         *model,
                         fromReferenceSeconds(*approvedAt),
                         fromReferenceSeconds(*lastSeenAt),
                         std::move(*token)};
}

} // namespace

nlohmann::json encodeTrustedDevices(const std::vector<TrustedDevice>& devices) {
    auto array = nlohmann::json::array();
    for (const auto& d : devices) {
        array.push_back({{"id", d.id},
                         {"name", d.name},
                         {"model", d.model},
                         {"approvedAt", referenceSeconds(d.approvedAt)},
                         {"lastSeenAt", referenceSeconds(d.lastSeenAt)},
                         {"token", base64::encode(d.token)}});
    }
    return array;
}

std::optional<std::vector<TrustedDevice>> decodeTrustedDevices(const nlohmann::json& j) {
    if (!j.is_array()) {
        return std::nullopt;
    }
    std::vector<TrustedDevice> devices;
    for (const auto& item : j) {
        auto device = decodeDevice(item);
        if (!device) {
            return std::nullopt;
        }
        devices.push_back(std::move(*device));
    }
    return devices;
}

TrustedDeviceStore::TrustedDeviceStore(HostLoop& loop, SecretStore& secrets, EventLog& log,
                                       NotificationCenter& notifications)
    : mLoop(loop), mSecrets(secrets), mLog(log), mNotifications(notifications) {
}

std::shared_ptr<TrustedDeviceStore> TrustedDeviceStore::create(HostLoop& loop, SecretStore& secrets,
                                                               EventLog& log,
                                                               NotificationCenter& notifications) {
    // The constructor is private (the store must be held by a shared_ptr), so make_shared cannot reach it.
    std::shared_ptr<TrustedDeviceStore> store(new TrustedDeviceStore(loop, secrets, log, notifications));
    store->load();
    return store;
}

void TrustedDeviceStore::load() {
    auto parsed = readKeychainJson(mSecrets, service, account);
    auto devices = parsed ? decodeTrustedDevices(*parsed) : std::nullopt;
    if (!devices) {
        return; // an undecodable item is overwritten by the next save
    }
    {
        std::lock_guard lock(mMutex);
        mStore = *devices;
    }
    mDevices.set(std::move(*devices));
}

std::optional<TrustedDevice> TrustedDeviceStore::device(const std::string& id) const {
    std::lock_guard lock(mMutex);
    for (const auto& d : mStore) {
        if (d.id == id) {
            return d;
        }
    }
    return std::nullopt;
}

void TrustedDeviceStore::save() {
    std::vector<TrustedDevice> snapshot;
    {
        std::lock_guard lock(mMutex);
        snapshot = mStore;
    }
    if (auto text = json::dump(encodeTrustedDevices(snapshot))) {
        writeKeychainItem(mSecrets, Bytes(text->begin(), text->end()), service, account);
    }
    mLoop.post([weak = weak_from_this(), snapshot = std::move(snapshot)]() mutable {
        if (auto self = weak.lock()) {
            self->mDevices.set(std::move(snapshot));
        }
    });
}

Bytes TrustedDeviceStore::approve(const std::string& id, const std::string& name, const std::string& model) {
    Bytes token = randomBytes(tokenLength);
    auto now = mLoop.wallNow();
    {
        std::lock_guard lock(mMutex);
        std::erase_if(mStore, [&](const TrustedDevice& d) { return d.id == id; });
        mStore.push_back({id, name, model, now, now, token});
    }
    save();
    Log::shared().info("🔐 PELORN: approved device " + name + " (" + model + ")");
    return token;
}

void TrustedDeviceStore::markSeen(const std::string& id, const std::string& name, const std::string& model) {
    {
        std::lock_guard lock(mMutex);
        for (auto& d : mStore) {
            if (d.id == id) {
                d.lastSeenAt = mLoop.wallNow();
                d.name = name;
                d.model = model;
                break;
            }
        }
    }
    save();
}

void TrustedDeviceStore::setConnected(const std::string& id, bool connected) {
    mLoop.post([weak = weak_from_this(), id, connected] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->mConnected.update([&](std::set<std::string>& ids) {
            if (connected) {
                ids.insert(id);
            } else {
                ids.erase(id);
            }
        });
    });
}

void TrustedDeviceStore::remove(const std::string& id) {
    if (auto d = device(id)) {
        mLog.record(LoggedEvent::Kind::DeviceRemoved, d->name);
    }
    {
        std::lock_guard lock(mMutex);
        std::erase_if(mStore, [&](const TrustedDevice& d) { return d.id == id; });
    }
    save();
    setConnected(id, false);
    mNotifications.post(revokedNotification, id);
    Log::shared().info("🔐 PELORN: removed device " + id);
}

} // namespace pelorn
