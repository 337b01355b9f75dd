#include "access/security.hpp"

#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <stdexcept>

namespace pelorn {

namespace {

constexpr std::size_t keyLength = 32;

} // namespace

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
        throw std::runtime_error("the system random source failed");
    }
    return out;
}

Bytes deriveVerifierKey(std::string_view password, std::span<const std::uint8_t> salt, std::uint32_t rounds) {
    std::string composed = nfc(password);
    Bytes key(keyLength);
    if (PKCS5_PBKDF2_HMAC(composed.data(), static_cast<int>(composed.size()), salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(rounds), EVP_sha256(),
                          static_cast<int>(key.size()), key.data()) != 1) {
        throw std::runtime_error("PBKDF2 failed");
    }
    return key;
}

Bytes keyedProof(std::span<const std::uint8_t> key, std::string_view label,
                 std::span<const std::uint8_t> data) {
    Bytes message(label.begin(), label.end());
    message.insert(message.end(), data.begin(), data.end());
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(),
              out.data(), &length)) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    out.resize(length);
    return out;
}

bool constantTimeEquals(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    if (a.size() != b.size()) {
        return false;
    }
    // OpenSSL's comparison is written so that no compiler turns it into an early exit.
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace pelorn
