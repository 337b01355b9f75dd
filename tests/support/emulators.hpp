#pragma once

// The Firebase emulators that scripts/test-env starts, and credentials they accept.
#include "cloud/firebase_auth.hpp"
#include "cloud/http_client.hpp"
#include "core/base64.hpp"
#include "core/json.hpp"
#include "core/process_runner.hpp"
#include "support/test_support.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>

namespace pelorn::test {

// Whether the emulator at "host:port" answers within 90 s (it may have been started just now, and
// takes several seconds to come up).
inline bool emulatorAnswers(const std::string& host) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline) {
        if (performHttp({"GET", "http://" + host + "/", {}, {}, std::chrono::seconds(2)}).status != 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
}

// "host:port" of the emulator named by `variable` once it answers; absent, with the reason, when
// there is none.
inline std::optional<std::string> emulatorAt(const char* variable, const std::string& name,
                                             const char* install, std::string& why) {
    const char* host = std::getenv(variable);
    if (!host || !*host) {
        why = "no " + name + " emulator: " + install + ", then run the tests under scripts/test-env";
        return std::nullopt;
    }
    if (!emulatorAnswers(host)) {
        why = "the " + name + " emulator at " + std::string(host) + " did not answer within 90 s";
        return std::nullopt;
    }
    return std::string(host);
}

// A Cloud Firestore emulator of the caller's own (scripts/start-firestore-emulator), which it can
// stop and start again on the same port.
class FirestoreEmulatorProcess {
public:
    explicit FirestoreEmulatorProcess(std::filesystem::path folder) : mFolder(std::move(folder)) {}
    ~FirestoreEmulatorProcess() { stop(); }

    // "host:port" once it answers; empty when it did not start.
    std::string start(const std::string& port = "") {
        std::vector<std::string> argv{std::string(PELORN_TESTS_DIR) + "/../scripts/start-firestore-emulator",
                                      mFolder.string()};
        if (!port.empty()) {
            argv.push_back(port);
        }
        std::istringstream lines(runProcess(argv).out);
        std::string pid;
        std::getline(lines, mHost);
        std::getline(lines, pid);
        if (mHost.empty() || pid.empty()) {
            return {};
        }
        mPid = std::stoi(pid);
        return emulatorAnswers(mHost) ? mHost : std::string();
    }
    void stop() {
        if (mPid > 0) {
            ::kill(-mPid, SIGKILL);
            mPid = 0;
            // Gone once its port refuses connections.
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (std::chrono::steady_clock::now() < deadline &&
                   performHttp({"GET", "http://" + mHost + "/", {}, {}, std::chrono::seconds(1)}).status !=
                       0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }
    std::string port() const { return mHost.substr(mHost.rfind(':') + 1); }

private:
    std::filesystem::path mFolder;
    std::string mHost;
    int mPid = 0;
};

// Skips the test when there is no such emulator; fails it when one was started but does not answer,
// or when PELORN_REQUIRE_EMULATORS says every emulator must be there.
#define PELORN_NEED_EMULATOR(host, variable, name, install)                                                  \
    std::string host##Missing;                                                                               \
    auto host = ::pelorn::test::emulatorAt(variable, name, install, host##Missing);                          \
    if (!host) {                                                                                             \
        if (std::getenv(variable) || std::getenv("PELORN_REQUIRE_EMULATORS")) {                              \
            FAIL() << host##Missing;                                                                         \
        }                                                                                                    \
        GTEST_SKIP() << host##Missing;                                                                       \
    }
#define PELORN_NEED_AUTH_EMULATOR(host)                                                                      \
    PELORN_NEED_EMULATOR(host, "FIREBASE_AUTH_EMULATOR_HOST", "Firebase Auth",                               \
                         "run scripts/install-emulators")
#define PELORN_NEED_FIRESTORE_EMULATOR(host)                                                                 \
    PELORN_NEED_EMULATOR(host, "FIRESTORE_EMULATOR_HOST", "Cloud Firestore",                                 \
                         "install the Google Cloud CLI component google-cloud-cli-firestore-emulator")

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

// A Firebase ID token for the Firestore emulator, which reads the claims without checking them.
inline std::string firebaseIdToken(const std::string& uid, const std::string& email,
                                   const std::string& project = "demo-pelorn") {
    return unsignedJwt(R"({"iss":"https://securetoken.google.com/)" + project + R"(","aud":")" + project +
                       R"(","sub":")" + uid + R"(","user_id":")" + uid + R"(","email":")" + email +
                       R"(","email_verified":true,"iat":1700000000,"auth_time":1700000000,"exp":4102444800,)"
                       R"("firebase":{"sign_in_provider":"custom","identities":{}}})");
}

// A name no other test of this run uses, for accounts in the shared emulator.
inline std::string uniqueName(const std::string& prefix) {
    static std::mt19937_64 random(std::random_device{}());
    return prefix + std::to_string(random() % 1'000'000'000'000ULL);
}

// A custom token of the cloud's sign-in for the account `uid`, as the backend would mint it.
inline std::string customToken(const std::string& uid) {
    return unsignedJwt(
        R"({"uid":")" + uid +
        R"(","aud":"https://identitytoolkit.googleapis.com/google.identity.identitytoolkit.v1.IdentityToolkit",)"
        R"("iat":1700000000,"exp":4102444800,"iss":"pelorn-test","sub":"pelorn-test"})");
}

// An account at the Auth emulator, made by a Google sign-in with that e-mail and name ("" for
// none); its uid, or "" when the emulator refused.
inline std::string emulatorAccount(const std::string& authHost, const std::string& email,
                                   const std::string& name) {
    auto reply = performHttp(
        {"POST",
         "http://" + authHost + "/identitytoolkit.googleapis.com/v1/accounts:signInWithIdp?key=fake-api-key",
         {"Content-Type: application/json"},
         nlohmann::json{{"postBody", "id_token=" + googleIdToken(uniqueName("sub"), email, name) +
                                         "&providerId=google.com"},
                        {"requestUri", "http://localhost"},
                        {"returnSecureToken", true}}
             .dump(),
         std::chrono::seconds(10)});
    auto body = nlohmann::json::parse(reply.body, nullptr, false);
    return reply.status == 200 && body.is_object() ? body.value("localId", "") : "";
}

// The cloud's sign-in requests sent to the Auth emulator at "host:port".
inline CloudEndpoints authEmulatorEndpoints(const std::string& authHost) {
    CloudEndpoints endpoints;
    endpoints.identityToolkit = "http://" + authHost + "/identitytoolkit.googleapis.com";
    endpoints.secureToken = "http://" + authHost + "/securetoken.googleapis.com";
    return endpoints;
}

// Starts `auth` and signs it in at the Auth emulator with a Google ID token: the user, or why not.
inline FirebaseAuth::Result startSignedIn(HostLoop& loop, FirebaseAuth& auth,
                                          const std::string& googleToken) {
    auth.start();
    if (!pumpUntil(loop, [&] { return auth.state() == FirebaseAuth::State::SignedOut; })) {
        return std::string("the Auth emulator did not answer");
    }
    std::optional<FirebaseAuth::Result> result;
    auth.signInWithGoogle(googleToken, "", [&](const FirebaseAuth::Result& r) { result = r; });
    if (!pumpUntil(loop, [&] { return result.has_value(); })) {
        return std::string("the sign-in did not finish");
    }
    return *result;
}

// Whether "Authorization: Bearer TOKEN" names a user the Auth emulator at "host:port" knows, as the
// backend's functions check their callers.
inline bool knownCaller(const std::string& authHost, const std::string& authorization) {
    const std::string bearer = "Bearer ";
    if (!authorization.starts_with(bearer)) {
        return false;
    }
    auto lookup = performHttp(
        {"POST",
         "http://" + authHost + "/identitytoolkit.googleapis.com/v1/accounts:lookup?key=fake-api-key",
         {"Content-Type: application/json"},
         nlohmann::json{{"idToken", authorization.substr(bearer.size())}}.dump(),
         std::chrono::seconds(10)});
    return lookup.status == 200;
}

} // namespace pelorn::test
