#include "core/base64.hpp"
#include "core/json.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "core/uuid.hpp"

#include <gtest/gtest.h>

using namespace pelorn;

TEST(Base64, RoundTripsEveryLengthWithPadding) {
    std::string data;
    for (int n = 0; n < 10; ++n) {
        auto encoded = base64::encode(data);
        EXPECT_EQ(encoded.size() % 4, 0u);
        auto decoded = base64::decode(encoded);
        ASSERT_TRUE(decoded) << encoded;
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), data);
        data.push_back(static_cast<char>(0xF0 + n));
    }
    EXPECT_EQ(base64::encode(std::string_view("any carnal pleas")), "YW55IGNhcm5hbCBwbGVhcw==");
}

TEST(Base64, UrlFormHasNoPaddingAndItsOwnTwoCharacters) {
    std::vector<std::uint8_t> data;
    for (int n = 0; n < 10; ++n) {
        auto encoded = base64::encodeUrl(data);
        EXPECT_EQ(encoded.find_first_of("+/="), std::string::npos) << encoded;
        auto decoded = base64::decodeUrl(encoded);
        ASSERT_TRUE(decoded) << encoded;
        EXPECT_EQ(*decoded, data);
        data.push_back(static_cast<std::uint8_t>(0xF8 + n)); // 0xFB, 0xFF: '-' and '_' appear
    }
    EXPECT_EQ(base64::encodeUrl(std::vector<std::uint8_t>{0xfb, 0xff}), "-_8");
    for (const char* bad : {"-_8=", "+_8", "/_8", "abcde", "ab c"}) {
        EXPECT_FALSE(base64::decodeUrl(bad)) << bad;
    }
}

TEST(Base64, RefusesAnythingButTheStrictForm) {
    for (const char* bad :
         {"YWJj ", "YW Jj", "YWJ", "YW==YWJj", "YWJj\n", "YW=j", "Y===", "YWJ-", "YWJ_", "=AAA"}) {
        EXPECT_FALSE(base64::decode(bad)) << bad;
    }
    EXPECT_TRUE(base64::decode(""));
    EXPECT_EQ(base64::decode("YQ==")->size(), 1u);
    EXPECT_EQ(base64::decode("YWI=")->size(), 2u);
}

TEST(StrictJson, RefusesSyntaxErrorsTrailingGarbageAndDeepNesting) {
    EXPECT_FALSE(json::parse(""));
    EXPECT_FALSE(json::parse("{\"a\":1} x"));
    EXPECT_FALSE(json::parse("{\"a\":\"\xff\"}"));
    EXPECT_TRUE(json::parse(std::string(json::maxDepth, '[') + std::string(json::maxDepth, ']')));
    EXPECT_FALSE(json::parse(std::string(json::maxDepth + 1, '[') + std::string(json::maxDepth + 1, ']')));
    // Brackets inside strings do not count as nesting.
    EXPECT_TRUE(json::parse("{\"a\":\"" + std::string(1000, '[') + "\\\"\"}"));
    EXPECT_FALSE(json::parse(std::string(1'000'000, '[')));
}

TEST(StrictJson, IntegerMembersAcceptIntegralValuesInRangeOnly) {
    auto v = *json::parse(R"({"a":3,"b":3.0,"c":3.5,"d":"3","e":2147483648,"f":-1,"g":1e300})");
    EXPECT_EQ(*json::integerMember(v, "a", 0, 100).value, 3);
    EXPECT_EQ(*json::integerMember(v, "b", 0, 100).value, 3);
    EXPECT_TRUE(json::integerMember(v, "c", 0, 100).failed());
    EXPECT_TRUE(json::integerMember(v, "d", 0, 100).failed());
    EXPECT_TRUE(json::integerMember(v, "e", INT32_MIN, INT32_MAX).failed());
    EXPECT_TRUE(json::integerMember(v, "f", 0, 100).failed());
    EXPECT_TRUE(json::integerMember(v, "g", INT64_MIN, INT64_MAX).failed());
    EXPECT_FALSE(json::integerMember(v, "missing", 0, 1).present);
}

TEST(StrictJson, DumpRefusesInvalidUtf8) {
    EXPECT_FALSE(json::dump(nlohmann::json("\xc3")));
    EXPECT_EQ(*json::dump(nlohmann::json("é")), "\"é\"");
}

TEST(TextHelpers, LowerCasingIsUnicodeAware) {
    EXPECT_EQ(lowercased("Owner@Example.COM"), "owner@example.com");
    EXPECT_EQ(lowercased("ÉLODIE@Ü.DE"), "élodie@ü.de");
}

TEST(TextHelpers, TextFromOutsideIsBoundedAndItsControlCharactersShown) {
    for (auto [in, max, out] : std::vector<std::tuple<std::string, std::size_t, std::string>>{
             {"iPad", 128, "iPad"},
             {"\x1b[2Jwiped\r\n", 128, "\\x1B[2Jwiped\\x0D\\x0A"},
             {"caf\xc3\xa9 \xf0\x9f\x98\x80", 6, "café 😀"},
             {"caf\xc3\xa9 \xf0\x9f\x98\x80!", 6, "café 😀…"}, // cut after six characters
             {"\xff"
              "a",
              128,
              "\xef\xbf\xbd"
              "a"},                              // invalid bytes become U+FFFD
             {"\xc2\x85next", 128, "\\x85next"}, // a C1 control is a control too
         }) {
        EXPECT_EQ(shownText(in, max), out) << in;
    }
    auto huge = shownText(std::string(10 << 20, 'n'));
    EXPECT_EQ(codePointCount(huge), 129u); // 128 and the ellipsis
}
