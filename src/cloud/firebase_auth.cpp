#include "cloud/firebase_auth.hpp"

#include "core/base64.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/secret_store.hpp"
#include "core/task_pool.hpp"
#include "core/text.hpp"

namespace pelorn {

namespace {

// The service's reason: its error message ("CODE" or "CODE : detail"), else what went wrong.
std::string reasonOf(const HttpResponse& response) {
    if (response.status == 0) {
        return response.error.empty() ? "no reply" : response.error;
    }
    if (auto body = json::parse(response.body); body && body->is_object()) {
        const auto& error = (*body)["error"];
        if (error.is_object() && error.contains("message") && error["message"].is_string()) {
            return shownText(error["message"].get<std::string>(), 200);
        }
    }
    return "HTTP " + std::to_string(response.status);
}

// The refresh token is dead: only a new sign-in helps.
bool isDefinitive(const HttpResponse& response) {
    if (response.status != 400 && response.status != 401 && response.status != 403) {
        return false;
    }
    auto reason = reasonOf(response);
    for (const char* code : {"INVALID_REFRESH_TOKEN", "TOKEN_EXPIRED", "USER_DISABLED", "USER_NOT_FOUND",
                             "INVALID_GRANT_TYPE", "MISSING_REFRESH_TOKEN"}) {
        if (reason.starts_with(code)) {
            return true;
        }
    }
    return false;
}

// When the token stops being valid: its "exp" claim, else `expiresIn` seconds from now.
HostLoop::WallTime expiryOf(const std::string& idToken, const std::string& expiresIn,
                            HostLoop::WallTime now) {
    if (auto payload = jwtPayload(idToken)) {
        if (auto claims = json::parse(*payload); claims && claims->is_object()) {
            auto exp = json::integerMember(*claims, "exp", 0, std::int64_t{1} << 40);
            if (exp.value) {
                return HostLoop::WallTime(std::chrono::seconds(*exp.value));
            }
        }
    }
    long seconds = 3600;
    try {
        seconds = std::stol(expiresIn);
    } catch (...) {
    }
    return now + std::chrono::seconds(seconds);
}

std::optional<std::string> encodeSession(const CloudUser& user, const std::string& refreshToken) {
    return json::dump({{"uid", user.uid},
                       {"email", user.email},
                       {"displayName", user.displayName},
                       {"providerId", user.providerId},
                       {"refreshToken", refreshToken}});
}

} // namespace

std::optional<std::string> jwtPayload(std::string_view token) {
    auto first = token.find('.');
    auto second = first == std::string_view::npos ? first : token.find('.', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    auto bytes = base64::decodeUrl(token.substr(first + 1, second - first - 1));
    if (!bytes) {
        return std::nullopt;
    }
    return std::string(bytes->begin(), bytes->end());
}

FirebaseAuth::FirebaseAuth(Dependencies deps) : mDeps(std::move(deps)) {
}

FirebaseAuth::~FirebaseAuth() = default;

void FirebaseAuth::send(HttpRequest request, std::function<void(const HttpResponse&)> then) {
    auto self = mLifetime.weak();
    auto http = mDeps.http;
    mDeps.pool.submit([&loop = mDeps.loop, self, http, request = std::move(request), then = std::move(then)] {
        auto response = http(request);
        loop.post([self, then, response = std::move(response)] {
            if (self.lock()) {
                then(response);
            }
        });
    });
}

HttpRequest FirebaseAuth::identityToolkit(const std::string& verb, const std::string& jsonBody) const {
    return {"POST",
            mDeps.endpoints.identityToolkit + "/v1/accounts:" + verb + "?key=" + percentEncode(mDeps.apiKey),
            {"Content-Type: application/json"},
            jsonBody};
}

void FirebaseAuth::start() {
    auto self = mLifetime.weak();
    mDeps.pool.submit([&loop = mDeps.loop, &secrets = mDeps.secrets, self] {
        auto read = secrets.read(secretService, secretAccount);
        loop.post([self, read = std::move(read)] {
            auto* auth = self.lock();
            if (!auth || auth->mState != State::Starting) {
                return; // signed in or out meanwhile: that stands
            }
            if (read.status == SecretStore::Status::Failed) {
                Log::shared().info("⚠️ Firebase: the stored sign-in could not be read (" + read.message +
                                   ") - signed out");
            }
            std::optional<json::Value> stored;
            if (read.status == SecretStore::Status::Ok) {
                stored = json::parse(std::string(read.data.begin(), read.data.end()));
            }
            Session session;
            if (stored && stored->is_object()) {
                session.user = {json::stringOrEmpty(*stored, "uid"), json::stringOrEmpty(*stored, "email"),
                                json::stringOrEmpty(*stored, "displayName"),
                                json::stringOrEmpty(*stored, "providerId")};
                session.refreshToken = json::stringOrEmpty(*stored, "refreshToken");
            }
            if (session.user.uid.empty() || session.refreshToken.empty()) {
                auth->becomeSignedOut(false);
                return;
            }
            auth->adopt(std::move(session), false);
            auth->refresh();
        });
    });
}

std::variant<FirebaseAuth::Session, std::string> FirebaseAuth::sessionOf(const HttpResponse& response) const {
    auto reply = json::parse(response.body);
    if (response.status != 200 || !reply || !reply->is_object() ||
        json::stringOrEmpty(*reply, "idToken").empty()) {
        return reasonOf(response);
    }
    Session session;
    session.user = {json::stringOrEmpty(*reply, "localId"),
                    json::stringOrEmpty(*reply, "email"),
                    json::stringOrEmpty(*reply, "displayName"),
                    {}};
    session.refreshToken = json::stringOrEmpty(*reply, "refreshToken");
    session.idToken = json::stringOrEmpty(*reply, "idToken");
    session.idTokenExpiry =
        expiryOf(session.idToken, json::stringOrEmpty(*reply, "expiresIn"), mDeps.loop.wallNow());
    return session;
}

void FirebaseAuth::signInWithGoogle(const std::string& idToken, const std::string& accessToken,
                                    Completion done) {
    std::vector<std::pair<std::string, std::string>> form;
    if (!idToken.empty()) {
        form.emplace_back("id_token", idToken);
    }
    if (!accessToken.empty()) {
        form.emplace_back("access_token", accessToken);
    }
    form.emplace_back("providerId", "google.com");
    auto body = json::dump(
        {{"postBody", formEncode(form)}, {"requestUri", "http://localhost"}, {"returnSecureToken", true}});
    if (!body) {
        done(std::string("the Google credential is not valid text"));
        return;
    }
    send(identityToolkit("signInWithIdp", *body), [this, done](const HttpResponse& response) {
        auto signedIn = sessionOf(response);
        if (auto* why = std::get_if<std::string>(&signedIn)) {
            done(*why);
            return;
        }
        auto session = std::get<Session>(std::move(signedIn));
        session.user.providerId = "google.com";
        if (session.user.uid.empty() || session.refreshToken.empty()) {
            done(std::string("the sign-in reply had no user or refresh token"));
            return;
        }
        auto user = session.user;
        adopt(std::move(session), true);
        done(user);
    });
}

void FirebaseAuth::signInWithCustomToken(const std::string& token, Completion done) {
    auto body = json::dump({{"token", token}, {"returnSecureToken", true}});
    if (!body) {
        done(std::string("the custom token is not valid text"));
        return;
    }
    send(identityToolkit("signInWithCustomToken", *body), [this, done](const HttpResponse& response) {
        auto signedIn = sessionOf(response);
        if (auto* why = std::get_if<std::string>(&signedIn)) {
            done(*why);
            return;
        }
        auto session = std::make_shared<Session>(std::get<Session>(std::move(signedIn)));
        session->user.providerId = "custom";
        // The reply names nobody: the account is looked up with the new token.
        auto lookupBody = json::dump({{"idToken", session->idToken}});
        send(identityToolkit("lookup", lookupBody.value_or("{}")),
             [this, done, session](const HttpResponse& found) {
                 auto users = json::parse(found.body);
                 if (found.status != 200 || !users || !users->is_object() || !(*users)["users"].is_array() ||
                     (*users)["users"].empty() || !(*users)["users"][0].is_object()) {
                     done("account lookup failed: " + reasonOf(found));
                     return;
                 }
                 const auto& record = (*users)["users"][0];
                 session->user.uid = json::stringOrEmpty(record, "localId");
                 session->user.email = json::stringOrEmpty(record, "email");
                 session->user.displayName = json::stringOrEmpty(record, "displayName");
                 if (session->user.uid.empty() || session->refreshToken.empty()) {
                     done(std::string("the sign-in reply had no user or refresh token"));
                     return;
                 }
                 if (session->user.email.empty()) {
                     done(std::string(noEmailReason));
                     return;
                 }
                 auto user = session->user;
                 adopt(std::move(*session), true);
                 done(user);
             });
    });
}

void FirebaseAuth::signOut() {
    becomeSignedOut(true);
}

std::optional<CloudUser> FirebaseAuth::currentUser() const {
    if (!mSession) {
        return std::nullopt;
    }
    return mSession->user;
}

void FirebaseAuth::idTokenForRequest(bool forceRefresh,
                                     std::function<void(std::optional<std::string>)> done) {
    getIdToken(forceRefresh, [done = std::move(done)](const IdToken& result) { done(result.token); });
}

void FirebaseAuth::getIdToken(bool forceRefresh, std::function<void(const IdToken&)> done) {
    if (!mSession) {
        done({std::nullopt, "not signed in"});
        return;
    }
    if (!forceRefresh && !mSession->idToken.empty() &&
        mSession->idTokenExpiry - mDeps.loop.wallNow() > refreshMargin) {
        done({mSession->idToken, {}});
        return;
    }
    mTokenWaiters.push_back(std::move(done));
    refresh();
}

int FirebaseAuth::addAuthStateListener(Listener listener) {
    int id = mNextListener++;
    mListeners.emplace(id, listener);
    if (mState != State::Starting) {
        listener(currentUser());
    }
    return id;
}

void FirebaseAuth::removeAuthStateListener(int id) {
    mListeners.erase(id);
}

void FirebaseAuth::persist(const Session& session) {
    auto stored = encodeSession(session.user, session.refreshToken).value_or("");
    mDeps.pool.submit([&secrets = mDeps.secrets, stored] {
        auto write =
            secrets.write(secretService, secretAccount,
                          std::span(reinterpret_cast<const std::uint8_t*>(stored.data()), stored.size()));
        if (!write.ok) {
            Log::shared().info("⚠️ Firebase: the sign-in could not be stored (" + write.message +
                               ") - it will not survive a restart");
        }
    });
}

void FirebaseAuth::adopt(Session session, bool store) {
    bool changed = !mSession || mSession->user != session.user || mState != State::SignedIn;
    ++mGeneration;
    mRefreshing = false;
    mRetry.cancel();
    mRetryDelay = firstRetry;
    if (store) {
        persist(session);
    }
    mSession = std::move(session);
    mState = State::SignedIn;
    // Whoever waited for the previous user's token gets this one's.
    if (!mTokenWaiters.empty()) {
        refresh();
    }
    if (changed) {
        notify();
    }
}

void FirebaseAuth::becomeSignedOut(bool forget) {
    bool changed = mState != State::SignedOut;
    ++mGeneration;
    mSession.reset();
    mRefreshing = false;
    mRetry.cancel();
    mState = State::SignedOut;
    if (forget) {
        mDeps.pool.submit([&secrets = mDeps.secrets] { secrets.remove(secretService, secretAccount); });
    }
    finishTokenWaiters({std::nullopt, "not signed in"});
    if (changed) {
        notify();
    }
}

void FirebaseAuth::notify() {
    auto user = currentUser();
    // A listener may add or remove listeners; those called are the ones there now.
    auto listeners = mListeners;
    for (const auto& [id, listener] : listeners) {
        if (mListeners.count(id)) {
            listener(user);
        }
    }
}

void FirebaseAuth::refresh() {
    if (mRefreshing || !mSession) {
        return;
    }
    mRefreshing = true;
    auto body = formEncode({{"grant_type", "refresh_token"}, {"refresh_token", mSession->refreshToken}});
    HttpRequest request{"POST",
                        mDeps.endpoints.secureToken + "/v1/token?key=" + percentEncode(mDeps.apiKey),
                        {"Content-Type: application/x-www-form-urlencoded"},
                        body};
    auto generation = mGeneration;
    send(std::move(request),
         [this, generation](const HttpResponse& response) { refreshDone(generation, response); });
}

void FirebaseAuth::refreshDone(std::uint64_t generation, const HttpResponse& response) {
    if (generation != mGeneration || !mSession) {
        return; // a reply for a user that is gone
    }
    mRefreshing = false;
    auto reply = json::parse(response.body);
    if (response.status == 200 && reply && reply->is_object() &&
        !json::stringOrEmpty(*reply, "id_token").empty()) {
        auto uid = json::stringOrEmpty(*reply, "user_id");
        if (!uid.empty() && uid != mSession->user.uid) {
            Log::shared().info("⚠️ Firebase: the token service answered for another user - signed out");
            becomeSignedOut(true);
            return;
        }
        mSession->idToken = json::stringOrEmpty(*reply, "id_token");
        mSession->idTokenExpiry =
            expiryOf(mSession->idToken, json::stringOrEmpty(*reply, "expires_in"), mDeps.loop.wallNow());
        if (auto next = json::stringOrEmpty(*reply, "refresh_token");
            !next.empty() && next != mSession->refreshToken) {
            mSession->refreshToken = next;
            persist(*mSession);
        }
        mRetryDelay = firstRetry;
        finishTokenWaiters({mSession->idToken, {}});
        return;
    }
    if (isDefinitive(response)) {
        Log::shared().info("⚠️ Firebase: the sign-in is no longer valid (" + reasonOf(response) +
                           ") - signed out");
        becomeSignedOut(true);
        return;
    }
    // Unreachable or failing for now: the user stays; whoever waits hears why, and a user without
    // any token yet (restored at launch) is tried again.
    finishTokenWaiters({std::nullopt, reasonOf(response)});
    if (mSession->idToken.empty()) {
        scheduleRetry();
    }
}

void FirebaseAuth::scheduleRetry() {
    auto delay = mRetryDelay;
    mRetryDelay = std::min<HostLoop::Duration>(mRetryDelay * 2, longestRetry);
    mRetry.startOnce(mDeps.loop, delay, [this] { refresh(); });
}

void FirebaseAuth::finishTokenWaiters(const IdToken& result) {
    auto waiters = std::move(mTokenWaiters);
    mTokenWaiters.clear();
    for (auto& waiter : waiters) {
        waiter(result);
    }
}

} // namespace pelorn
