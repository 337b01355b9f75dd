#pragma once

#include "access/security.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelorn {

struct SignalingMessage;

// The master-password handshake's payloads, carried as JSON text in a message's `sdp`.

struct AuthChallenge {
    int v = 1;
    std::string macId;
    std::string macName;
    bool masterSet = false;
    std::string salt; // Base64, or "" without a password
    std::uint32_t rounds = 600000;
    std::string nonce; // Base64
};

struct AuthResponse {
    std::string proof; // Base64
    std::string deviceId;
    std::string deviceName;
    std::string deviceModel;
    std::optional<std::string> deviceProof; // Base64, only from a device holding a token

    // Absent when the text is not JSON or a required member is missing or of the wrong type.
    static std::optional<AuthResponse> decode(std::string_view text);
};

struct AuthResult {
    enum class State {
        Authorized,
        WrongPassword,
        Locked,
        AwaitingApproval,
        Denied,
        NoMasterPassword,
        Revoked
    };

    State state = State::Denied;
    std::optional<std::int64_t> attemptsLeft{};
    std::optional<std::int64_t> retryAfter{};
    std::optional<std::string> deviceToken{}; // Base64
    std::optional<std::string> nonce{};       // Base64

    static std::string_view value(State state);
    // For the reference client: absent when the text is not an AuthResult.
    static std::optional<AuthResult> decode(std::string_view text);
};

std::optional<SignalingMessage> challengeMessage(const AuthChallenge& challenge);
std::optional<SignalingMessage> resultMessage(const AuthResult& result);

// The proofs both ends compute over the connection's current nonce.
constexpr std::string_view masterProofLabel = "pelorn.master.v1";
constexpr std::string_view deviceProofLabel = "pelorn.device.v1";

} // namespace pelorn
