#pragma once

// A tiny HTTP/1.1 server on loopback for tests: each request (one per connection) goes to the
// test's handler on the stub's own thread, and its reply goes back; a reply marked `never` is
// never sent (a server that hangs).
#include "net/io_thread.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace pelorn::test {

class HttpStub {
public:
    struct Request {
        std::string method;
        std::string target; // "/path?query"
        std::string authorization;
        std::string body;
    };
    struct Reply {
        int status = 200;
        std::string body = "{}";
        std::string contentType = "application/json";
        bool never = false;
    };
    using Handler = std::function<Reply(const Request&)>;

    explicit HttpStub(Handler handler) : mHandler(std::move(handler)) {
        mAcceptor.open(asio::ip::tcp::v4());
        mAcceptor.set_option(asio::socket_base::reuse_address(true));
        mAcceptor.bind({asio::ip::address_v4::loopback(), 0});
        mAcceptor.listen();
        accept();
    }
    ~HttpStub() {
        std::promise<void> closed;
        asio::post(mIo.context(), [this, &closed] {
            std::error_code ignored;
            mAcceptor.close(ignored);
            mHeld.clear();
            closed.set_value();
        });
        closed.get_future().wait();
    }

    std::uint16_t port() const { return mAcceptor.local_endpoint().port(); }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port()); }
    // Requests the handler has had.
    int requests() const { return mRequests; }

    HttpStub(const HttpStub&) = delete;
    HttpStub& operator=(const HttpStub&) = delete;

private:
    struct Exchange {
        explicit Exchange(asio::ip::tcp::socket s) : socket(std::move(s)) {}
        asio::ip::tcp::socket socket;
        asio::streambuf buffer;
        std::string head;
        std::string reply;
    };

    void accept() {
        mAcceptor.async_accept([this](std::error_code ec, asio::ip::tcp::socket socket) {
            if (ec) {
                return;
            }
            readHead(std::make_shared<Exchange>(std::move(socket)));
            accept();
        });
    }

    static std::string header(const std::string& head, const std::string& name) {
        auto at = head.find("\r\n" + name + ": ");
        if (at == std::string::npos) {
            return {};
        }
        at += name.size() + 4;
        return head.substr(at, head.find("\r\n", at) - at);
    }

    void readHead(std::shared_ptr<Exchange> x) {
        asio::async_read_until(
            x->socket, x->buffer, "\r\n\r\n", [this, x](std::error_code ec, std::size_t n) {
                if (ec) {
                    return;
                }
                x->head.assign(asio::buffers_begin(x->buffer.data()),
                               asio::buffers_begin(x->buffer.data()) + static_cast<std::ptrdiff_t>(n));
                x->buffer.consume(n);
                auto lengthText = header(x->head, "Content-Length");
                std::size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
                auto missing = length > x->buffer.size() ? length - x->buffer.size() : 0;
                asio::async_read(x->socket, x->buffer, asio::transfer_exactly(missing),
                                 [this, x, length](std::error_code error, std::size_t) {
                                     if (!error) {
                                         respond(x, std::string(asio::buffers_begin(x->buffer.data()),
                                                                asio::buffers_begin(x->buffer.data()) +
                                                                    static_cast<std::ptrdiff_t>(length)));
                                     }
                                 });
            });
    }

    void respond(std::shared_ptr<Exchange> x, std::string body) {
        auto space = x->head.find(' ');
        Request request{x->head.substr(0, space),
                        x->head.substr(space + 1, x->head.find(' ', space + 1) - space - 1),
                        header(x->head, "Authorization"), std::move(body)};
        ++mRequests;
        auto reply = mHandler(request);
        if (reply.never) {
            mHeld.push_back(x); // open, unanswered, until the stub goes
            return;
        }
        x->reply = "HTTP/1.1 " + std::to_string(reply.status) +
                   " Stub\r\nContent-Type: " + reply.contentType +
                   "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                   "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + reply.body;
        asio::async_write(x->socket, asio::buffer(x->reply), [x](std::error_code, std::size_t) {
            std::error_code ignored;
            x->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        });
    }

    Handler mHandler;
    std::atomic<int> mRequests{0};
    std::vector<std::shared_ptr<Exchange>> mHeld; // the stub's thread only
    IoThread mIo;                                 // before the acceptor, which it outlives
    asio::ip::tcp::acceptor mAcceptor{mIo.context()};
};

} // namespace pelorn::test
