#include "signaling/lan_protocol.hpp"
#include "signaling/signaling_message.hpp"

#include <cmath>
#include <gtest/gtest.h>

using namespace pelorn;

TEST(SignalingMessageEncoding, PresentFieldsOnlyInTheShortestForm) {
    EXPECT_EQ(*SignalingMessage{.type = "host_offline"}.encode(), R"({"type":"host_offline"})");
    SignalingMessage candidate{.type = "candidate", .sdp = "c", .sdpMid = "0", .sdpMLineIndex = 0};
    EXPECT_EQ(nlohmann::json::parse(*candidate.encode()).size(), 4u);
    SignalingMessage mouse{.type = "mouse_event", .x = 1.0, .y = 0.25, .deltaY = -3.0};
    EXPECT_EQ(*mouse.encode(), R"({"deltaY":-3,"type":"mouse_event","x":1,"y":0.25})");
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

TEST(SignalingMessageDecoding, ReadsWhatAClientMaySendAndRefusesTheRest) {
    struct Case {
        const char* text;
        std::optional<SignalingMessage> expected;
    };
    const Case cases[] = {
        {R"({"type":"mouse_event","x":1})", SignalingMessage{.type = "mouse_event", .x = 1.0}},
        // A client that writes absent optionals as null loses nothing.
        {R"({"type":"mouse_event","x":0.5,"button":null,"deltaY":null,"sdpMLineIndex":null})",
         SignalingMessage{.type = "mouse_event", .x = 0.5}},
        {R"({"type":"screen_start","extra":{"deep":[1,2]},"sdpMLineIndx":"x"})",
         SignalingMessage{.type = "screen_start"}},
        {R"({"type":"t","sdpMLineIndex":2147483647})",
         SignalingMessage{.type = "t", .sdpMLineIndex = 2147483647}},
        {R"({"type":"t","port":9223372036854775807})", SignalingMessage{.type = "t", .port = INT64_MAX}},
        // No usable type.
        {R"({"sdp":"x"})", std::nullopt},
        {R"({"type":5})", std::nullopt},
        {R"({"type":null})", std::nullopt},
        {R"(["type"])", std::nullopt},
        {"", std::nullopt},
        // A member of the wrong type fails the whole message.
        {R"({"type":"media_port","port":"9000"})", std::nullopt},
        {R"({"type":"t","sdp":1})", std::nullopt},
        {R"({"type":"t","sdpMid":0})", std::nullopt},
        {R"({"type":"t","x":"0.5"})", std::nullopt},
        {R"({"type":"t","y":true})", std::nullopt},
        {R"({"type":"t","button":{}})", std::nullopt},
        {R"({"type":"t","action":[]})", std::nullopt},
        {R"({"type":"t","key":7})", std::nullopt},
        // Integers must be integral and in range; doubles must be finite.
        {R"({"type":"t","sdpMLineIndex":2147483648})", std::nullopt},
        {R"({"type":"t","sdpMLineIndex":-2147483649})", std::nullopt},
        {R"({"type":"t","sdpMLineIndex":1.5})", std::nullopt},
        {R"({"type":"t","port":9223372036854775808})", std::nullopt},
        {R"({"type":"t","port":1e19})", std::nullopt},
        {R"({"type":"t","x":1e400})", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SignalingMessage::decode(c.text), c.expected) << c.text;
    }
}

TEST(PayloadMessage, CarriesThePayloadAsJsonTextInSdp) {
    auto m = payloadMessage("auth_challenge", {{"nonce", "AAAA"}, {"rounds", 600000}});
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, "auth_challenge");
    EXPECT_EQ(nlohmann::json::parse(*m->sdp), nlohmann::json({{"nonce", "AAAA"}, {"rounds", 600000}}));
    EXPECT_FALSE(payloadMessage("auth_result", {{"state", "\xc3("}}));
}

// The typed views decide which messages are usable; the handlers trust them.
TEST(LanProtocolViews, MissingOrUnusableMembersMakeTheMessageUnusable) {
    using M = SignalingMessage;
    EXPECT_FALSE(msg::Candidate::from(M{.type = "candidate", .sdp = "c", .sdpMid = "0"}));
    EXPECT_EQ(msg::Candidate::from(M{.type = "candidate", .sdp = "c", .sdpMid = "0", .sdpMLineIndex = 1})
                  ->sdpMLineIndex,
              1);
    EXPECT_FALSE(msg::Key::from(M{.type = "key_event"}));
    auto mouse = msg::MouseEvent::from(M{.type = "mouse_event"});
    EXPECT_EQ(std::tuple(mouse.action, mouse.x, mouse.y), std::tuple("move", 0.5, 0.5));

    auto attach = msg::TermAttach::from(M{.type = "term_attach", .sdp = "work"});
    ASSERT_TRUE(attach); // a missing size is 0: the attachment's minimum applies
    EXPECT_EQ(std::tuple(attach->columns, attach->rows), std::tuple(0, 0));
    EXPECT_FALSE(msg::TermAttach::from(M{.type = "term_attach", .x = 80, .y = 24})); // no name
    EXPECT_FALSE(msg::TermAttach::from(M{.type = "term_attach", .sdp = "w", .x = std::nan(""), .y = 24}));
    EXPECT_FALSE(msg::TermAttach::from(M{.type = "term_attach", .sdp = "w", .x = 1e30, .y = 24}));

    auto resize = msg::TerminalResize::from(M{.type = "terminal_resize", .x = 80.9, .y = 24});
    ASSERT_TRUE(resize); // truncated
    EXPECT_EQ(std::tuple(resize->columns, resize->rows), std::tuple(80, 24));
    EXPECT_FALSE(msg::TerminalResize::from(M{.type = "terminal_resize", .x = 80}));
    EXPECT_FALSE(msg::TerminalResize::from(M{.type = "terminal_resize", .x = 1e300, .y = 24}));

    EXPECT_EQ(msg::TerminalInput::from(M{.type = "terminal_input", .sdp = "aGk="})->bytes, "hi");
    EXPECT_FALSE(msg::TerminalInput::from(M{.type = "terminal_input", .sdp = "not base64"}));
    EXPECT_EQ(msg::terminalOutputMessage("out"), (M{.type = "terminal_output", .sdp = "b3V0"}));
}
