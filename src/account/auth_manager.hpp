#pragma once

#include "account/oauth_callback_server.hpp"
#include "cloud/cloud_config.hpp"
#include "cloud/http_client.hpp"
#include "core/host_loop.hpp"
#include "core/lifetime.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace asio {
class io_context;
}

namespace pelorn {

class FirebaseAuth;
class Settings;
class TaskPool;

// Google sign-in for an installed application: the browser on Google's consent page, the redirect
// to a one-shot loopback server, the code exchanged with PKCE, the profile read, then the cloud
// signed in with the Google credential. The account lives in the settings ("isAuthenticated",
// "userEmail", "userName", "userUID"). Host loop only; requests run on the task pool.
class AuthManager {
public:
    static constexpr auto serverTimeout = std::chrono::seconds(300);
    static constexpr auto safetyNet = std::chrono::seconds(600);
    static constexpr auto tokenTimeout = std::chrono::seconds(60);

    struct Dependencies {
        HostLoop& loop;
        asio::io_context& io;
        TaskPool& pool;
        Settings& settings;
        std::optional<OAuthClient> client; // absent: sign-in cannot start
        CloudEndpoints endpoints;
        FirebaseAuth* cloud = nullptr; // the cloud's sign-in, when the cloud is configured
        HttpTransport http = performHttp;
        // Opens the URL in the desktop's browser; the error when it could not. Runs on the pool.
        std::function<std::optional<std::string>(const std::string& url)> openBrowser;
        // After the cloud sign-in succeeded (the presence record is published again when online).
        std::function<void()> onCloudSignedIn;
    };

    explicit AuthManager(Dependencies deps);
    ~AuthManager();
    static AuthManager& shared();

    using UrlHandler = std::function<void(const std::string& url)>;
    // Starts an attempt (cancelling one in progress). The completion is called exactly once, true
    // on success; with a URL handler the authorisation URL goes to it instead of the browser.
    void signIn(UrlHandler urlHandler, std::function<void(bool)> completion);
    void signOut();
    void cancelPending();
    // An account signed in another way (Apple's web flow, its cloud user already signed in): the
    // same fields, and the presence record follows it as after Google's.
    void adoptAccount(const std::string& email, const std::string& name, const std::string& uid);

    bool isAuthenticated() const;
    std::string userEmail() const;
    std::string userName() const;
    std::string userUID() const;
    bool hasPendingSignIn() const { return static_cast<bool>(mPendingCompletion); }

    // Base64url without padding of `bytes` secure random bytes: 32 give 43 characters.
    static std::string randomURLSafe(std::size_t bytes);
    // "xdg-open URL".
    static std::optional<std::string> openWithXdgOpen(const std::string& url);

    AuthManager(const AuthManager&) = delete;
    AuthManager& operator=(const AuthManager&) = delete;

private:
    void ready(std::uint16_t port, const UrlHandler& urlHandler);
    void handleCallback(const OAuthCallbackServer::Result& result);
    void exchange(const std::string& code);
    void fetchProfile(const std::string& accessToken, const std::string& idToken);
    void bridge(const std::string& idToken, const std::string& accessToken);
    // Ends the attempt: the log line (when given), the completion with false.
    void fail(const std::optional<std::string>& logLine);
    void endAttempt(bool success);
    void send(HttpRequest request, std::function<void(const HttpResponse&)> then);

    Dependencies mDeps;
    std::shared_ptr<OAuthCallbackServer> mCallbackServer;
    std::string mRedirectURI;
    std::string mCodeVerifier;
    std::string mAuthState;
    std::function<void(bool)> mPendingCompletion;
    std::uint64_t mAttempt = 0; // replies of an abandoned attempt are dropped
    Timer mSafetyNet;
    Lifetime<AuthManager> mLifetime{this};
};

} // namespace pelorn
