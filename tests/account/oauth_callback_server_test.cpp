// The sign-in's loopback server: what each request line gets, and the real server against real
// sockets (split request lines, a favicon first, strangers, floods, the timeout on the loop's clock).
#include "account/oauth_callback_server.hpp"
#include "net/io_thread.hpp"
#include "support/test_support.hpp"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono_literals;

namespace {

using Query = OAuthCallbackServer::Query;

TEST(OAuthCallbackAnswer, EachRequestLineGetsItsPageAndOnlyCodeOrErrorEndsTheSignIn) {
    struct Case {
        std::string line;
        std::string status;
        std::string title;
        std::optional<Query> query;
    };
    for (const auto& c : std::vector<Case>{
             {"GET /?state=s1&code=4/0Ab%2Bx&scope=openid HTTP/1.1", "200 OK", "Signed in to Pelorn",
              Query{{"state", "s1"}, {"code", "4/0Ab+x"}, {"scope", "openid"}}},
             {"GET /?code=c&error=access_denied&state=s HTTP/1.1", "200 OK", "Sign-in cancelled",
              Query{{"code", "c"}, {"error", "access_denied"}, {"state", "s"}}},
             {"GET /?error=access_denied HTTP/1.1", "200 OK", "Sign-in cancelled",
              Query{{"error", "access_denied"}}},
             {"  GET   /?code&&state=%E2%9C%93   HTTP/1.1 ", "200 OK", "Signed in to Pelorn",
              Query{{"code", ""}, {"state", "\u2713"}}},
             {"GET /favicon.ico HTTP/1.1", "404 Not Found", "Not found", std::nullopt},
             {"GET /?state=only HTTP/1.1", "404 Not Found", "Not found", std::nullopt},
             {"GET", "400 Bad Request", "Bad request", std::nullopt},
             {"", "400 Bad Request", "Bad request", std::nullopt},
             {"GET /?code=%zz HTTP/1.1", "400 Bad Request", "Bad request", std::nullopt},
             {"GET /?code=%4 HTTP/1.1", "400 Bad Request", "Bad request", std::nullopt},
             {"GET /?code=<x> HTTP/1.1", "400 Bad Request", "Bad request", std::nullopt},
         }) {
        auto answer = OAuthCallbackServer::answer(c.line);
        EXPECT_EQ(answer.query, c.query) << c.line;
        const auto& r = answer.response;
        auto split = r.find("\r\n\r\n");
        ASSERT_NE(split, std::string::npos) << r;
        auto body = r.substr(split + 4);
        EXPECT_EQ(r.substr(0, split + 4),
                  "HTTP/1.1 " + c.status + "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n")
            << c.line;
        EXPECT_TRUE(body.starts_with("<!doctype html><html><head><meta charset=\"utf-8\"><title>" + c.title +
                                     "</title>"))
            << body;
        EXPECT_NE(body.find("<h1>" + c.title + "</h1>"), std::string::npos) << body;
    }
    EXPECT_NE(OAuthCallbackServer::answer("GET /?code=c HTTP/1.1")
                  .response.find("<p>You can close this tab and return to the app.</p>"),
              std::string::npos);
}

class CallbackServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.start([this](std::uint16_t p) { port = p; },
                     [this](const OAuthCallbackServer::Result& r) { results.push_back(r); }, 300s);
        ASSERT_NE(port, 0);
    }

    // A browser (or anyone) on this machine: connects, optionally from another loopback address.
    struct Client {
        asio::io_context io;
        asio::ip::tcp::socket socket{io};
        std::string received;
        bool closed = false;

        Client(std::uint16_t port, const std::string& from = {}) {
            socket.open(asio::ip::tcp::v4());
            if (!from.empty()) {
                socket.bind({asio::ip::make_address(from), 0});
            }
            socket.connect({asio::ip::address_v4::loopback(), port});
            socket.non_blocking(true);
        }
        void send(const std::string& bytes) { asio::write(socket, asio::buffer(bytes)); }
        // Reads what has arrived; true once the server closed the connection.
        bool poll() {
            char chunk[65536];
            for (;;) {
                asio::error_code error;
                auto n = socket.read_some(asio::buffer(chunk), error);
                if (error == asio::error::would_block) {
                    return closed;
                }
                if (error) {
                    return closed = true;
                }
                received.append(chunk, n);
            }
        }
    };

    bool waitClosed(Client& client) {
        return pumpUntil(loop, [&] { return client.poll(); });
    }

    HostLoop loop{HostLoop::TimeMode::Manual};
    IoThread io;
    OAuthCallbackServer server{loop, io.context()};
    std::uint16_t port = 0;
    std::vector<OAuthCallbackServer::Result> results;
};

TEST_F(CallbackServerTest, AFaviconFirstThenASplitRedirectEndsItAndTheListenerIsGone) {
    Client favicon(port);
    favicon.send("GET /favicon.ico HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(waitClosed(favicon));
    EXPECT_TRUE(favicon.received.starts_with("HTTP/1.1 404 Not Found\r\n")) << favicon.received;
    EXPECT_TRUE(results.empty());

    Client browser(port);
    browser.send("GET /?state=s&co");
    loop.runPending();
    std::this_thread::sleep_for(50ms); // a segment of its own
    loop.runPending();
    browser.send("de=abc HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(waitClosed(browser));
    EXPECT_TRUE(browser.received.starts_with("HTTP/1.1 200 OK\r\n")) << browser.received;
    EXPECT_NE(browser.received.find("Signed in to Pelorn"), std::string::npos);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(std::get<Query>(results[0]), (Query{{"state", "s"}, {"code", "abc"}}));

    // A second redirect finds nobody listening.
    asio::io_context io2;
    asio::ip::tcp::socket late(io2);
    asio::error_code error;
    late.connect({asio::ip::address_v4::loopback(), port}, error);
    EXPECT_TRUE(error) << "the listener is still open";
    loop.advance(301s);
    EXPECT_EQ(results.size(), 1u); // the timeout went with it
}

TEST_F(CallbackServerTest, StrangersAndFloodsAreCutOffWithoutEndingTheSignIn) {
    Client stranger(port, "127.0.0.2");
    stranger.send("GET /?state=s&code=stolen HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitClosed(stranger));
    EXPECT_EQ(stranger.received, "");

    Client flood(port);
    asio::error_code ignored;
    asio::write(flood.socket, asio::buffer(std::string(40000, 'a')), ignored);
    ASSERT_TRUE(waitClosed(flood));
    EXPECT_EQ(flood.received, "");

    EXPECT_TRUE(results.empty());
    Client browser(port);
    browser.send("GET /?state=s&error=access_denied HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitClosed(browser));
    EXPECT_NE(browser.received.find("Sign-in cancelled"), std::string::npos);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(std::get<Query>(results[0]).at("error"), "access_denied");
}

} // namespace
