#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>

namespace asio {
class io_context;
}

namespace pelorn {

class HostLoop;
class TcpConnection;

// A listening TCP socket on every address (IPv6 dual-stack where the system has it, else IPv4), or
// on IPv4 loopback only.
// Accepting runs on the I/O thread; new connections and failures arrive on the host loop.
class TcpListener {
public:
    using OnConnection = std::function<void(std::shared_ptr<TcpConnection>)>;
    using OnFailure = std::function<void(const std::string& error)>;

    // Everywhere: every address. ThisMachine: 127.0.0.1 only, out of the network's reach.
    enum class Reach { Everywhere, ThisMachine };
    // Binds and listens, so a port in use fails here with the system's text.
    static std::variant<std::unique_ptr<TcpListener>, std::string>
    open(asio::io_context& io, HostLoop& loop, std::uint16_t port, Reach reach = Reach::Everywhere);
    // Host loop: stops accepting and closes the socket before returning, so the port is free and
    // no callback follows.
    ~TcpListener();

    void start(OnConnection onConnection, OnFailure onFailure);
    // The bound port; the system's choice when opened with 0.
    std::uint16_t port() const { return mPort; }

    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

private:
    struct State;
    TcpListener(std::shared_ptr<State> state, std::uint16_t port);

    std::shared_ptr<State> mState;
    std::uint16_t mPort;
};

} // namespace pelorn
