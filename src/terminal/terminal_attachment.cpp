#include "terminal/terminal_attachment.hpp"

#include "core/host_loop.hpp"
#include "core/log.hpp"
#include "core/process_runner.hpp"
#include "terminal/tmux.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace pelorn {

namespace {

void setWindowSize(int fd, int columns, int rows) {
    winsize size{};
    size.ws_col = static_cast<unsigned short>(std::min(columns, TerminalAttachment::maxDimension));
    size.ws_row = static_cast<unsigned short>(std::min(rows, TerminalAttachment::maxDimension));
    ::ioctl(fd, TIOCSWINSZ, &size);
}

// Reads the terminal until the client's side is gone or the wake pipe says stop. It owns its own
// copy of the master descriptor and the pipe's read end, so no descriptor it reads can be closed
// and reused under it. While paused it watches only the wake pipe and the resume event.
template <class Descriptor>
void readLoop(int fd, int wake, std::shared_ptr<Descriptor> resume, TerminalAttachment::OnOutput onOutput) {
    std::vector<char> buffer(TerminalAttachment::readBufferSize);
    bool paused = false;
    for (;;) {
        pollfd fds[2] = {{wake, POLLIN, 0}, {paused ? resume->fd : fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents) {
            break;
        }
        if (paused) {
            eventfd_t ignored;
            ::eventfd_read(resume->fd, &ignored);
            paused = false;
            continue;
        }
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            break; // EIO once every slave descriptor has closed
        }
        paused = !onOutput(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
    ::close(fd);
    ::close(wake);
}

} // namespace

struct TerminalAttachment::Input {
    explicit Input(int wakeFd) : wake(wakeFd) {}
    ~Input() { ::close(wake); }
    std::mutex mutex; // guards pending, stop and dropping
    std::string pending;
    bool stop = false;
    bool dropping = false;
    std::atomic<std::size_t> queued{0}; // pending and what the writer holds
    const int wake;                     // an eventfd: more input, or stop
};

std::string_view TerminalAttachment::rawValue(ExitReason reason) {
    switch (reason) {
    case ExitReason::Detached:
        return "detached";
    case ExitReason::Ended:
        return "ended";
    case ExitReason::Replaced:
        return "replaced";
    }
    return "";
}

std::optional<TerminalAttachment::ExitReason> TerminalAttachment::fromRaw(std::string_view raw) {
    for (auto reason : {ExitReason::Detached, ExitReason::Ended, ExitReason::Replaced}) {
        if (rawValue(reason) == raw) {
            return reason;
        }
    }
    return std::nullopt;
}

TerminalAttachment::TerminalAttachment(HostLoop& loop, std::string session, std::string owner, OnExit onExit)
    : mLoop(loop), mSession(std::move(session)), mOwner(std::move(owner)), mOnExit(std::move(onExit)) {
}

TerminalAttachment::Descriptor::~Descriptor() {
    ::close(fd);
}

TerminalAttachment::~TerminalAttachment() {
    if (mInput) {
        {
            std::lock_guard lock(mInput->mutex);
            mInput->stop = true;
        }
        ::eventfd_write(mInput->wake, 1);
    }
    if (mWriter.joinable()) {
        mWriter.join();
    }
    if (mWakeFd >= 0) {
        ::close(mWakeFd); // the reader sees the hang-up and stops
    }
    if (mPid > 0 && mIsOpen) {
        ::kill(mPid, SIGHUP);
    }
    if (mReader.joinable()) {
        mReader.join();
    }
    if (mReaper.joinable()) {
        endClient();
    }
}

void TerminalAttachment::endClient() {
    // The tmux client leaves at once on a hang-up; one that does not is killed after a grace
    // period. The reaper only waits for the exit without reaping, so until the waitpid below the
    // pid cannot name another process and the kill is safe.
    constexpr auto grace = std::chrono::seconds(2);
    constexpr auto step = std::chrono::milliseconds(5);
    auto deadline = std::chrono::steady_clock::now() + grace;
    while (!mExited.load() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(step);
    }
    if (!mExited.load()) {
        ::kill(mPid, SIGKILL);
    }
    mReaper.join();
    while (::waitpid(mPid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

std::shared_ptr<TerminalAttachment::Descriptor> TerminalAttachment::masterDescriptor() const {
    std::lock_guard lock(mMutex);
    return mMaster;
}

TmuxResult<std::shared_ptr<TerminalAttachment>> TerminalAttachment::start(HostLoop& loop, const Tmux& tmux,
                                                                          std::string session, int columns,
                                                                          int rows, std::string owner,
                                                                          OnOutput onOutput, OnExit onExit) {
    auto executable = tmux.locate();
    if (!executable) {
        return TmuxFailure{TmuxFailure::Kind::NotInstalled, ""};
    }
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return TmuxFailure{TmuxFailure::Kind::Command, "Could not open a terminal."};
    }
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    setWindowSize(master, std::max(columns, minColumns), std::max(rows, minRows));

    // Everything the child needs is built before fork: after it only async-signal-safe calls.
    std::vector<std::string> argv{executable->string(), "-u", "attach-session", "-t",
                                  Tmux::exactTarget(session)};
    auto env = tmux.environment();
    auto argvC = cStrings(argv), envC = cStrings(env);
    auto home = userHome();
    int launchError[2];
    if (::pipe2(launchError, O_CLOEXEC) != 0) {
        ::close(master);
        ::close(slave);
        return TmuxFailure{TmuxFailure::Kind::Command,
                           std::string("Could not start tmux: ") + std::strerror(errno)};
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        // A session of its own with the pty as controlling terminal, so resizes reach tmux as SIGWINCH.
        ::setsid();
        ::ioctl(slave, TIOCSCTTY, 0);
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        ::dup2(slave, 2);
        if (slave > 2) {
            ::close(slave);
        }
        restoreChildDefaults();
        if (::chdir(home.c_str()) != 0) {
            // Stay where we are; tmux attaches all the same.
        }
        ::execve(argvC[0], argvC.data(), envC.data());
        int error = errno;
        ssize_t ignored = ::write(launchError[1], &error, sizeof error);
        (void)ignored;
        ::_exit(127);
    }
    ::close(launchError[1]);
    ::close(slave);
    int childError = 0;
    bool failed = pid < 0;
    if (pid < 0) {
        childError = errno;
    } else if (::read(launchError[0], &childError, sizeof childError) == sizeof childError) {
        failed = true;
        ::waitpid(pid, nullptr, 0);
    }
    ::close(launchError[0]);
    if (failed) {
        ::close(master);
        return TmuxFailure{TmuxFailure::Kind::Command,
                           std::string("Could not start tmux: ") + std::strerror(childError)};
    }

    int wake[2] = {-1, -1};
    int readerFd = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
    int writerFd = ::fcntl(master, F_DUPFD_CLOEXEC, 0);
    int resumeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int inputFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // The descriptors share one open file: all of them non-blocking, which the reader and the
    // writer both wait out with poll.
    int flags = ::fcntl(master, F_GETFL);
    if (readerFd < 0 || writerFd < 0 || resumeFd < 0 || inputFd < 0 || flags < 0 ||
        ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
        ::kill(pid, SIGHUP);
        ::waitpid(pid, nullptr, 0);
        for (int fd : {master, readerFd, writerFd, resumeFd, inputFd}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return TmuxFailure{TmuxFailure::Kind::Command, "Could not open a terminal."};
    }
    auto resume = std::make_shared<Descriptor>(resumeFd);
    auto attachment = std::shared_ptr<TerminalAttachment>(
        new TerminalAttachment(loop, session, std::move(owner), std::move(onExit)));
    {
        std::lock_guard lock(attachment->mMutex);
        attachment->mMaster = std::make_shared<Descriptor>(master);
        attachment->mWakeFd = wake[1];
        attachment->mResume = resume;
    }
    attachment->mPid = pid;
    attachment->mIsOpen = true;
    Log::shared().info("🖥 Attached to tmux session " + attachment->mSession + " for " +
                       attachment->mOwner);

    attachment->mReader =
        std::thread(readLoop<Descriptor>, readerFd, wake[0], std::move(resume), std::move(onOutput));
    attachment->mInput = std::make_shared<Input>(inputFd);
    attachment->mWriter = std::thread(writeLoop, writerFd, attachment->mInput);
    // Learns when the client exits, whatever ends it, and reports on the loop. The attachment
    // joins it, so the loop it posts to is still there; the destructor reaps the client.
    std::weak_ptr<TerminalAttachment> weak = attachment;
    attachment->mReaper = std::thread([pid, weak, &loop, &exited = attachment->mExited] {
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
        exited = true;
        loop.post([weak] {
            if (auto self = weak.lock()) {
                self->processEnded();
            }
        });
    });
    return attachment;
}

void TerminalAttachment::write(std::string_view bytes) {
    if (!mInput || bytes.empty()) {
        return;
    }
    {
        std::lock_guard lock(mInput->mutex);
        if (mInput->stop) {
            return;
        }
        if (mInput->queued + bytes.size() > maxPendingInput) {
            if (!mInput->dropping) {
                Log::shared().info("⚠️ Terminal " + mSession +
                                   " is not taking input - dropped input from " + mOwner);
            }
            mInput->dropping = true;
            return;
        }
        mInput->dropping = false;
        mInput->pending.append(bytes);
        mInput->queued += bytes.size();
    }
    ::eventfd_write(mInput->wake, 1);
}

void TerminalAttachment::writeLoop(int fd, std::shared_ptr<Input> input) {
    std::string writing;
    std::size_t at = 0;
    for (;;) {
        if (at == writing.size()) {
            input->queued -= writing.size();
            writing.clear();
            at = 0;
        }
        {
            std::lock_guard lock(input->mutex);
            if (input->stop) {
                break;
            }
            writing += std::exchange(input->pending, {});
        }
        pollfd fds[2] = {{input->wake, POLLIN, 0},
                         {fd, static_cast<short>(at < writing.size() ? POLLOUT : 0), 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            break;
        }
        if (fds[0].revents & POLLIN) {
            eventfd_t ignored;
            ::eventfd_read(input->wake, &ignored); // more input, or stop: the top of the loop sees
        }
        if (fds[1].revents & (POLLERR | POLLHUP)) {
            break; // the client's side is gone
        }
        if (fds[1].revents & POLLOUT) {
            ssize_t n = ::write(fd, writing.data() + at, writing.size() - at);
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                break;
            }
            at += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    }
    ::close(fd);
}

void TerminalAttachment::resumeReading() {
    std::shared_ptr<Descriptor> resume;
    {
        std::lock_guard lock(mMutex);
        resume = mResume;
    }
    if (resume) {
        ::eventfd_write(resume->fd, 1);
    }
}

void TerminalAttachment::resize(int columns, int rows) {
    auto master = masterDescriptor();
    if (!master || columns < 1 || rows < 1) {
        return;
    }
    setWindowSize(master->fd, columns, rows);
}

std::optional<std::pair<int, int>> TerminalAttachment::windowSize() const {
    auto master = masterDescriptor();
    winsize size{};
    if (!master || ::ioctl(master->fd, TIOCGWINSZ, &size) != 0) {
        return std::nullopt;
    }
    return std::pair<int, int>(size.ws_col, size.ws_row);
}

void TerminalAttachment::finish(ExitReason reason) {
    // The exit callback commonly lets go of the attachment; it lives until this call is over.
    auto keepAlive = shared_from_this();
    mIsOpen = false;
    {
        std::lock_guard lock(mMutex);
        mMaster.reset();
        mResume.reset();
        if (mWakeFd >= 0) {
            ::close(mWakeFd);
            mWakeFd = -1;
        }
    }
    if (auto onExit = std::exchange(mOnExit, {})) {
        onExit(mSession, reason);
    }
}

void TerminalAttachment::processEnded() {
    if (mIsOpen && !mClosing) {
        finish(ExitReason::Ended);
    }
}

void TerminalAttachment::close(ExitReason reason) {
    if (!mIsOpen || mClosing) {
        return;
    }
    mClosing = true;
    // The tmux client detaches on a hang-up and exits; the session lives on.
    ::kill(mPid, SIGHUP);
    finish(reason);
}

} // namespace pelorn
