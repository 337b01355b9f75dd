#include "app/control/control_client.hpp"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace pelorn {

namespace {

class Fd {
public:
    explicit Fd(int fd) : mFd(fd) {}
    ~Fd() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    int get() const { return mFd; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

private:
    int mFd;
};

ControlClientFailure fail(ControlClientError error, std::string detail) {
    return {error, std::move(detail)};
}

bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, static_cast<int>(left.count()));
        if (rc > 0) {
            return true;
        }
        if (rc == 0 || errno != EINTR) {
            return false;
        }
    }
}

} // namespace

std::variant<ControlResponse, ControlClientFailure>
sendControlRequest(const std::filesystem::path& socketPath, const ControlRequest& request,
                   std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.string().size() >= sizeof addr.sun_path) {
        return fail(ControlClientError::NotRunning, "socket path too long: " + socketPath.string());
    }
    std::strcpy(addr.sun_path, socketPath.c_str());
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        return fail(ControlClientError::NotRunning, std::strerror(errno));
    }
    // Requests carry passwords: nothing goes to a socket that another user put there.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != ::geteuid()) {
        return fail(ControlClientError::NotRunning, "the socket " + socketPath.string() +
                                                        " is served by another user (uid " +
                                                        std::to_string(peer.uid) + "); nothing was sent");
    }
    std::string out = encodeRequest(request);
    size_t sent = 0;
    while (sent < out.size()) {
        if (!waitFor(fd.get(), POLLOUT, deadline)) {
            return fail(ControlClientError::NoAnswer, "timed out sending the request");
        }
        ssize_t n = ::send(fd.get(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR) {
            return fail(ControlClientError::NoAnswer, std::strerror(errno));
        }
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    std::string in;
    char buffer[4096];
    while (in.find('\n') == std::string::npos) {
        if (in.size() > maxControlReply) {
            return fail(ControlClientError::BadReply, "reply too long");
        }
        if (!waitFor(fd.get(), POLLIN, deadline)) {
            return fail(ControlClientError::NoAnswer, "timed out waiting for the reply");
        }
        ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n == 0) {
            return fail(ControlClientError::NoAnswer, "the host closed the connection without a reply");
        }
        if (n < 0 && errno != EINTR) {
            return fail(ControlClientError::NoAnswer, std::strerror(errno));
        }
        in.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    }
    auto response = decodeResponse(std::string_view(in).substr(0, in.find('\n')));
    if (!response) {
        return fail(ControlClientError::BadReply, "the reply is not understood");
    }
    return *response;
}

} // namespace pelorn
