#include "account/oauth_callback_server.hpp"

#include "core/log.hpp"
#include "net/tcp_connection.hpp"
#include "net/tcp_listener.hpp"

#include <optional>
#include <vector>

namespace pelorn {

namespace {

struct Page {
    const char* status;
    const char* title;
    const char* color;
    const char* glyph;
    const char* message;
};

constexpr Page signedIn{"200 OK", "Signed in to Pelorn", "#22c55e", "\u2713",
                        "You can close this tab and return to the app."};
constexpr Page cancelled{"200 OK", "Sign-in cancelled", "#ef4444", "\u00d7",
                         "You can close this tab and try again in the app."};
constexpr Page notFound{"404 Not Found", "Not found", "#666", "\u00b7", ""};
constexpr Page badRequest{"400 Bad Request", "Bad request", "#f59e0b", "!", ""};

std::string respond(const Page& page) {
    std::string body =
        std::string("<!doctype html><html><head><meta charset=\"utf-8\"><title>") + page.title +
        "</title><style>body{font-family:system-ui,-apple-system,sans-serif;background:#0a0a0a;"
        "color:#fff;display:flex;align-items:center;justify-content:center;min-height:100vh;"
        "margin:0}.box{text-align:center}.glyph{font-size:64px;color:" +
        page.color +
        "}h1{font-weight:600}p{color:#888}</style></head><body><div class=\"box\">"
        "<div class=\"glyph\">" +
        page.glyph + "</div><h1>" + page.title + "</h1><p>" + page.message + "</p></div></body></html>";
    return std::string("HTTP/1.1 ") + page.status +
           "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

} // namespace

std::optional<OAuthCallbackServer::Query> queryOf(std::string_view target) {
    for (unsigned char c : target) {
        if (c <= 0x20 || c >= 0x7f ||
            std::string_view("\"<>\\^`{|}").find(static_cast<char>(c)) != std::string_view::npos) {
            return std::nullopt;
        }
    }
    if (auto hash = target.find('#'); hash != std::string_view::npos) {
        target = target.substr(0, hash);
    }
    if (!percentDecoded(target.substr(0, target.find('?')))) {
        return std::nullopt;
    }
    OAuthCallbackServer::Query query;
    auto question = target.find('?');
    if (question == std::string_view::npos) {
        return query;
    }
    auto rest = target.substr(question + 1);
    while (!rest.empty()) {
        auto amp = rest.find('&');
        auto item = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (item.empty()) {
            continue;
        }
        auto eq = item.find('=');
        auto name = percentDecoded(item.substr(0, eq));
        auto value = percentDecoded(eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1));
        if (!name || !value) {
            return std::nullopt;
        }
        query[*name] = *value;
    }
    return query;
}

std::string OAuthCallbackServer::Failure::description() const {
    switch (kind) {
    case Kind::ListenerFailed:
        return "Could not open a local port for sign-in: " + underlying;
    case Kind::NoPortAssigned:
        return "Could not open a local port for sign-in.";
    case Kind::TimedOut:
        break;
    }
    return "Sign-in timed out. Please try again.";
}

bool isRedirectLoopback(const std::string& host) {
    return host == "127.0.0.1" || host == "::1" || host == "::ffff:127.0.0.1";
}

OAuthCallbackServer::Answer OAuthCallbackServer::answer(std::string_view requestLine) {
    std::vector<std::string_view> pieces;
    for (std::size_t at = 0; at < requestLine.size();) {
        auto space = requestLine.find(' ', at);
        auto piece =
            requestLine.substr(at, space == std::string_view::npos ? std::string_view::npos : space - at);
        if (!piece.empty()) {
            pieces.push_back(piece);
        }
        at = space == std::string_view::npos ? requestLine.size() : space + 1;
    }
    if (pieces.size() < 2) {
        return {respond(badRequest), std::nullopt};
    }
    auto query = queryOf(pieces[1]);
    if (!query) {
        return {respond(badRequest), std::nullopt};
    }
    if (query->count("error")) {
        return {respond(cancelled), query};
    }
    if (query->count("code")) {
        return {respond(signedIn), query};
    }
    return {respond(notFound), std::nullopt};
}

OAuthCallbackServer::OAuthCallbackServer(HostLoop& loop, asio::io_context& io) : mLoop(loop), mIo(io) {
}

OAuthCallbackServer::~OAuthCallbackServer() {
    mLifetime.end();
    stop();
}

void OAuthCallbackServer::start(std::function<void(std::uint16_t port)> onReady,
                                std::function<void(const Result&)> onResult, std::chrono::seconds timeout) {
    mOnResult = std::move(onResult);
    auto opened = TcpListener::open(mIo, mLoop, 0, TcpListener::Reach::ThisMachine);
    if (auto* error = std::get_if<std::string>(&opened)) {
        finish(Failure{Failure::Kind::ListenerFailed, *error});
        return;
    }
    mListener = std::move(std::get<std::unique_ptr<TcpListener>>(opened));
    std::uint16_t port = mListener->port();
    if (port == 0) {
        finish(Failure{Failure::Kind::NoPortAssigned, {}});
        return;
    }
    auto self = mLifetime.weak();
    mListener->start(
        [self](std::shared_ptr<TcpConnection> connection) {
            if (auto* server = self.lock()) {
                server->accept(connection);
            } else {
                connection->close();
            }
        },
        [self](const std::string& error) {
            if (auto* server = self.lock()) {
                server->finish(Failure{Failure::Kind::ListenerFailed, error});
            }
        });
    mTimeout.startOnce(mLoop, timeout, [self] {
        if (auto* server = self.lock()) {
            server->finish(Failure{Failure::Kind::TimedOut, {}});
        }
    });
    Log::shared().info("🔐 OAuth callback server listening on 127.0.0.1:" + std::to_string(port));
    if (onReady) {
        onReady(port);
    }
}

void OAuthCallbackServer::stop() {
    mTimeout.cancel();
    mListener.reset();
    for (const auto& connection : mConnections) {
        connection->close();
    }
    mConnections.clear();
}

void OAuthCallbackServer::accept(const std::shared_ptr<TcpConnection>& accepted) {
    if (mHasFinished || !isRedirectLoopback(accepted->peerHost().value_or(""))) {
        accepted->close();
        return;
    }
    mConnections.insert(accepted);
    auto self = mLifetime.weak();
    auto buffer = std::make_shared<std::string>();
    std::weak_ptr<TcpConnection> weak = accepted;
    accepted->start({[self, weak, buffer](std::string_view bytes) {
                         auto* server = self.lock();
                         auto connection = weak.lock();
                         if (!server || !connection || !server->mConnections.count(connection)) {
                             return;
                         }
                         buffer->append(bytes);
                         auto end = buffer->find("\r\n");
                         if (end == std::string::npos || end > requestLimit) {
                             if (buffer->size() > requestLimit) {
                                 server->mConnections.erase(connection);
                                 connection->close();
                             }
                             return;
                         }
                         // One request per connection: it is answered, then the connection closes.
                         auto answered = answer(std::string_view(*buffer).substr(0, end));
                         server->mConnections.erase(connection);
                         connection->send(std::move(answered.response));
                         connection->whenQueueBelow(0, [connection] { connection->close(); });
                         if (answered.query) {
                             server->finish(*answered.query);
                         }
                     },
                     [self, weak](std::optional<std::string>) {
                         auto* server = self.lock();
                         if (auto connection = weak.lock(); server && connection) {
                             server->mConnections.erase(connection);
                         }
                     }});
}

void OAuthCallbackServer::finish(const Result& result) {
    if (mHasFinished) {
        return;
    }
    mHasFinished = true;
    // The answering connection is no longer in the set, so its page still goes out.
    stop();
    if (auto onResult = std::move(mOnResult)) {
        onResult(result);
    }
}

} // namespace pelorn
