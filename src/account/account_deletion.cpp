#include "account/account_deletion.hpp"

#include "cloud/firebase_auth.hpp"
#include "core/json.hpp"
#include "core/log.hpp"
#include "core/task_pool.hpp"

namespace pelorn {

AccountDeletionService::AccountDeletionService(Dependencies deps) : mDeps(std::move(deps)) {
}

std::string AccountDeletionService::text(Failure failure) {
    switch (failure) {
    case Failure::NotSignedIn:
        return "You're not signed in.";
    case Failure::Unreachable:
        return "Couldn't reach Pelorn. Check your connection and try again.";
    case Failure::Server:
        return "Something went wrong deleting your account. Nothing was half-deleted — try again.";
    }
    return {};
}

void AccountDeletionService::deleteAccount(std::function<void(std::optional<Failure>)> done) {
    if (mBusy.get()) {
        mWaiting.push_back(std::move(done));
        return;
    }
    if (!mDeps.cloud || mDeps.endpoint.empty() || !mDeps.cloud->currentUser()) {
        done(Failure::NotSignedIn);
        return;
    }
    mWaiting.push_back(std::move(done));
    mBusy.set(true);
    auto attempt = ++mAttempt;
    mDeps.goOffline();
    mDeps.cloud->getIdToken(false, [self = mLifetime.weak(), attempt](const FirebaseAuth::IdToken& token) {
        auto* me = self.lock();
        if (!me || attempt != me->mAttempt) {
            return;
        }
        if (!token.token) {
            Log::shared().info("⚠️ PELORN: account deletion failed - no ID token: " + token.error);
            me->finish(Failure::Unreachable);
            return;
        }
        me->requestWithToken(*token.token);
    });
}

void AccountDeletionService::requestWithToken(const std::string& idToken) {
    auto attempt = mAttempt;
    // The loop's own deadline decides; the transport's, a little later, only frees its thread.
    mDeadline.startOnce(mDeps.loop, requestTimeout, [this, attempt] {
        if (attempt == mAttempt && mBusy.get()) {
            Log::shared().info("⚠️ PELORN: account deletion failed - no answer within 45 s");
            finish(Failure::Unreachable);
        }
    });
    HttpRequest request{"POST",
                        mDeps.endpoint,
                        {"Content-Type: application/json", "Authorization: Bearer " + idToken},
                        {},
                        requestTimeout + std::chrono::seconds(5)};
    mDeps.pool.submit([self = mLifetime.weak(), attempt, request, http = mDeps.http, &loop = mDeps.loop] {
        auto response = http(request);
        loop.post([self, attempt, response] {
            auto* me = self.lock();
            if (me && attempt == me->mAttempt && me->mBusy.get()) {
                me->answered(response);
            }
        });
    });
}

void AccountDeletionService::answered(const HttpResponse& response) {
    mDeadline.cancel();
    if (response.status == 0) {
        Log::shared().info("⚠️ PELORN: account deletion failed - " + response.error);
        finish(Failure::Unreachable);
        return;
    }
    auto body = json::parse(response.body);
    bool confirmed = response.status == 200 && body && body->is_object() && body->contains("ok") &&
                     (*body)["ok"].is_boolean() && (*body)["ok"].get<bool>();
    if (!confirmed) {
        Log::shared().info("⚠️ PELORN: account deletion failed - the backend answered " +
                           std::to_string(response.status));
        finish(Failure::Server);
        return;
    }
    Log::shared().info("🗑️ PELORN: account deleted - signed out");
    mDeps.signOut();
    finish(std::nullopt);
}

void AccountDeletionService::finish(std::optional<Failure> failure) {
    mDeadline.cancel();
    ++mAttempt;
    mBusy.set(false);
    for (auto& done : std::exchange(mWaiting, {})) {
        done(failure);
    }
}

} // namespace pelorn
