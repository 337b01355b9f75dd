#pragma once

#include "core/text.hpp" // nfc, graphemeCount

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pelorn {

using Bytes = std::vector<std::uint8_t>;

// The system's cryptographically secure generator. Throws if it cannot deliver, which leaves
// the caller with an orderly error instead of a weak secret.
Bytes randomBytes(std::size_t count);

// PBKDF2-HMAC-SHA256 over the NFC-normalised UTF-8 password, 32 bytes.
Bytes deriveVerifierKey(std::string_view password, std::span<const std::uint8_t> salt, std::uint32_t rounds);

// HMAC-SHA256 with `key` over the UTF-8 bytes of `label` immediately followed by `data`.
Bytes keyedProof(std::span<const std::uint8_t> key, std::string_view label,
                 std::span<const std::uint8_t> data);

// False for different lengths; otherwise compares every byte, with no early exit.
bool constantTimeEquals(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

} // namespace pelorn
