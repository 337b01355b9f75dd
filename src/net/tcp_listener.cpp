#include "net/tcp_listener.hpp"

#include "core/host_loop.hpp"
#include "net/tcp_connection.hpp"

#include <asio/ip/tcp.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <future>

namespace pelorn {

namespace {

// After an accept error such as running out of descriptors, wait before trying again instead of
// spinning on the same error.
constexpr auto acceptRetryDelay = std::chrono::milliseconds(100);

} // namespace

struct TcpListener::State : std::enable_shared_from_this<State> {
    State(asio::io_context& context, HostLoop& hostLoop)
        : io(context), loop(hostLoop), acceptor(context), retry(context) {}

    void acceptNext() {
        acceptor.async_accept(
            [self = shared_from_this()](const asio::error_code& error, asio::ip::tcp::socket socket) {
                self->accepted(error, std::move(socket));
            });
    }

    // I/O thread.
    void accepted(const asio::error_code& error, asio::ip::tcp::socket socket) {
        if (closed || error == asio::error::operation_aborted) {
            return;
        }
        if (error) {
            if (!failing) {
                failing = true;
                report([message = error.message()](State& s) {
                    if (s.onFailure) {
                        s.onFailure(message);
                    }
                });
            }
            retry.expires_after(acceptRetryDelay);
            retry.async_wait([self = shared_from_this()](const asio::error_code& e) {
                if (!e && !self->closed) {
                    self->acceptNext();
                }
            });
            return;
        }
        failing = false;
        auto connection = TcpConnection::adopt(std::move(socket), loop);
        report([connection](State& s) {
            if (s.onConnection) {
                s.onConnection(connection);
            } else {
                connection->close();
            }
        });
        acceptNext();
    }

    // Runs `what` on the host loop unless the listener has been closed by then.
    template <class F> void report(F what) {
        loop.post([self = shared_from_this(), what = std::move(what)] {
            if (!self->closedOnLoop) {
                what(*self);
            }
        });
    }

    void closeOnIoThread() {
        closed = true;
        asio::error_code ignored;
        retry.cancel();
        acceptor.close(ignored);
    }

    asio::io_context& io;
    HostLoop& loop;
    asio::ip::tcp::acceptor acceptor; // I/O thread once started
    asio::steady_timer retry;
    bool closed = false;  // I/O thread
    bool failing = false; // I/O thread
    // Host loop:
    bool closedOnLoop = false;
    OnConnection onConnection;
    OnFailure onFailure;
};

std::variant<std::unique_ptr<TcpListener>, std::string>
TcpListener::open(asio::io_context& io, HostLoop& loop, std::uint16_t port, Reach reach) {
    auto state = std::make_shared<State>(io, loop);
    auto& acceptor = state->acceptor;
    asio::error_code error;
    asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), port);
    if (reach == Reach::ThisMachine) {
        endpoint = asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port);
        acceptor.open(asio::ip::tcp::v4(), error);
    } else {
        // Dual-stack first; a system without IPv6 gets an IPv4 listener.
        acceptor.open(asio::ip::tcp::v6(), error);
        if (!error) {
            acceptor.set_option(asio::ip::v6_only(false), error);
        }
    }
    if (error && reach == Reach::Everywhere) {
        asio::error_code ignored;
        acceptor.close(ignored);
        error.clear();
        acceptor.open(asio::ip::tcp::v4(), error);
        endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port);
    }
    if (!error) {
        // Lets the host listen again at once after a restart while old connections sit in TIME_WAIT.
        acceptor.set_option(asio::socket_base::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    std::uint16_t bound = 0;
    if (!error) {
        bound = acceptor.local_endpoint(error).port();
    }
    if (error) {
        return error.message();
    }
    return std::unique_ptr<TcpListener>(new TcpListener(std::move(state), bound));
}

TcpListener::TcpListener(std::shared_ptr<State> state, std::uint16_t port)
    : mState(std::move(state)), mPort(port) {
}

TcpListener::~TcpListener() {
    mState->closedOnLoop = true;
    mState->onConnection = nullptr;
    mState->onFailure = nullptr;
    if (mState->io.get_executor().running_in_this_thread() || mState->io.stopped()) {
        mState->closeOnIoThread();
        return;
    }
    // The I/O thread never waits for the host loop, so waiting for it here cannot deadlock.
    std::promise<void> done;
    asio::post(mState->io, [state = mState, &done] {
        state->closeOnIoThread();
        done.set_value();
    });
    done.get_future().wait();
}

void TcpListener::start(OnConnection onConnection, OnFailure onFailure) {
    mState->onConnection = std::move(onConnection);
    mState->onFailure = std::move(onFailure);
    asio::post(mState->io, [state = mState] {
        if (!state->closed) {
            state->acceptNext();
        }
    });
}

} // namespace pelorn
