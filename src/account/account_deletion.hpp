#pragma once

#include "cloud/http_client.hpp"
#include "core/host_loop.hpp"
#include "core/lifetime.hpp"
#include "core/published.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pelorn {

class FirebaseAuth;
class TaskPool;

// Deletes the signed-in owner's account through the backend's "deleteAccount" function: the host
// goes offline first (clients are told, the presence record reads offline), the function is called
// with the cloud user's ID token, and only its confirmation signs the owner out here. Nothing is
// retried; a failed deletion leaves the host offline and the owner signed in. Host loop only.
class AccountDeletionService {
public:
    enum class Failure { NotSignedIn, Unreachable, Server };
    static constexpr auto requestTimeout = std::chrono::seconds(45);

    struct Dependencies {
        HostLoop& loop;
        TaskPool& pool;
        FirebaseAuth* cloud;  // null while the cloud is not configured
        std::string endpoint; // the function's address; empty without a cloud
        std::function<void()> goOffline;
        std::function<void()> signOut; // the local sign-out, cloud included
        HttpTransport http = performHttp;
    };

    explicit AccountDeletionService(Dependencies deps);
    static AccountDeletionService& shared();
    static std::string text(Failure failure);

    // `done` hears nothing on success, else why it failed. A call while one runs joins it.
    void deleteAccount(std::function<void(std::optional<Failure>)> done);
    const Published<bool>& busy() const { return mBusy; }

    AccountDeletionService(const AccountDeletionService&) = delete;
    AccountDeletionService& operator=(const AccountDeletionService&) = delete;

private:
    void requestWithToken(const std::string& idToken);
    void answered(const HttpResponse& response);
    void finish(std::optional<Failure> failure);

    Dependencies mDeps;
    Published<bool> mBusy{false};
    std::vector<std::function<void(std::optional<Failure>)>> mWaiting;
    std::uint64_t mAttempt = 0; // a reply after the time-out belongs to an attempt that is over
    Timer mDeadline;
    Lifetime<AccountDeletionService> mLifetime{this};
};

} // namespace pelorn
