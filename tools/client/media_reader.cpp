#include "client/media_reader.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelorn::client {

namespace {

std::uint64_t bigEndian(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

} // namespace

std::unique_ptr<MediaReader> MediaReader::connect(const std::string& host, std::uint16_t port,
                                                  const std::string& sourceAddress, int receiveBuffer) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    if (receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    if (!sourceAddress.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (inet_pton(AF_INET, sourceAddress.c_str(), &local.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            return nullptr;
        }
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &remote.sin_addr) != 1 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<MediaReader>(new MediaReader(fd));
}

MediaReader::MediaReader(int fd) : mFd(fd), mWakeFd(eventfd(0, EFD_CLOEXEC)) {
    mThread = std::thread([this] { read(); });
}

MediaReader::~MediaReader() {
    mQuit = true;
    std::uint64_t one = 1;
    (void)!::write(mWakeFd, &one, sizeof one);
    mThread.join();
    ::close(mFd);
    ::close(mWakeFd);
}

void MediaReader::pause(bool paused) {
    mPaused = paused;
    std::uint64_t one = 1;
    (void)!::write(mWakeFd, &one, sizeof one);
}

void MediaReader::setOnMessage(std::function<void(const Message&)> onMessage) {
    std::lock_guard lock(mMutex);
    mOnMessage = std::move(onMessage);
}

void MediaReader::read() {
    std::string buffer;
    char chunk[65536];
    std::chrono::steady_clock::time_point headStartedAt; // first byte of the message at the buffer's head
    for (;;) {
        pollfd fds[2] = {{mFd, static_cast<short>(mPaused ? 0 : POLLIN), 0}, {mWakeFd, POLLIN, 0}};
        ::poll(fds, 2, -1);
        if (fds[1].revents & POLLIN) {
            // Woken to end, or to pause or resume (the next poll asks for the new events).
            std::uint64_t n = 0;
            (void)!::read(mWakeFd, &n, sizeof n);
            if (mQuit) {
                return;
            }
            continue;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            continue;
        }
        ssize_t got = ::recv(mFd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            mClosed = true;
            mChanged.notify_all();
            return;
        }
        auto now = std::chrono::steady_clock::now();
        if (buffer.empty()) {
            headStartedAt = now;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
        std::size_t at = 0;
        while (buffer.size() - at >= 14) {
            auto* h = reinterpret_cast<const unsigned char*>(buffer.data() + at);
            std::size_t length = bigEndian(h, 4);
            if (buffer.size() - at < 14 + length) {
                break;
            }
            Message m{h[4], h[5], bigEndian(h + 6, 8), buffer.substr(at + 14, length), now, headStartedAt};
            at += 14 + length;
            // The message after this one began within this read.
            headStartedAt = now;
            std::lock_guard lock(mMutex);
            if (mOnMessage) {
                mOnMessage(m);
            }
            mMessages.push_back(std::move(m));
        }
        buffer.erase(0, at);
        mChanged.notify_all();
    }
}

bool MediaReader::waitFor(const std::function<bool(const std::vector<Message>&)>& done,
                          std::chrono::milliseconds limit) {
    std::unique_lock lock(mMutex);
    return mChanged.wait_for(lock, limit, [&] { return done(mMessages); });
}

std::vector<MediaReader::Message> MediaReader::messages() const {
    std::lock_guard lock(mMutex);
    return mMessages;
}

std::string MediaReader::annexB(const std::vector<Message>& messages) {
    static const std::string startCode("\0\0\0\1", 4);
    std::string out;
    bool started = false;
    for (const auto& m : messages) {
        if (m.type == 2 || (m.type == 1 && !started)) {
            continue;
        }
        started = true;
        const auto& p = m.payload;
        for (std::size_t at = 0; at + 4 <= p.size();) {
            std::size_t n = bigEndian(reinterpret_cast<const unsigned char*>(p.data() + at), 4);
            out += startCode;
            out.append(p, at + 4, n);
            at += 4 + n;
        }
    }
    return out;
}

} // namespace pelorn::client
