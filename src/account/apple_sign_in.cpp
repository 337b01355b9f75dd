#include "account/apple_sign_in.hpp"

#include "account/oauth_callback_server.hpp"
#include "cloud/firebase_auth.hpp"
#include "cloud/http_client.hpp"
#include "core/log.hpp"
#include "core/task_pool.hpp"
#include "core/text.hpp"
#include "core/uuid.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

namespace pelorn {

AppleSignIn::AppleSignIn(Dependencies deps) : mDeps(std::move(deps)) {
}

void AppleSignIn::start(UrlHandler urlHandler, Completion done) {
    if (mDone) {
        Log::shared().info("↩️ Pending Apple sign-in replaced by a new one");
        finish(std::nullopt);
    }
    if (!mDeps.cloud) {
        done("Sign-in is not available in this build.");
        return;
    }
    if (mDeps.authorizeUrl.empty() || mDeps.callbackUrl.empty()) {
        done("Couldn't start Apple sign-in.");
        return;
    }
    mExpectedState = randomUuid();
    mDone = std::move(done);
    auto attempt = ++mAttempt;
    auto url = mDeps.authorizeUrl + "?" +
               formEncode({{"client_id", clientId},
                           {"redirect_uri", mDeps.callbackUrl},
                           {"response_type", "code"},
                           {"response_mode", "form_post"},
                           {"scope", scope},
                           {"state", *mExpectedState}});
    mTimeout.startOnce(mDeps.loop, flowTimeout, [this] {
        Log::shared().info("↩️ Apple sign-in: nothing came back within 5 min - abandoned");
        finish(std::nullopt);
    });
    if (urlHandler) {
        urlHandler(url);
        return;
    }
    mDeps.pool.submit([self = mLifetime.weak(), attempt, url, open = mDeps.openBrowser, &loop = mDeps.loop] {
        auto failure = open(url);
        if (!failure) {
            return;
        }
        loop.post([self, attempt, failure] {
            auto* me = self.lock();
            if (me && me->mAttempt == attempt && me->mDone) {
                Log::shared().info("❌ Apple sign-in could not start: " + *failure);
                me->finish("Couldn't open Apple's sign-in page.");
            }
        });
    });
}

AppleSignIn::Callback AppleSignIn::handleCallback(const std::string& url) {
    const std::string prefix = std::string(callbackScheme) + ":";
    if (url.size() < prefix.size() ||
        !std::equal(prefix.begin(), prefix.end(), url.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
        return Callback::NotOurs;
    }
    if (!mDone || mExchanging) {
        Log::shared().info("🔒 Apple sign-in: a callback came while no sign-in was waiting - ignored");
        return Callback::NobodyWaiting;
    }
    auto expected = std::exchange(mExpectedState, std::nullopt);
    auto query = queryOf(url.substr(prefix.size()));
    if (!query || query->empty()) {
        finish("Apple sign-in returned nothing. Please try again.");
        return Callback::Taken;
    }
    auto item = [&](const char* name) -> std::optional<std::string> {
        auto it = query->find(name);
        return it == query->end() ? std::nullopt : std::optional(it->second);
    };
    if (auto state = item("state"); !state || !expected || *state != *expected) {
        Log::shared().info("🔒 Apple sign-in: the callback's state is not this attempt's - ignored");
        finish("That sign-in didn't match this request. Please try again.");
        return Callback::Taken;
    }
    if (auto error = item("error")) {
        if (*error == "user_cancelled") {
            finish(std::nullopt);
        } else {
            finish("Apple refused the sign-in (" + shownText(*error, 100) + ")");
        }
        return Callback::Taken;
    }
    auto token = item("token");
    if (!token || token->empty()) {
        finish("Apple sign-in didn't complete. Please try again.");
        return Callback::Taken;
    }
    // The attempt stays pending (its time-out off) until the cloud has answered.
    mTimeout.cancel();
    mExchanging = true;
    auto attempt = mAttempt;
    mDeps.cloud->signInWithCustomToken(*token, [self = mLifetime.weak(),
                                                attempt](const FirebaseAuth::Result& r) {
        auto* me = self.lock();
        if (!me || me->mAttempt != attempt || !me->mDone) {
            return;
        }
        if (auto* error = std::get_if<std::string>(&r)) {
            me->finish(*error == FirebaseAuth::noEmailReason
                           ? "Apple didn't share an email address, and Pelorn needs one to find your devices."
                           : *error);
            return;
        }
        const auto& user = std::get<CloudUser>(r);
        me->mDeps.signedIn(user.email, user.displayName, user.uid);
        ++me->mSignIns;
        Log::shared().info("✅ Signed in with Apple (Mac, web flow), uid=" + user.uid);
        me->finish(std::nullopt);
    });
    return Callback::Taken;
}

void AppleSignIn::finish(std::optional<std::string> message) {
    mTimeout.cancel();
    mExchanging = false;
    mExpectedState.reset();
    ++mAttempt;
    if (message) {
        Log::shared().info("❌ Apple sign-in failed: " + *message);
    }
    if (auto done = std::exchange(mDone, nullptr)) {
        done(std::move(message));
    }
}

} // namespace pelorn
