#pragma once

#include "cloud/cloud_config.hpp"
#include "cloud/http_client.hpp"
#include "core/host_loop.hpp"
#include "core/lifetime.hpp"

#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pelorn {

class SecretStore;
class TaskPool;

struct CloudUser {
    std::string uid;
    std::string email;
    std::string displayName;
    std::string providerId; // "google.com", "custom"
    bool operator==(const CloudUser&) const = default;
};

// The signed-in cloud user, over Firebase Authentication's REST API (Identity Toolkit and Secure
// Token). The user and its refresh token are kept in the secret store, so the host starts signed
// in after a restart; ID tokens live in memory only and are refreshed before they expire. Requests
// run on the task pool; state, callbacks and listeners are on the host loop.
class FirebaseAuth {
public:
    struct Dependencies {
        HostLoop& loop;
        TaskPool& pool;
        SecretStore& secrets;
        std::string apiKey;
        CloudEndpoints endpoints;
        HttpTransport http = performHttp;
    };
    static constexpr const char* secretService = "com.tamberlind.pelorn.host.cloud-auth";
    static constexpr const char* secretAccount = "user";
    // An ID token with less than this left is refreshed before it is handed out.
    static constexpr auto refreshMargin = std::chrono::minutes(5);
    // Between attempts to refresh the restored user's token while the service cannot be reached.
    static constexpr auto firstRetry = std::chrono::seconds(1);
    static constexpr auto longestRetry = std::chrono::seconds(60);

    enum class State { Starting, SignedIn, SignedOut };
    using Result = std::variant<CloudUser, std::string>; // the user, or why not
    using Completion = std::function<void(const Result&)>;
    using Listener = std::function<void(const std::optional<CloudUser>&)>;
    struct IdToken {
        std::optional<std::string> token;
        std::string error; // when there is no token
    };

    explicit FirebaseAuth(Dependencies deps);
    ~FirebaseAuth();
    // The process's, when the cloud is configured; null otherwise.
    static FirebaseAuth* shared();

    // Host loop. Reads the stored user; listeners hear the outcome. A stored user counts as signed
    // in at once and its token is refreshed; only the service's word that the refresh token is dead
    // (revoked, user deleted or disabled) signs it out, while a network failure is retried.
    void start();
    void signInWithGoogle(const std::string& idToken, const std::string& accessToken, Completion done);
    // The user's e-mail comes from a lookup afterwards; an account without one is refused, with
    // noEmailReason.
    static constexpr const char* noEmailReason = "the account has no e-mail address";
    void signInWithCustomToken(const std::string& token, Completion done);
    // Local: forgets the user and its tokens (there is nothing to call).
    void signOut();

    State state() const { return mState; }
    std::optional<CloudUser> currentUser() const;
    // A token that stays valid for a while (refreshed first when needed, or always when forced,
    // as after a 401 from a service).
    void getIdToken(bool forceRefresh, std::function<void(const IdToken&)> done);
    // The same for another service's request, which goes without credentials when none is signed in.
    void idTokenForRequest(bool forceRefresh, std::function<void(std::optional<std::string>)> done);

    // Called at once with the current user (or none) when the state is known, then on every
    // change of user; token refreshes do not count. Host loop.
    int addAuthStateListener(Listener listener);
    void removeAuthStateListener(int id);

    FirebaseAuth(const FirebaseAuth&) = delete;
    FirebaseAuth& operator=(const FirebaseAuth&) = delete;

private:
    struct Session {
        CloudUser user;
        std::string refreshToken;
        std::string idToken;
        HostLoop::WallTime idTokenExpiry{};
    };

    // The tokens of a sign-in reply and what it says of the user; else the reason it failed.
    std::variant<Session, std::string> sessionOf(const HttpResponse& response) const;
    void adopt(Session session, bool store);
    // Writes the user and its refresh token to the secret store, on the pool.
    void persist(const Session& session);
    void becomeSignedOut(bool forget);
    void notify();
    void refresh();
    void refreshDone(std::uint64_t generation, const HttpResponse& response);
    void scheduleRetry();
    void finishTokenWaiters(const IdToken& result);
    // Runs `request` on the pool and `then` with its response on the loop, if this still lives.
    void send(HttpRequest request, std::function<void(const HttpResponse&)> then);
    HttpRequest identityToolkit(const std::string& verb, const std::string& jsonBody) const;

    Dependencies mDeps;
    State mState = State::Starting;
    std::optional<Session> mSession;
    std::uint64_t mGeneration = 0; // moves on every sign-in and sign-out; older replies are dropped
    bool mRefreshing = false;
    std::vector<std::function<void(const IdToken&)>> mTokenWaiters;
    Timer mRetry;
    HostLoop::Duration mRetryDelay = firstRetry;
    std::map<int, Listener> mListeners;
    int mNextListener = 1;
    Lifetime<FirebaseAuth> mLifetime{this};
};

// The claims of a JWT (its middle segment); absent when it is not one.
std::optional<std::string> jwtPayload(std::string_view token);

} // namespace pelorn
