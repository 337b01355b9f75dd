#pragma once

#include "core/host_loop.hpp"
#include "core/lifetime.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <variant>

namespace asio {
class io_context;
}

namespace pelorn {

class TcpConnection;
class TcpListener;

// The one-shot HTTP server on an ephemeral port of 127.0.0.1 that receives the browser's redirect
// at the end of Google sign-in: it answers the browser with a small page, hands the query to its
// owner and stops. It also owns the sign-in's timeout, on the host loop's clock. Host loop only.
class OAuthCallbackServer {
public:
    static constexpr std::size_t requestLimit = 32768; // bytes without a complete first line

    struct Failure {
        enum class Kind { ListenerFailed, NoPortAssigned, TimedOut } kind;
        std::string underlying; // the system's words, for ListenerFailed
        std::string description() const;
    };
    using Query = std::map<std::string, std::string>;
    using Result = std::variant<Query, Failure>;

    OAuthCallbackServer(HostLoop& loop, asio::io_context& io);
    ~OAuthCallbackServer();

    // Listens; `onReady` gets the port, `onResult` the first query carrying "code" or "error", or
    // the failure (at most once, and never after stop()).
    void start(std::function<void(std::uint16_t port)> onReady, std::function<void(const Result&)> onResult,
               std::chrono::seconds timeout);
    // Closes the listener and every connection and cancels the timeout. Idempotent.
    void stop();

    // The whole HTTP response the browser gets for a request line.
    struct Answer {
        std::string response;
        std::optional<Query> query; // present when it ends the sign-in
    };
    static Answer answer(std::string_view requestLine);

    OAuthCallbackServer(const OAuthCallbackServer&) = delete;
    OAuthCallbackServer& operator=(const OAuthCallbackServer&) = delete;

private:
    void accept(const std::shared_ptr<TcpConnection>& connection);
    void finish(const Result& result);

    HostLoop& mLoop;
    asio::io_context& mIo;
    std::unique_ptr<TcpListener> mListener;
    std::set<std::shared_ptr<TcpConnection>> mConnections;
    std::function<void(const Result&)> mOnResult;
    Timer mTimeout;
    bool mHasFinished = false;
    Lifetime<OAuthCallbackServer> mLifetime{this};
};

// Only the address the redirect goes to: 127.0.0.1, ::1, or 127.0.0.1 mapped into IPv6.
bool isRedirectLoopback(const std::string& host);

// A URL's or request target's query as name → value (a name without "=" has an empty value; the
// last of a repeated name wins); absent when the text is no URL reference.
std::optional<OAuthCallbackServer::Query> queryOf(std::string_view target);

} // namespace pelorn
