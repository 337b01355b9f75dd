#include "access/keychain.hpp"

#include "core/json.hpp"
#include "core/log.hpp"
#include "core/secret_store.hpp"

namespace pelorn {

std::optional<Bytes> readKeychainItem(SecretStore& store, const std::string& service,
                                      const std::string& account) {
    auto result = store.read(service, account);
    switch (result.status) {
    case SecretStore::Status::Ok:
        return std::move(result.data);
    case SecretStore::Status::NotFound:
        return std::nullopt;
    case SecretStore::Status::Failed:
        break;
    }
    Log::shared().info("🔐 PELORN KEYCHAIN: read " + account + " failed: " + std::to_string(result.code));
    return std::nullopt;
}

std::optional<nlohmann::json> readKeychainJson(SecretStore& store, const std::string& service,
                                               const std::string& account) {
    auto data = readKeychainItem(store, service, account);
    if (!data) {
        return std::nullopt;
    }
    return json::parse(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
}

bool writeKeychainItem(SecretStore& store, const Bytes& data, const std::string& service,
                       const std::string& account) {
    auto result = store.write(service, account, data);
    if (!result.ok) {
        Log::shared().info("🔐 PELORN KEYCHAIN: write " + account + " failed: " + std::to_string(result.code));
    }
    return result.ok;
}

} // namespace pelorn
