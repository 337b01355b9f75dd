#pragma once

// The Firebase Auth emulator that scripts/test-env starts, and Google credentials it accepts.
#include "cloud/http_client.hpp"
#include "core/base64.hpp"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <thread>

namespace pelorn::test {

// "host:port" of the emulator once it answers; absent, with the reason, when there is none.
inline std::optional<std::string> authEmulator(std::string& why) {
    const char* host = std::getenv("FIREBASE_AUTH_EMULATOR_HOST");
    if (!host || !*host) {
        why =
            "no Firebase Auth emulator: run scripts/install-emulators, then the tests under scripts/test-env";
        return std::nullopt;
    }
    // It was started in the background with the test run and takes several seconds to come up.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline) {
        if (performHttp({"GET", "http://" + std::string(host) + "/", {}, {}, std::chrono::seconds(2)})
                .status != 0) {
            return std::string(host);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    why = "the Firebase Auth emulator at " + std::string(host) + " did not answer within 90 s";
    return std::nullopt;
}

// Skips the test without an emulator, or fails it where the test environment started one.
#define PELORN_NEED_AUTH_EMULATOR(host)                                                                      \
    std::string emulatorMissing;                                                                             \
    auto host = ::pelorn::test::authEmulator(emulatorMissing);                                               \
    if (!host) {                                                                                             \
        if (std::getenv("PELORN_REQUIRE_EMULATORS")) {                                                       \
            FAIL() << emulatorMissing;                                                                       \
        }                                                                                                    \
        GTEST_SKIP() << emulatorMissing;                                                                     \
    }

// A JWT with no signature ("alg": "none"), which the emulators take at its word.
inline std::string unsignedJwt(const std::string& claims) {
    auto segment = [](const std::string& json) {
        return base64::encodeUrl(std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
    };
    return segment(R"({"alg":"none","typ":"JWT"})") + "." + segment(claims) + ".";
}

// A Google ID token for the Auth emulator.
inline std::string googleIdToken(const std::string& subject, const std::string& email,
                                 const std::string& name) {
    return unsignedJwt(R"({"iss":"https://accounts.google.com","aud":"pelorn-test","sub":")" + subject +
                       R"(","email":")" + email + R"(","email_verified":true,)" +
                       (name.empty() ? "" : R"("name":")" + name + R"(",)") +
                       R"("iat":1700000000,"exp":4102444800})");
}

// A name no other test of this run uses, for accounts in the shared emulator.
inline std::string uniqueName(const std::string& prefix) {
    static std::mt19937_64 random(std::random_device{}());
    return prefix + std::to_string(random() % 1'000'000'000'000ULL);
}

} // namespace pelorn::test
