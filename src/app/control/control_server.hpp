#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace asio {
class io_context;
}

namespace pelorn {

class ControlCommands;
class HostLoop;

// The Unix socket pelornctl talks to: one request line, one reply line, then the connection
// closes. Only peers of this user are served. Commands run on the host loop.
class ControlServer {
public:
    ControlServer(HostLoop& loop, asio::io_context& io, const ControlCommands& commands);
    ~ControlServer();

    // Binds the socket (replacing a stale one) with mode 0600 in a 0700 folder. Error text on failure.
    std::optional<std::string> start(const std::filesystem::path& path);
    // Closes the socket and removes it, unless another host has bound that path since.
    void stop();

    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

private:
    struct Impl;
    std::shared_ptr<Impl> mImpl;
};

} // namespace pelorn
