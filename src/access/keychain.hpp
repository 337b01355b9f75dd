#pragma once

#include "access/security.hpp"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace pelorn {

class SecretStore;

// One generic-password item by service and account. A missing item is absent without a log line;
// other failures are logged with the account and the store's code.
std::optional<Bytes> readKeychainItem(SecretStore& store, const std::string& service,
                                      const std::string& account);
// The item parsed as JSON; absent when it is missing, unreadable or not JSON.
std::optional<nlohmann::json> readKeychainJson(SecretStore& store, const std::string& service,
                                               const std::string& account);
bool writeKeychainItem(SecretStore& store, const Bytes& data, const std::string& service,
                       const std::string& account);

} // namespace pelorn
