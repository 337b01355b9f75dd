#include "net/tcp_connection.hpp"

#include "core/host_loop.hpp"
#include "core/log.hpp"

#include <asio/post.hpp>
#include <asio/write.hpp>

namespace pelorn {

std::string withoutZone(std::string host) {
    if (auto cut = host.find('%'); cut != std::string::npos) {
        host.erase(cut);
    }
    return host;
}

TcpConnection::TcpConnection(asio::ip::tcp::socket socket, HostLoop& loop, std::size_t maxQueued)
    : mSocket(std::move(socket)), mLoop(loop), mMaxQueued(maxQueued), mReadBuffer(readChunk, '\0') {
    std::error_code ec;
    auto remote = mSocket.remote_endpoint(ec);
    if (!ec) {
        mPeerHost = withoutZone(remote.address().to_string());
    }
    mSocket.set_option(asio::ip::tcp::no_delay(true), ec);
}

std::shared_ptr<TcpConnection> TcpConnection::adopt(asio::ip::tcp::socket socket, HostLoop& loop,
                                                    std::size_t maxQueued) {
    // The constructor is private (reads hold the connection through shared_from_this).
    return std::shared_ptr<TcpConnection>(new TcpConnection(std::move(socket), loop, maxQueued));
}

void TcpConnection::start(Callbacks callbacks) {
    mCallbacks = std::move(callbacks);
    asio::post(mSocket.get_executor(), [self = shared_from_this()] { self->readMore(); });
}

void TcpConnection::readMore() {
    mSocket.async_read_some(
        asio::buffer(mReadBuffer), [self = shared_from_this()](std::error_code ec, std::size_t n) {
            if (self->mClosed) {
                return;
            }
            if (ec) {
                self->fail(ec == asio::error::eof ? std::nullopt : std::optional(ec.message()));
                return;
            }
            auto waiting = self->mUnconsumed += n;
            self->mLoop.post([self, bytes = self->mReadBuffer.substr(0, n)] {
                if (!self->mOwnerClosed && self->mCallbacks.onData) {
                    self->mCallbacks.onData(bytes);
                }
                self->consumed(bytes.size());
            });
            if (waiting >= readBudget) {
                self->mReadPaused = true; // consumed() resumes once the loop has caught up
                return;
            }
            self->readMore();
        });
}

void TcpConnection::consumed(std::size_t bytes) {
    auto before = mUnconsumed.fetch_sub(bytes);
    // Only the step that takes the backlog below the budget resumes, so a pause is never missed:
    // the reader pauses at or above the budget and every way down passes this point.
    if (before >= readBudget && before - bytes < readBudget) {
        asio::post(mSocket.get_executor(), [self = shared_from_this()] {
            if (self->mReadPaused && !self->mClosed && self->mUnconsumed.load() < readBudget) {
                self->mReadPaused = false;
                self->readMore();
            }
        });
    }
}

std::size_t TcpConnection::send(std::string bytes) {
    auto queued = mQueuedBytes += bytes.size();
    asio::post(mSocket.get_executor(), [self = shared_from_this(), bytes = std::move(bytes)]() mutable {
        if (self->mClosed) {
            self->mQueuedBytes -= bytes.size();
            return;
        }
        self->mOutgoing.push_back(std::move(bytes));
        if (auto unsent = self->mQueuedBytes.load(); unsent > self->mMaxQueued) {
            Log::shared().info("🔌 PELORN NET: closing " + self->mPeerHost.value_or("a peer") +
                               " - it stopped reading (" + std::to_string(unsent) + " bytes unsent)");
            self->fail("the peer stopped reading");
            return;
        }
        self->writeMore();
    });
    return queued;
}

void TcpConnection::whenQueueBelow(std::size_t bytes, std::function<void()> callback) {
    asio::post(mSocket.get_executor(),
               [self = shared_from_this(), bytes, callback = std::move(callback)]() mutable {
                   if (self->mClosed) {
                       return;
                   }
                   self->mDrainBelow = bytes;
                   self->mOnDrained = std::move(callback);
                   self->checkDrained();
               });
}

void TcpConnection::checkDrained() {
    if (!mDrainBelow || mQueuedBytes.load() > *mDrainBelow) {
        return;
    }
    mDrainBelow.reset();
    mLoop.post([self = shared_from_this(), callback = std::exchange(mOnDrained, {})] {
        if (!self->mOwnerClosed && callback) {
            callback();
        }
    });
}

void TcpConnection::writeMore() {
    if (mWriting || mOutgoing.empty() || mClosed) {
        return;
    }
    mWriting = true;
    asio::async_write(mSocket, asio::buffer(mOutgoing.front()),
                      [self = shared_from_this()](std::error_code ec, std::size_t) {
                          self->mWriting = false;
                          if (self->mClosed) {
                              return;
                          }
                          if (ec) {
                              self->fail(ec.message());
                              return;
                          }
                          self->mQueuedBytes -= self->mOutgoing.front().size();
                          self->mOutgoing.pop_front();
                          self->checkDrained();
                          self->writeMore();
                      });
}

void TcpConnection::fail(std::optional<std::string> error) {
    closeOnIoThread();
    mLoop.post([self = shared_from_this(), error = std::move(error)] {
        if (!self->mOwnerClosed && self->mCallbacks.onClosed) {
            self->mOwnerClosed = true;
            self->mCallbacks.onClosed(error);
        }
    });
}

void TcpConnection::closeOnIoThread() {
    if (mClosed) {
        return;
    }
    mClosed = true;
    for (const auto& bytes : mOutgoing) {
        mQueuedBytes -= bytes.size();
    }
    mOutgoing.clear();
    mDrainBelow.reset();
    mOnDrained = {};
    std::error_code ignored;
    mSocket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    mSocket.close(ignored);
}

void TcpConnection::close() {
    if (mLoop.isLoopThread()) {
        mOwnerClosed = true;
    } else {
        mLoop.post([self = shared_from_this()] { self->mOwnerClosed = true; });
    }
    asio::post(mSocket.get_executor(), [self = shared_from_this()] { self->closeOnIoThread(); });
}

} // namespace pelorn
