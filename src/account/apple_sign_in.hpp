#pragma once

#include "core/host_loop.hpp"
#include "core/lifetime.hpp"

#include <functional>
#include <optional>
#include <string>

namespace pelorn {

class FirebaseAuth;
class TaskPool;

// Sign in with Apple through the web: Apple's authorisation page in the desktop's browser, Apple
// posting its answer to the backend's callback, which redirects to this program's URL scheme with
// a custom token of the cloud's sign-in. The desktop hands that URL to the running host (the
// scheme's handler is "pelornctl open-url URL"), and the cloud is signed in with the token here.
// Nobody coming back within the flow's time ends the attempt silently, as closing a sheet would.
// Host loop only.
class AppleSignIn {
public:
    static constexpr const char* clientId = "in.pelorn.signin";
    static constexpr const char* callbackScheme = "com.tamberlind.pelorn.host";
    static constexpr const char* scope = "name email";
    static constexpr auto flowTimeout = std::chrono::seconds(300);

    struct Dependencies {
        HostLoop& loop;
        TaskPool& pool;
        FirebaseAuth* cloud;      // null while the cloud is not configured
        std::string authorizeUrl; // Apple's authorisation endpoint
        std::string callbackUrl;  // the backend's "/apple/callback", where Apple posts its answer
        // Opens the URL in the desktop's browser; the error when it could not. Runs on the pool.
        std::function<std::optional<std::string>(const std::string& url)> openBrowser;
        // The cloud user is signed in: its e-mail, display name and uid become the account's.
        std::function<void(const std::string& email, const std::string& name, const std::string& uid)>
            signedIn;
    };
    // Nothing on success or when the owner cancelled, else the text to show.
    using Completion = std::function<void(std::optional<std::string> message)>;
    using UrlHandler = std::function<void(const std::string& url)>;

    explicit AppleSignIn(Dependencies deps);
    static AppleSignIn& shared();

    // Starts an attempt, ending one in progress silently. With a URL handler the authorisation URL
    // goes to it instead of the browser.
    void start(UrlHandler urlHandler, Completion done);
    enum class Callback { NotOurs, Taken, NobodyWaiting };
    // A URL the desktop handed over. Nothing changes for another scheme's; one that comes while no
    // attempt waits (a replay, or after the time-out) is refused.
    Callback handleCallback(const std::string& url);
    bool isPending() const { return static_cast<bool>(mDone); }
    // Sign-ins completed so far: a caller tells success from cancellation by it.
    std::uint64_t signIns() const { return mSignIns; }

    AppleSignIn(const AppleSignIn&) = delete;
    AppleSignIn& operator=(const AppleSignIn&) = delete;

private:
    void finish(std::optional<std::string> message);

    Dependencies mDeps;
    std::optional<std::string> mExpectedState; // single use: cleared on every outcome
    Completion mDone;
    bool mExchanging = false; // the token is with the cloud
    std::uint64_t mSignIns = 0;
    std::uint64_t mAttempt = 0;
    Timer mTimeout;
    Lifetime<AppleSignIn> mLifetime{this};
};

} // namespace pelorn
