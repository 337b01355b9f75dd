#include "app/control/control_server.hpp"

#include "app/control/control_commands.hpp"
#include "core/host_loop.hpp"
#include "core/log.hpp"
#include "core/paths.hpp"

#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelorn {

using Protocol = asio::local::stream_protocol;

namespace {

class ControlSession : public std::enable_shared_from_this<ControlSession> {
public:
    ControlSession(Protocol::socket socket, HostLoop& loop, const ControlCommands& commands)
        : mSocket(std::move(socket)), mBuffer(maxControlLine + 1), mLoop(loop), mCommands(commands) {}

    // The request is read even from a refused peer, so the refusal is not lost to a reset of a
    // connection closed with unread data.
    void start() {
        mPeerAllowed = peerIsThisUser();
        asio::async_read_until(
            mSocket, mBuffer, '\n',
            [self = shared_from_this()](std::error_code ec, std::size_t n) { self->onLine(ec, n); });
    }

private:
    bool peerIsThisUser() {
        ucred cred{};
        socklen_t length = sizeof cred;
        if (::getsockopt(mSocket.native_handle(), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
            return false;
        }
        if (cred.uid != ::getuid()) {
            Log::shared().info("🔒 PELORN CONTROL: refused a peer of uid " + std::to_string(cred.uid));
            return false;
        }
        return true;
    }

    void onLine(std::error_code ec, std::size_t length) {
        if (ec) {
            // A line over the limit or a peer that left: nothing to answer.
            Log::shared().debug("ControlSession::onLine", ec.message());
            return;
        }
        if (!mPeerAllowed) {
            reply(ControlResponse::failure("refused: the host belongs to another user"));
            return;
        }
        std::string line(asio::buffers_begin(mBuffer.data()),
                         asio::buffers_begin(mBuffer.data()) + length - 1);
        auto request = decodeRequest(line);
        if (!request) {
            reply(ControlResponse::failure("the request is not understood"));
            return;
        }
        // The reply callback holds the session, so a handler that answers later still reaches it.
        mLoop.post([self = shared_from_this(), request = std::move(*request)] {
            self->mCommands.dispatch(request,
                                     [self](ControlResponse response) { self->reply(std::move(response)); });
        });
    }

    // Any thread: the write itself runs on the I/O thread.
    void reply(ControlResponse response) {
        auto text = std::make_shared<std::string>(encodeResponse(response));
        asio::post(mSocket.get_executor(), [self = shared_from_this(), text] {
            asio::async_write(self->mSocket, asio::buffer(*text), [self, text](std::error_code, std::size_t) {
                std::error_code ignored;
                self->mSocket.shutdown(Protocol::socket::shutdown_both, ignored);
                self->mSocket.close(ignored);
            });
        });
    }

    Protocol::socket mSocket;
    asio::streambuf mBuffer;
    HostLoop& mLoop;
    const ControlCommands& mCommands;
    bool mPeerAllowed = false;
};

} // namespace

struct ControlServer::Impl : std::enable_shared_from_this<ControlServer::Impl> {
    Impl(HostLoop& hostLoop, asio::io_context& context, const ControlCommands& table)
        : loop(hostLoop), io(context), commands(table), acceptor(context) {}

    void accept() {
        acceptor.async_accept([weak = weak_from_this()](std::error_code ec, Protocol::socket socket) {
            auto self = weak.lock();
            if (!self || ec == asio::error::operation_aborted || !self->acceptor.is_open()) {
                return;
            }
            if (!ec) {
                std::make_shared<ControlSession>(std::move(socket), self->loop, self->commands)->start();
            }
            self->accept();
        });
    }

    HostLoop& loop;
    asio::io_context& io;
    const ControlCommands& commands;
    Protocol::acceptor acceptor;
    std::filesystem::path path;
    ino_t inode = 0;
};

ControlServer::ControlServer(HostLoop& loop, asio::io_context& io, const ControlCommands& commands)
    : mImpl(std::make_shared<Impl>(loop, io, commands)) {
}

ControlServer::~ControlServer() {
    stop();
}

std::optional<std::string> ControlServer::start(const std::filesystem::path& path) {
    // Whoever can enter the socket's folder could put a socket of their own in its place, so the
    // folder, and any folder of ours above it, must be this user's alone.
    auto folder = path.parent_path();
    auto root = runtimeRoot();
    if (auto below = folder.lexically_relative(root); below.empty() || *below.begin() == "..") {
        root = folder.parent_path();
    }
    if (auto error = makePrivateFolders(root, folder)) {
        return "refusing the control socket's folder: " + *error;
    }
    std::error_code ec;
    ::unlink(path.c_str());
    mImpl->acceptor.open(Protocol(), ec);
    if (!ec) {
        mImpl->acceptor.bind(Protocol::endpoint(path.string()), ec);
    }
    // The folder is private, so the moment before this chmod exposes nothing.
    if (!ec && ::chmod(path.c_str(), 0600) != 0) {
        ec = std::error_code(errno, std::generic_category());
    }
    if (!ec) {
        mImpl->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        std::error_code ignored;
        mImpl->acceptor.close(ignored);
        return "cannot listen on " + path.string() + ": " + ec.message();
    }
    struct stat st {};
    ::stat(path.c_str(), &st);
    mImpl->path = path;
    mImpl->inode = st.st_ino;
    asio::post(mImpl->io, [impl = mImpl] { impl->accept(); });
    return std::nullopt;
}

void ControlServer::stop() {
    if (mImpl->path.empty()) {
        return;
    }
    std::promise<void> closed;
    asio::post(mImpl->io, [impl = mImpl, &closed] {
        std::error_code ignored;
        impl->acceptor.close(ignored);
        closed.set_value();
    });
    closed.get_future().wait();
    struct stat st {};
    if (::stat(mImpl->path.c_str(), &st) == 0 && st.st_ino == mImpl->inode) {
        ::unlink(mImpl->path.c_str());
    }
    mImpl->path.clear();
}

} // namespace pelorn
