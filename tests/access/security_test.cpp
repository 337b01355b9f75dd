#include "access/security.hpp"
#include "core/sha256.hpp"

#include <gtest/gtest.h>

using namespace pelorn;

namespace {

std::string hex(const Bytes& b) {
    return hexLower(b.data(), b.size());
}
Bytes bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

} // namespace

TEST(SecurityPrimitives, Pbkdf2MatchesThePublishedSha256Vector) {
    // RFC 7914 section 11: PBKDF2-HMAC-SHA256, "passwd" / "salt", 1 round, first 32 bytes.
    EXPECT_EQ(hex(deriveVerifierKey("passwd", bytes("salt"), 1)),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc");
}

TEST(SecurityPrimitives, DecomposedAndPrecomposedAccentsDeriveTheSameKey) {
    auto salt = bytes("0123456789abcdef0123456789abcdef");
    auto precomposed = deriveVerifierKey("caf\xc3\xa9!", salt, 1000); // é as one code point
    auto decomposed = deriveVerifierKey("cafe\xcc\x81!", salt, 1000); // e + combining acute
    EXPECT_EQ(precomposed, decomposed);
    EXPECT_NE(precomposed, deriveVerifierKey("cafe!", salt, 1000));
}

TEST(SecurityPrimitives, KeyedProofIsHmacOverLabelThenData) {
    // RFC 4231 test case 2: key "Jefe", data "what do ya want for nothing?" split into label + data.
    EXPECT_EQ(hex(keyedProof(bytes("Jefe"), "what do ya ", bytes("want for nothing?"))),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(SecurityPrimitives, GraphemesCountUserPerceivedCharacters) {
    EXPECT_EQ(graphemeCount("abc"), 3u);
    EXPECT_EQ(graphemeCount("cafe\xcc\x81"), 4u);                     // e + combining accent is one
    EXPECT_EQ(graphemeCount("\xf0\x9f\x87\xab\xf0\x9f\x87\xb7"), 1u); // a flag: two code points
    EXPECT_EQ(graphemeCount("\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7"), 1u);
    EXPECT_EQ(graphemeCount(""), 0u);
}
