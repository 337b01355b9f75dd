// Terminal over the LAN against the real pelorn-host, side by side with a plain pseudo-terminal
// running `tmux attach` on the same session: keystroke echo round trip (median, p99, ratio) and
// output throughput for a 100 MB `cat` (MB/s, ratio).
// Usage: terminal_bench [KEYSTROKES] [MEGABYTES]   (run from the build folder's parent, or set
// PELORN_BIN_DIR)
#include "bench_host.hpp"
#include "core/base64.hpp"
#include "signaling/signaling_message.hpp"

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>

using namespace pelorn;
using namespace pelorn::bench;

namespace {

using Clock = std::chrono::steady_clock;

// Where terminal output comes from: the LAN connection or a plain pty.
class Terminal {
public:
    virtual ~Terminal() = default;
    virtual void type(const std::string& bytes) = 0;
    // The next piece of output; empty when nothing came within the limit.
    virtual std::string read(std::chrono::milliseconds limit) = 0;
    std::uint64_t received = 0;

    void drain(std::chrono::milliseconds quiet = 300ms) {
        while (!read(quiet).empty()) {
        }
    }
    // Reads until `text` has appeared; false when the output went quiet for `limit` first.
    bool readUntil(const std::string& text, std::chrono::milliseconds limit = 30s) {
        std::string tail;
        for (;;) {
            auto piece = read(limit);
            if (piece.empty()) {
                return false;
            }
            received += piece.size();
            tail += piece;
            if (tail.find(text) != std::string::npos) {
                return true;
            }
            if (tail.size() > text.size()) {
                tail.erase(0, tail.size() - text.size());
            }
        }
    }
};

class LanTerminal final : public Terminal {
public:
    explicit LanTerminal(client::Session& session) : mSession(session) {}
    void type(const std::string& bytes) override {
        mSession.connection().send(SignalingMessage{.type = "terminal_input", .sdp = base64::encode(bytes)});
    }
    std::string read(std::chrono::milliseconds limit) override {
        auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            auto m =
                mSession.next(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
            if (!m) {
                return "";
            }
            if (m->type == "terminal_output" && m->sdp) {
                auto bytes = base64::decode(*m->sdp);
                return bytes ? std::string(bytes->begin(), bytes->end()) : "";
            }
        }
        return "";
    }

private:
    client::Session& mSession;
};

class PtyTerminal final : public Terminal {
public:
    PtyTerminal(const std::string& session, const std::vector<std::string>& env) {
        winsize size{};
        size.ws_col = 120;
        size.ws_row = 40;
        mPid = ::forkpty(&mMaster, nullptr, nullptr, &size);
        if (mPid == 0) {
            std::vector<std::string> argv{"/usr/bin/tmux", "-u", "attach-session", "-t", "=" + session};
            auto withTerm = env;
            withTerm.push_back("TERM=xterm-256color"); // what the host gives its own tmux clients
            auto args = cStrings(argv), envp = cStrings(withTerm);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
    }
    ~PtyTerminal() override {
        ::kill(mPid, SIGHUP);
        ::waitpid(mPid, nullptr, 0);
        ::close(mMaster);
    }
    void type(const std::string& bytes) override {
        if (::write(mMaster, bytes.data(), bytes.size()) < 0) {
            std::perror("write");
        }
    }
    std::string read(std::chrono::milliseconds limit) override {
        pollfd p{mMaster, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) {
            return "";
        }
        char buffer[16384];
        auto n = ::read(mMaster, buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
    }

private:
    int mMaster = -1;
    pid_t mPid = -1;
};

std::vector<double> echoes(Terminal& t, int count) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        if (i % 80 == 79) {
            t.type("\r"); // a fresh line now and then, untimed
            t.drain(50ms);
        }
        std::string key(1, static_cast<char>('a' + i % 26));
        auto start = Clock::now();
        t.type(key);
        if (!t.readUntil(key, 5s)) {
            std::fprintf(stderr, "no echo for %s (%d typed)\n", key.c_str(), i);
            std::exit(1);
        }
        ms.push_back(msSince(start));
    }
    return ms;
}

// Seconds for `cat` of the file until the marker after it shows.
double catSeconds(Terminal& t, const fs::path& file) {
    t.type("\x03");
    t.drain();
    auto start = Clock::now();
    t.type("cat " + file.string() + "; echo END-$((40+2))\r");
    t.received = 0;
    if (!t.readUntil("END-42", 120s)) {
        std::fprintf(stderr, "cat did not finish\n");
        std::exit(1);
    }
    return msSince(start) / 1000;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double p99(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(0.99 * v.size()))];
}

} // namespace

int main(int argc, char** argv) {
    int keystrokes = argc > 1 ? std::atoi(argv[1]) : 1000;
    int megabytes = argc > 2 ? std::atoi(argv[2]) : 100;
    Host host;
    auto port = goOnline(host);
    client::Credentials device("BENCH-DEVICE", "Bench", "bench");
    auto session = approvedSession(host, port, device);
    newTmuxSession(host, "bench");
    auto file = host.home / "big.txt";
    {
        std::ofstream out(file);
        std::string line(99, 'x');
        line += '\n';
        for (int i = 0; i < megabytes * 10'000; ++i) {
            out << line;
        }
    }

    auto attachLan = [&] {
        session->connection().send(
            SignalingMessage{.type = "term_attach", .sdp = "bench", .x = 120, .y = 40});
        for (auto m = session->next(5s); m && m->type != "term_attached"; m = session->next(5s)) {
        }
    };
    auto detachLan = [&] {
        session->connection().send(SignalingMessage{.type = "term_detach"});
        for (auto m = session->next(5s); m && m->type != "term_detached"; m = session->next(5s)) {
        }
    };

    std::vector<double> lanEcho, ptyEcho;
    {
        attachLan();
        LanTerminal lan(*session);
        lan.drain();
        lan.type("cat > /dev/null\r"); // the pane's terminal echoes each key
        lan.drain();
        echoes(lan, 50); // warm-up
        lanEcho = echoes(lan, keystrokes);
        lan.type("\x03");
        lan.drain();
        detachLan();
    }
    {
        PtyTerminal pty("bench", host.env);
        pty.drain();
        pty.type("cat > /dev/null\r");
        pty.drain();
        echoes(pty, 50);
        ptyEcho = echoes(pty, keystrokes);
        pty.type("\x03");
        pty.drain();
    }
    report("keystroke echo over the LAN connection", lanEcho);
    report("keystroke echo on a plain pty", ptyEcho);
    std::printf("echo median ratio LAN/pty %.2f, difference %.3f ms; p99 ratio %.2f\n",
                median(lanEcho) / median(ptyEcho), median(lanEcho) - median(ptyEcho),
                p99(lanEcho) / p99(ptyEcho));

    double lanSeconds = 0, ptySeconds = 0;
    std::uint64_t lanBytes = 0, ptyBytes = 0;
    {
        PtyTerminal pty("bench", host.env);
        pty.drain();
        ptySeconds = catSeconds(pty, file);
        ptyBytes = pty.received;
    }
    {
        attachLan();
        LanTerminal lan(*session);
        lan.drain();
        lanSeconds = catSeconds(lan, file);
        lanBytes = lan.received;
        detachLan();
    }
    std::printf(
        "cat of %d MB over the LAN connection: %.2f s, %.1f MB/s (%.1f MB of screen updates delivered)\n",
        megabytes, lanSeconds, megabytes / lanSeconds, lanBytes / 1e6);
    std::printf(
        "cat of %d MB on a plain pty:          %.2f s, %.1f MB/s (%.1f MB of screen updates delivered)\n",
        megabytes, ptySeconds, megabytes / ptySeconds, ptyBytes / 1e6);
    std::printf("throughput ratio LAN/pty %.2f\n", ptySeconds / lanSeconds);
    std::printf("host RSS after: %ld KiB\n", host.rssKiB());
    return 0;
}
