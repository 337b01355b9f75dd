#include "access/auth_messages.hpp"

#include "core/json.hpp"
#include "signaling/lan_protocol.hpp"
#include "signaling/signaling_message.hpp"

#include <array>

namespace pelorn {

namespace {

constexpr std::array<std::string_view, 7> stateValues{
    "authorized", "wrong_password", "locked", "awaiting_approval", "denied", "no_master_password", "revoked"};

} // namespace

std::optional<AuthResponse> AuthResponse::decode(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    const auto& o = *parsed;
    auto v = json::doubleMember(o, "v");
    auto proof = json::stringMember(o, "proof").value;
    auto deviceId = json::stringMember(o, "deviceId").value;
    auto deviceName = json::stringMember(o, "deviceName").value;
    auto deviceModel = json::stringMember(o, "deviceModel").value;
    auto deviceProof = json::stringMember(o, "deviceProof");
    if (!v.value || !proof || !deviceId || !deviceName || !deviceModel || deviceProof.failed()) {
        return std::nullopt;
    }
    return AuthResponse{*proof, *deviceId, *deviceName, *deviceModel, deviceProof.value};
}

std::string_view AuthResult::value(State state) {
    return stateValues[static_cast<std::size_t>(state)];
}

std::optional<AuthResult> AuthResult::decode(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed || !parsed->is_object()) {
        return std::nullopt;
    }
    auto state = json::stringMember(*parsed, "state").value;
    if (!state) {
        return std::nullopt;
    }
    AuthResult result;
    bool known = false;
    for (std::size_t i = 0; i < stateValues.size(); ++i) {
        if (stateValues[i] == *state) {
            result.state = static_cast<State>(i);
            known = true;
        }
    }
    if (!known) {
        return std::nullopt;
    }
    result.attemptsLeft = json::integerMember(*parsed, "attemptsLeft", INT64_MIN, INT64_MAX).value;
    result.retryAfter = json::integerMember(*parsed, "retryAfter", INT64_MIN, INT64_MAX).value;
    result.deviceToken = json::stringMember(*parsed, "deviceToken").value;
    result.nonce = json::stringMember(*parsed, "nonce").value;
    return result;
}

std::optional<SignalingMessage> challengeMessage(const AuthChallenge& c) {
    return payloadMessage(std::string(msg::authChallenge), {{"v", c.v},
                                                            {"macId", c.macId},
                                                            {"macName", c.macName},
                                                            {"masterSet", c.masterSet},
                                                            {"salt", c.salt},
                                                            {"rounds", c.rounds},
                                                            {"nonce", c.nonce}});
}

std::optional<SignalingMessage> resultMessage(const AuthResult& r) {
    nlohmann::json payload = {{"state", AuthResult::value(r.state)}};
    if (r.attemptsLeft) {
        payload["attemptsLeft"] = *r.attemptsLeft;
    }
    if (r.retryAfter) {
        payload["retryAfter"] = *r.retryAfter;
    }
    if (r.deviceToken) {
        payload["deviceToken"] = *r.deviceToken;
    }
    if (r.nonce) {
        payload["nonce"] = *r.nonce;
    }
    return payloadMessage(std::string(msg::authResult), payload);
}

} // namespace pelorn
