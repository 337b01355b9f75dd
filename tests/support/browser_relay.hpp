#pragma once

// The browser's way to the host in tests: a tiny HTTP server on loopback that serves the test page
// and carries signaling messages (the LAN protocol's JSON, one per request) between the page and
// the host, plus the reports the page posts about what it received.
#include "core/json.hpp"
#include "net/io_thread.hpp"
#include "signaling/signaling_message.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pelorn::test {

class BrowserRelay {
public:
    // `deliver` gets the page's signaling messages on the relay's thread.
    BrowserRelay(std::string page, std::function<void(const SignalingMessage&)> deliver)
        : mPage(std::move(page)), mDeliver(std::move(deliver)) {
        mAcceptor.open(asio::ip::tcp::v4());
        mAcceptor.set_option(asio::socket_base::reuse_address(true));
        mAcceptor.bind({asio::ip::address_v4::loopback(), 0});
        mAcceptor.listen();
        accept();
    }
    ~BrowserRelay() {
        std::promise<void> closed;
        asio::post(mIo.context(), [this, &closed] {
            std::error_code ignored;
            mAcceptor.close(ignored);
            closed.set_value();
        });
        closed.get_future().wait();
    }

    std::uint16_t port() const { return mAcceptor.local_endpoint().port(); }

    // Queued until the page next polls.
    void send(const SignalingMessage& message) {
        std::lock_guard lock(mMutex);
        mToPage.push_back(message.encode().value_or("{}"));
    }
    // The page's newest report, null before the first.
    nlohmann::json report() const {
        std::lock_guard lock(mMutex);
        return mReport;
    }

    // What the page marked as it happened ({"name": …, "at": epoch milliseconds, …}), oldest first.
    std::vector<nlohmann::json> events() const {
        std::lock_guard lock(mMutex);
        return mEvents;
    }

    BrowserRelay(const BrowserRelay&) = delete;
    BrowserRelay& operator=(const BrowserRelay&) = delete;

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

    void readHead(std::shared_ptr<Exchange> x) {
        asio::async_read_until(
            x->socket, x->buffer, "\r\n\r\n", [this, x](std::error_code ec, std::size_t n) {
                if (ec) {
                    return;
                }
                x->head.assign(asio::buffers_begin(x->buffer.data()),
                               asio::buffers_begin(x->buffer.data()) + static_cast<std::ptrdiff_t>(n));
                x->buffer.consume(n);
                std::size_t length = 0;
                if (auto at = x->head.find("Content-Length: "); at != std::string::npos) {
                    length = std::stoul(x->head.substr(at + 16));
                }
                auto missing = length > x->buffer.size() ? length - x->buffer.size() : 0;
                asio::async_read(x->socket, x->buffer, asio::transfer_exactly(missing),
                                 [this, x, length](std::error_code error, std::size_t) {
                                     if (!error) {
                                         std::string body(asio::buffers_begin(x->buffer.data()),
                                                          asio::buffers_begin(x->buffer.data()) +
                                                              static_cast<std::ptrdiff_t>(length));
                                         respond(x, body);
                                     }
                                 });
            });
    }

    void respond(std::shared_ptr<Exchange> x, const std::string& body) {
        std::string type = "application/json";
        std::string content = "{}";
        if (x->head.starts_with("GET / ") || x->head.starts_with("GET /?")) {
            type = "text/html; charset=utf-8";
            content = mPage;
        } else if (x->head.starts_with("GET /poll")) {
            std::lock_guard lock(mMutex);
            content = "[";
            for (std::size_t i = 0; i < mToPage.size(); ++i) {
                content += (i ? "," : "") + mToPage[i];
            }
            content += "]";
            mToPage.clear();
        } else if (x->head.starts_with("POST /send")) {
            auto parsed = json::parse(body);
            if (parsed && parsed->value("type", "") == "report") {
                std::lock_guard lock(mMutex);
                mReport = *parsed;
            } else if (parsed && parsed->value("type", "") == "event") {
                std::lock_guard lock(mMutex);
                mEvents.push_back(*parsed);
            } else if (auto message = SignalingMessage::decode(body)) {
                mDeliver(*message);
            }
        }
        x->reply = "HTTP/1.1 200 OK\r\nContent-Type: " + type +
                   "\r\nContent-Length: " + std::to_string(content.size()) +
                   "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + content;
        asio::async_write(x->socket, asio::buffer(x->reply), [x](std::error_code, std::size_t) {
            std::error_code ignored;
            x->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        });
    }

    std::string mPage;
    std::function<void(const SignalingMessage&)> mDeliver;
    mutable std::mutex mMutex;
    std::vector<std::string> mToPage;
    nlohmann::json mReport;
    std::vector<nlohmann::json> mEvents;
    IoThread mIo; // before the acceptor, which it outlives
    asio::ip::tcp::acceptor mAcceptor{mIo.context()};
};

} // namespace pelorn::test
