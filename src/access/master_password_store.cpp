#include "access/master_password_store.hpp"

#include "access/keychain.hpp"
#include "core/base64.hpp"
#include "core/host_loop.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/secret_store.hpp"
#include "core/task_pool.hpp"

#include <cmath>

namespace pelorn {

namespace {

constexpr std::int64_t referenceEpoch = 978307200; // 2001-01-01 00:00:00 UTC in Unix seconds
constexpr std::size_t saltLength = 32;

std::optional<Bytes> bytesMember(const nlohmann::json& object, const char* key) {
    auto text = json::stringMember(object, key).value;
    return text ? base64::decode(*text) : std::nullopt;
}

} // namespace

double referenceSeconds(std::chrono::system_clock::time_point at) {
    auto unix = std::chrono::duration<double>(at.time_since_epoch()).count();
    return unix - static_cast<double>(referenceEpoch);
}

std::chrono::system_clock::time_point fromReferenceSeconds(double seconds) {
    auto unix = std::chrono::duration<double>(seconds + static_cast<double>(referenceEpoch));
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(unix));
}

std::string_view MasterPasswordStore::text(Failure failure) {
    switch (failure) {
    case Failure::TooShort:
        return "Use at least 4 characters.";
    case Failure::Keychain:
        return "Couldn't save to the Keychain.";
    }
    return "";
}

nlohmann::json MasterPasswordStore::Record::toJson() const {
    return {{"salt", base64::encode(salt)},
            {"key", base64::encode(key)},
            {"rounds", rounds},
            {"updatedAt", referenceSeconds(updatedAt)}};
}

std::optional<MasterPasswordStore::Record> MasterPasswordStore::Record::fromJson(const nlohmann::json& j) {
    if (!j.is_object()) {
        return std::nullopt;
    }
    auto salt = bytesMember(j, "salt");
    auto key = bytesMember(j, "key");
    auto rounds = json::integerMember(j, "rounds", 0, UINT32_MAX).value;
    auto updatedAt = json::doubleMember(j, "updatedAt").value;
    if (!salt || !key || !rounds || !updatedAt) {
        return std::nullopt;
    }
    return Record{std::move(*salt), std::move(*key), static_cast<std::uint32_t>(*rounds),
                  fromReferenceSeconds(*updatedAt)};
}

MasterPasswordStore::MasterPasswordStore(HostLoop& loop, TaskPool& pool, SecretStore& secrets)
    : mLoop(loop), mPool(pool), mSecrets(secrets) {
}

std::shared_ptr<MasterPasswordStore> MasterPasswordStore::create(HostLoop& loop, TaskPool& pool,
                                                                 SecretStore& secrets) {
    // The constructor is private (the store must be held by a shared_ptr), so make_shared cannot reach it.
    std::shared_ptr<MasterPasswordStore> store(new MasterPasswordStore(loop, pool, secrets));
    store->load();
    return store;
}

void MasterPasswordStore::load() {
    auto parsed = readKeychainJson(mSecrets, service, account);
    auto record = parsed ? Record::fromJson(*parsed) : std::nullopt;
    if (!record) {
        return; // a bad item stays until the next successful set overwrites it
    }
    auto updatedAt = record->updatedAt;
    {
        std::lock_guard lock(mMutex);
        mRecord = std::move(record);
    }
    mIsSet.set(true);
    mUpdatedAt.set(updatedAt);
}

std::optional<MasterPasswordStore::Record> MasterPasswordStore::currentRecord() const {
    std::lock_guard lock(mMutex);
    return mRecord;
}

void MasterPasswordStore::setPassword(std::string password,
                                      std::function<void(std::optional<Failure>)> done) {
    if (graphemeCount(password) < minimumCharacters) {
        done(Failure::TooShort);
        return;
    }
    // The derivation takes a noticeable fraction of a second and the secret store may block on its
    // service, so both run off the host loop.
    mPool.submit(
        [weak = weak_from_this(), &loop = mLoop, password = std::move(password), done = std::move(done)] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            Record record;
            bool ok = self->storeNewRecord(password, record);
            loop.post([weak, ok, updatedAt = record.updatedAt, done] {
                auto store = weak.lock();
                if (!store) {
                    return;
                }
                if (!ok) {
                    done(Failure::Keychain);
                    return;
                }
                store->mIsSet.set(true);
                store->mUpdatedAt.set(updatedAt);
                Log::shared().info("🔐 PELORN: master password set");
                done(std::nullopt);
            });
        });
}

bool MasterPasswordStore::storeNewRecord(const std::string& password, Record& record) {
    try {
        record.salt = randomBytes(saltLength);
        record.key = deriveVerifierKey(password, record.salt, rounds);
    } catch (const std::exception& e) {
        Log::shared().info(std::string("❌ PELORN: master password not set: ") + e.what());
        return false;
    }
    record.rounds = rounds;
    record.updatedAt = mLoop.wallNow();
    auto text = json::dump(record.toJson());
    if (!text || !writeKeychainItem(mSecrets, Bytes(text->begin(), text->end()), service, account)) {
        return false;
    }
    std::lock_guard lock(mMutex);
    mRecord = record;
    return true;
}

} // namespace pelorn
