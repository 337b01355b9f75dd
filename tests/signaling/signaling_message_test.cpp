#include "signaling/signaling_message.hpp"

#include <cmath>
#include <gtest/gtest.h>

using namespace pelorn;

namespace {

nlohmann::json encodedJson(const SignalingMessage& m) {
    return nlohmann::json::parse(*m.encode());
}

} // namespace

TEST(SignalingMessageEncoding, OnlyTypeGivesASingleMember) {
    EXPECT_EQ(encodedJson(SignalingMessage{.type = "host_offline"}),
              nlohmann::json({{"type", "host_offline"}}));
}

TEST(SignalingMessageEncoding, PresentFieldsOnlyAndNoNulls) {
    SignalingMessage m{.type = "candidate",
                       .sdp = "candidate:1 1 udp 1 1.2.3.4 5 typ host",
                       .sdpMid = "0",
                       .sdpMLineIndex = 0};
    auto j = encodedJson(m);
    EXPECT_EQ(j.size(), 4u);
    EXPECT_EQ(j["sdpMLineIndex"], 0);
    EXPECT_EQ(m.encode()->find("null"), std::string::npos);
}

TEST(SignalingMessageEncoding, NumbersUseTheShortestForm) {
    SignalingMessage m{.type = "mouse_event", .x = 1.0, .y = 0.25, .deltaY = -3.0};
    auto text = *m.encode();
    EXPECT_NE(text.find("\"x\":1,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"y\":0.25"), std::string::npos) << text;
    EXPECT_NE(text.find("\"deltaY\":-3"), std::string::npos) << text;
    EXPECT_EQ(SignalingMessage::decode(text), m);
}

TEST(SignalingMessageEncoding, NonFiniteOrNonUtf8MakesTheMessageUnsendable) {
    EXPECT_FALSE((SignalingMessage{.type = "mouse_event", .x = NAN}.encode()));
    EXPECT_FALSE((SignalingMessage{.type = "mouse_event", .deltaY = INFINITY}.encode()));
    EXPECT_FALSE((SignalingMessage{.type = "key_event", .key = "\xff"}.encode()));
}

TEST(SignalingMessageEncoding, EveryFieldRoundTrips) {
    SignalingMessage m{.type = "t",
                       .sdp = "s",
                       .sdpMid = "m",
                       .sdpMLineIndex = -2147483647 - 1,
                       .x = 0.5,
                       .y = 1e-9,
                       .button = "right",
                       .action = "down",
                       .deltaY = 120.75,
                       .key = "é😀",
                       .port = 9007199254740993LL};
    EXPECT_EQ(SignalingMessage::decode(*m.encode()), m);
}

TEST(SignalingMessageDecoding, IntegerXIsADoubleAndOtherFieldsStayAbsent) {
    auto m = SignalingMessage::decode(R"({"type":"mouse_event","x":1})");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->x, 1.0);
    EXPECT_EQ(*m, (SignalingMessage{.type = "mouse_event", .x = 1.0}));
}

TEST(SignalingMessageDecoding, MissingOrNonStringTypeFails) {
    EXPECT_FALSE(SignalingMessage::decode(R"({"sdp":"x"})"));
    EXPECT_FALSE(SignalingMessage::decode(R"({"type":5})"));
    EXPECT_FALSE(SignalingMessage::decode(R"({"type":null})"));
    EXPECT_FALSE(SignalingMessage::decode(R"(["type"])"));
    EXPECT_FALSE(SignalingMessage::decode(""));
}

TEST(SignalingMessageDecoding, WrongMemberTypeFailsTheWholeMessage) {
    for (const char* bad : {
             R"({"type":"media_port","port":"9000"})",
             R"({"type":"t","sdp":1})",
             R"({"type":"t","sdpMid":0})",
             R"({"type":"t","x":"0.5"})",
             R"({"type":"t","y":true})",
             R"({"type":"t","button":{}})",
             R"({"type":"t","action":[]})",
             R"({"type":"t","deltaY":null})",
             R"({"type":"t","key":7})",
         }) {
        EXPECT_FALSE(SignalingMessage::decode(bad)) << bad;
    }
}

TEST(SignalingMessageDecoding, IntegerFieldsMustBeIntegralAndInRange) {
    EXPECT_EQ(SignalingMessage::decode(R"({"type":"t","sdpMLineIndex":2147483647})")->sdpMLineIndex,
              2147483647);
    EXPECT_FALSE(SignalingMessage::decode(R"({"type":"t","sdpMLineIndex":2147483648})"));
    EXPECT_FALSE(SignalingMessage::decode(R"({"type":"t","sdpMLineIndex":-2147483649})"));
    EXPECT_FALSE(SignalingMessage::decode(R"({"type":"t","sdpMLineIndex":1.5})"));
    EXPECT_EQ(SignalingMessage::decode(R"({"type":"t","port":9223372036854775807})")->port, INT64_MAX);
    EXPECT_FALSE(SignalingMessage::decode(R"({"type":"t","port":9223372036854775808})"));
    EXPECT_FALSE(SignalingMessage::decode(R"({"type":"t","port":1e19})"));
}

TEST(SignalingMessageDecoding, OverflowingDoublesFail) {
    EXPECT_FALSE(SignalingMessage::decode(R"({"type":"t","x":1e400})"));
}

TEST(SignalingMessageDecoding, UnlistedMembersAreIgnored) {
    auto m = SignalingMessage::decode(R"({"type":"screen_start","extra":{"deep":[1,2]},"sdpMLineIndx":"x"})");
    EXPECT_EQ(m, (SignalingMessage{.type = "screen_start"}));
}

TEST(PayloadMessage, CarriesThePayloadAsJsonTextInSdp) {
    auto m = payloadMessage("auth_challenge", {{"nonce", "AAAA"}, {"rounds", 600000}});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, "auth_challenge");
    EXPECT_EQ(nlohmann::json::parse(*m->sdp), nlohmann::json({{"nonce", "AAAA"}, {"rounds", 600000}}));
    EXPECT_EQ(*m, (SignalingMessage{.type = "auth_challenge", .sdp = m->sdp}));
    EXPECT_FALSE(payloadMessage("auth_result", {{"state", "\xc3("}}));
}
