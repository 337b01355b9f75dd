#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace pelorn {

// The one message of every control channel: a flat JSON object with a required "type". Structured
// payloads travel as JSON text in `sdp`.
struct SignalingMessage {
    std::string type;
    std::optional<std::string> sdp{};
    std::optional<std::string> sdpMid{};
    std::optional<std::int32_t> sdpMLineIndex{};
    std::optional<double> x{};
    std::optional<double> y{};
    std::optional<std::string> button{};
    std::optional<std::string> action{};
    std::optional<double> deltaY{};
    std::optional<std::string> key{};
    std::optional<std::int64_t> port{};

    bool operator==(const SignalingMessage&) const = default;

    // JSON text with "type" and each present field; absent when it cannot be encoded (a
    // non-finite number, a string that is not UTF-8): the sender then drops the message.
    std::optional<std::string> encode() const;

    // Absent when the text is not a JSON object, "type" is missing or not a string, or a listed
    // member has the wrong type or an out-of-range integer. Unlisted members are ignored.
    static std::optional<SignalingMessage> decode(std::string_view text);
};

// A message of `type` whose `sdp` is the JSON text of `payload`; absent when it cannot be encoded.
// A message's `x` or `y` as a whole number (truncated); absent when it is not finite or does not fit
// an int, which such a message must never be cast from.
std::optional<int> wholeNumber(double value);

std::optional<SignalingMessage> payloadMessage(std::string type, const nlohmann::json& payload);

} // namespace pelorn
