#pragma once

#include "terminal/tmux.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>

namespace pelorn {

class HostLoop;

// One live view into one tmux session: a pseudo-terminal, a `tmux attach-session` client on its
// slave side, a reading thread, a writing thread and a thread that waits for the client to exit. Closing
// detaches the client; the session lives on. The attachment owns its threads: its destructor (host loop)
// stops the reader and the writer, ends the client and joins them.
class TerminalAttachment : public std::enable_shared_from_this<TerminalAttachment> {
public:
    enum class ExitReason { Detached, Ended, Replaced };
    static std::string_view rawValue(ExitReason reason);
    static std::optional<ExitReason> fromRaw(std::string_view raw);

    static constexpr std::size_t readBufferSize = 16384;
    // Input waiting for a terminal that does not take it is capped; beyond it input is dropped.
    static constexpr std::size_t maxPendingInput = 1024 * 1024;
    static constexpr int minColumns = 20, minRows = 5, maxDimension = 65535;

    // Called on the reading thread, once per chunk, in order. Returning false pauses reading
    // (the program writing then blocks on a full terminal) until resumeReading().
    using OnOutput = std::function<bool(std::string_view bytes)>;
    // Called once, on the host loop, when an attachment that started ends.
    using OnExit = std::function<void(const std::string& session, ExitReason reason)>;

    // Host loop. On success the attachment is open and reading.
    static TmuxResult<std::shared_ptr<TerminalAttachment>> start(HostLoop& loop, const Tmux& tmux,
                                                                 std::string session, int columns, int rows,
                                                                 std::string owner, OnOutput onOutput,
                                                                 OnExit onExit);
    ~TerminalAttachment();

    // Any thread; never waits. The writing thread hands every byte to the terminal, which takes
    // input in pieces when its buffer is full.
    void write(std::string_view bytes);
    // Any thread. Ignored when either dimension is below 1; each is capped at 65535.
    void resize(int columns, int rows);
    // Any thread. Lets a reader paused by its output callback go on; harmless when not paused.
    void resumeReading();
    // Host loop. Detaches the tmux client; later calls do nothing.
    void close(ExitReason reason);

    bool isOpen() const { return mIsOpen; }
    const std::string& session() const { return mSession; }
    pid_t pid() const { return mPid; }
    // The size the terminal has now (for tests and the session list).
    std::optional<std::pair<int, int>> windowSize() const;

    TerminalAttachment(const TerminalAttachment&) = delete;
    TerminalAttachment& operator=(const TerminalAttachment&) = delete;

private:
    TerminalAttachment(HostLoop& loop, std::string session, std::string owner, OnExit onExit);
    void processEnded(); // host loop
    void finish(ExitReason reason);
    void endClient(); // destructor: waits for the client's exit, joins the waiter, reaps

    HostLoop& mLoop;
    const std::string mSession;
    const std::string mOwner;
    OnExit mOnExit;
    // Closes the descriptor when the last user lets go, so a write in progress never lands on a
    // descriptor number that close has freed and the system has handed out again.
    struct Descriptor {
        explicit Descriptor(int descriptor) : fd(descriptor) {}
        const int fd;
        ~Descriptor();
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;
    };
    std::shared_ptr<Descriptor> masterDescriptor() const;

    mutable std::mutex mMutex; // guards mMaster, mResume and mWakeFd
    std::shared_ptr<Descriptor> mMaster;
    std::shared_ptr<Descriptor> mResume; // an eventfd the paused reader waits on
    int mWakeFd = -1;                    // closing it stops the reading thread
    // Host loop:
    pid_t mPid = -1;
    bool mClosing = false;
    bool mIsOpen = false;
    std::atomic<bool> mExited{false}; // set by the waiting thread
    std::thread mReader;
    std::thread mReaper;
    // Input on its way to the terminal, and the thread that writes it.
    struct Input;
    // Writes the input as fast as the terminal takes it, never blocking anyone else: the
    // descriptor is non-blocking and the thread waits for room or for more input.
    static void writeLoop(int fd, std::shared_ptr<Input> input);
    std::shared_ptr<Input> mInput;
    std::thread mWriter;
};

} // namespace pelorn
