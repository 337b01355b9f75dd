#include "account/auth_manager.hpp"

#include "access/security.hpp"
#include "cloud/firebase_auth.hpp"
#include "core/base64.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/process_runner.hpp"
#include "core/settings.hpp"
#include "core/sha256.hpp"
#include "core/task_pool.hpp"
#include "core/text.hpp"

namespace pelorn {

namespace {

constexpr const char* scopes = "openid https://www.googleapis.com/auth/userinfo.email "
                               "https://www.googleapis.com/auth/userinfo.profile";

} // namespace

AuthManager::AuthManager(Dependencies deps) : mDeps(std::move(deps)) {
    if (!mDeps.openBrowser) {
        mDeps.openBrowser = openWithXdgOpen;
    }
}

AuthManager::~AuthManager() {
    mLifetime.end();
    mCallbackServer.reset();
}

std::string AuthManager::randomURLSafe(std::size_t bytes) {
    return base64::encodeUrl(randomBytes(bytes));
}

std::optional<std::string> AuthManager::openWithXdgOpen(const std::string& url) {
    auto result = runProcess({"xdg-open", url}, {{}, std::chrono::seconds(10), std::nullopt, std::nullopt});
    if (result.succeeded()) {
        return std::nullopt;
    }
    auto why = trimmed(result.err);
    return "xdg-open failed" + (why.empty() ? std::string() : ": " + shownText(why, 200));
}

bool AuthManager::isAuthenticated() const {
    return mDeps.settings.boolean("isAuthenticated");
}
std::string AuthManager::userEmail() const {
    return mDeps.settings.string("userEmail");
}
std::string AuthManager::userName() const {
    return mDeps.settings.string("userName");
}
std::string AuthManager::userUID() const {
    return mDeps.settings.string("userUID");
}

void AuthManager::send(HttpRequest request, std::function<void(const HttpResponse&)> then) {
    auto self = mLifetime.weak();
    auto attempt = mAttempt;
    mDeps.pool.submit([&loop = mDeps.loop, http = mDeps.http, self, attempt, request = std::move(request),
                       then = std::move(then)] {
        auto response = http(request);
        loop.post([self, attempt, then, response = std::move(response)] {
            auto* manager = self.lock();
            // An abandoned attempt's replies change nothing.
            if (manager && manager->mAttempt == attempt && manager->mPendingCompletion) {
                then(response);
            }
        });
    });
}

void AuthManager::signIn(UrlHandler urlHandler, std::function<void(bool)> completion) {
    cancelPending();
    ++mAttempt;
    mPendingCompletion = std::move(completion);
    if (!mDeps.client) {
        Log::shared().info(
            "❌ Sign-in could not start: no Google OAuth client is configured (oauth-client.json)");
        endAttempt(false);
        return;
    }
    mCodeVerifier = randomURLSafe(32);
    mAuthState = randomURLSafe(16);
    mCallbackServer = std::make_shared<OAuthCallbackServer>(mDeps.loop, mDeps.io);
    auto attempt = mAttempt;
    mSafetyNet.startOnce(mDeps.loop, safetyNet, [this, attempt] {
        if (mAttempt == attempt && mCallbackServer) {
            cancelPending();
        }
    });
    auto server = mCallbackServer;
    server->start([this, urlHandler](std::uint16_t port) { ready(port, urlHandler); },
                  [this](const OAuthCallbackServer::Result& result) { handleCallback(result); },
                  serverTimeout);
}

void AuthManager::ready(std::uint16_t port, const UrlHandler& urlHandler) {
    mRedirectURI = "http://127.0.0.1:" + std::to_string(port);
    auto challenge = sha256(mCodeVerifier);
    auto url = mDeps.endpoints.googleAuthorize + "?" +
               formEncode({{"client_id", mDeps.client->clientId},
                           {"redirect_uri", mRedirectURI},
                           {"response_type", "code"},
                           {"scope", scopes},
                           {"access_type", "offline"},
                           {"prompt", "consent"},
                           {"state", mAuthState},
                           {"code_challenge", base64::encodeUrl(challenge)},
                           {"code_challenge_method", "S256"}});
    if (urlHandler) {
        urlHandler(url);
        return;
    }
    auto self = mLifetime.weak();
    auto attempt = mAttempt;
    mDeps.pool.submit([&loop = mDeps.loop, open = mDeps.openBrowser, self, attempt, url] {
        auto error = open(url);
        if (!error) {
            return;
        }
        loop.post([self, attempt, error] {
            auto* manager = self.lock();
            if (manager && manager->mAttempt == attempt && manager->mPendingCompletion) {
                Log::shared().info("❌ Sign-in could not start: " + *error);
                manager->endAttempt(false);
            }
        });
    });
}

void AuthManager::handleCallback(const OAuthCallbackServer::Result& result) {
    if (auto* failure = std::get_if<OAuthCallbackServer::Failure>(&result)) {
        fail("❌ Sign-in failed: " + failure->description());
        return;
    }
    const auto& query = std::get<OAuthCallbackServer::Query>(result);
    auto state = query.find("state");
    if (state == query.end() || state->second != mAuthState) {
        fail("❌ Sign-in failed: state mismatch - ignoring an unexpected redirect");
        return;
    }
    if (auto error = query.find("error"); error != query.end()) {
        fail("❌ Sign-in failed: Google returned " + shownText(error->second, 200));
        return;
    }
    auto code = query.find("code");
    if (code == query.end() || code->second.empty()) {
        fail("❌ Sign-in failed: no authorization code in the redirect");
        return;
    }
    exchange(code->second);
}

void AuthManager::exchange(const std::string& code) {
    HttpRequest request{"POST",
                        mDeps.endpoints.googleToken,
                        {"Content-Type: application/x-www-form-urlencoded"},
                        formEncode({{"code", code},
                                    {"client_id", mDeps.client->clientId},
                                    {"client_secret", mDeps.client->clientSecret},
                                    {"redirect_uri", mRedirectURI},
                                    {"grant_type", "authorization_code"},
                                    {"code_verifier", mCodeVerifier}}),
                        tokenTimeout};
    send(std::move(request), [this](const HttpResponse& response) {
        auto reply = json::parse(response.body);
        if (reply && reply->is_object() && !json::stringOrEmpty(*reply, "access_token").empty()) {
            // Single use.
            mCodeVerifier.clear();
            mAuthState.clear();
            fetchProfile(json::stringOrEmpty(*reply, "access_token"),
                         json::stringOrEmpty(*reply, "id_token"));
            return;
        }
        std::string message;
        if (reply && reply->is_object() && !json::stringOrEmpty(*reply, "error").empty()) {
            message = json::stringOrEmpty(*reply, "error");
            if (auto description = json::stringOrEmpty(*reply, "error_description"); !description.empty()) {
                message += ": " + description;
            }
        } else if (!response.error.empty()) {
            message = response.error;
        } else {
            message = "unknown error";
        }
        fail("❌ Token exchange failed: " + shownText(message, 300));
    });
}

void AuthManager::fetchProfile(const std::string& accessToken, const std::string& idToken) {
    HttpRequest request{"GET", mDeps.endpoints.googleUserInfo, {"Authorization: Bearer " + accessToken}, {}};
    send(std::move(request), [this, accessToken, idToken](const HttpResponse& response) {
        auto profile = json::parse(response.body);
        if (!profile || !profile->is_object()) {
            fail(std::nullopt);
            return;
        }
        auto name = json::stringOrEmpty(*profile, "name");
        mDeps.settings.set("userEmail", json::stringOrEmpty(*profile, "email"));
        mDeps.settings.set("userName", name.empty() ? "User" : name);
        mDeps.settings.set("isAuthenticated", true);
        // A uid from an earlier account is not this one's; the cloud sign-in sets the new one.
        mDeps.settings.set("userUID", "");
        endAttempt(true);
        bridge(idToken, accessToken);
    });
}

void AuthManager::bridge(const std::string& idToken, const std::string& accessToken) {
    if (!mDeps.cloud) {
        return;
    }
    if (idToken.empty()) {
        Log::shared().info("⚠️ Firebase bridge skipped - no id_token (ensure 'openid' scope).");
        return;
    }
    auto self = mLifetime.weak();
    mDeps.cloud->signInWithGoogle(idToken, accessToken, [self](const FirebaseAuth::Result& result) {
        auto* manager = self.lock();
        if (!manager) {
            return;
        }
        if (auto* error = std::get_if<std::string>(&result)) {
            Log::shared().info("⚠️ Firebase sign-in failed: " + *error);
            return;
        }
        const auto& user = std::get<CloudUser>(result);
        auto& settings = manager->mDeps.settings;
        settings.set("userUID", user.uid);
        if (!user.email.empty() && user.email != settings.string("userEmail")) {
            Log::shared().info("🔗 Using the account email " + user.email + " rather than Google's");
            settings.set("userEmail", user.email);
        }
        Log::shared().info("✅ Firebase signed in (Mac), uid=" + user.uid);
        if (manager->mDeps.onCloudSignedIn) {
            manager->mDeps.onCloudSignedIn();
        }
    });
}

void AuthManager::adoptAccount(const std::string& email, const std::string& name, const std::string& uid) {
    mDeps.settings.set("userEmail", email);
    mDeps.settings.set("userName", name.empty() ? "User" : name);
    mDeps.settings.set("userUID", uid);
    mDeps.settings.set("isAuthenticated", true);
    if (mDeps.onCloudSignedIn) {
        mDeps.onCloudSignedIn();
    }
}

void AuthManager::signOut() {
    if (mDeps.cloud) {
        mDeps.cloud->signOut();
    }
    mDeps.settings.set("isAuthenticated", false);
    mDeps.settings.set("userEmail", "");
    mDeps.settings.set("userName", "");
    mDeps.settings.set("userUID", "");
}

void AuthManager::cancelPending() {
    if (!mPendingCompletion) {
        return;
    }
    Log::shared().info("↩️ Pending sign-in cancelled");
    endAttempt(false);
}

void AuthManager::fail(const std::optional<std::string>& logLine) {
    if (logLine) {
        Log::shared().info(*logLine);
    }
    endAttempt(false);
}

void AuthManager::endAttempt(bool success) {
    auto completion = std::move(mPendingCompletion);
    mPendingCompletion = nullptr;
    ++mAttempt;
    mSafetyNet.cancel();
    if (auto server = std::move(mCallbackServer)) {
        server->stop();
        // This may run inside the server's own callback: it goes once that has returned.
        mDeps.loop.post([server] {});
    }
    mCodeVerifier.clear();
    mAuthState.clear();
    if (completion) {
        mDeps.loop.post([completion, success] { completion(success); });
    }
}

} // namespace pelorn
