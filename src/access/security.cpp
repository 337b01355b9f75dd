#include "access/security.hpp"

#include <memory>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <stdexcept>
#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace pelorn {

namespace {

constexpr std::size_t keyLength = 32;

icu::UnicodeString unicode(std::string_view utf8) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
}

} // namespace

Bytes randomBytes(std::size_t count) {
    Bytes out(count);
    if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1) {
        throw std::runtime_error("the system random source failed");
    }
    return out;
}

std::string nfc(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) {
        throw std::runtime_error("Unicode normalisation is unavailable");
    }
    icu::UnicodeString composed = normalizer->normalize(unicode(utf8), status);
    if (U_FAILURE(status)) {
        throw std::runtime_error("Unicode normalisation failed");
    }
    std::string out;
    composed.toUTF8String(out);
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
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    }
    return difference == 0;
}

std::size_t graphemeCount(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) {
        throw std::runtime_error("grapheme segmentation is unavailable");
    }
    icu::UnicodeString text = unicode(utf8);
    it->setText(text);
    std::size_t count = 0;
    it->first();
    while (it->next() != icu::BreakIterator::DONE) {
        ++count;
    }
    return count;
}

} // namespace pelorn
