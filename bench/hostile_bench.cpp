// Hostile peers against the real pelorn-host: the authorised client's keystroke echo and the
// host's resident memory, first undisturbed, then while strangers flood the signaling port (one
// announcing 16 MiB frames and reconnecting each time it is closed, one streaming tiny frames).
// Usage: hostile_bench [KEYSTROKES]   (run from the build folder's parent, or set PELORN_BIN_DIR)
#include "bench_host.hpp"
#include "core/base64.hpp"
#include "signaling/frame.hpp"
#include "signaling/signaling_message.hpp"

#include <atomic>

using namespace pelorn;
using namespace pelorn::bench;

namespace {

using Clock = std::chrono::steady_clock;

// Types one letter at a time and times each until its echo is back.
std::vector<double> echoes(client::Session& session, int count) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        std::string key(1, static_cast<char>('a' + i % 26));
        if (i % 80 == 79) {
            session.connection().send(
                {.type = "terminal_input", .sdp = base64::encode("\x15")}); // clear the line
        }
        auto start = Clock::now();
        session.connection().send({.type = "terminal_input", .sdp = base64::encode(key)});
        for (;;) {
            auto m = session.next(5s);
            if (!m) {
                std::fprintf(stderr, "no echo for %s (%d typed)\n", key.c_str(), i);
                std::exit(1);
            }
            auto bytes = m->type == "terminal_output" ? base64::decode(m->sdp.value_or("")) : std::nullopt;
            if (bytes && std::string(bytes->begin(), bytes->end()).find(key) != std::string::npos) {
                break;
            }
        }
        ms.push_back(msSince(start));
    }
    return ms;
}

} // namespace

int main(int argc, char** argv) {
    int keystrokes = argc > 1 ? std::atoi(argv[1]) : 500;
    Host host;
    auto port = goOnline(host);
    client::Credentials device("BENCH-DEVICE", "Bench", "bench");
    auto session = approvedSession(host, port, device);
    newTmuxSession(host, "bench");
    session->connection().send({.type = "term_attach", .sdp = "bench", .x = 120, .y = 40});
    for (auto m = session->next(5s); m && m->type != "term_attached"; m = session->next(5s)) {
    }
    echoes(*session, 50); // warm-up
    auto rssQuiet = host.rssKiB();
    report("echo, no stranger", echoes(*session, keystrokes));
    auto statusTimes = [&] {
        std::vector<double> ms;
        for (int i = 0; i < 20; ++i) {
            auto asked = Clock::now();
            host.ctl({"status"});
            ms.push_back(msSince(asked));
        }
        return ms;
    };
    report("pelornctl status, no stranger", statusTimes());

    std::atomic<bool> stop{false};
    std::atomic<long> rssPeak{0};
    std::atomic<std::uint64_t> floodBytes{0};
    std::vector<std::thread> strangers;
    strangers.emplace_back([&] { // 16 MiB frames, again and again
        std::string huge = std::string("\x01\x00\x00\x00", 4) + std::string(1 << 20, 'h');
        while (!stop) {
            auto opened = client::Connection::open("127.0.0.1", port);
            if (auto* c = std::get_if<std::unique_ptr<client::Connection>>(&opened)) {
                if ((*c)->sendRaw(huge, 1s)) {
                    floodBytes += huge.size();
                }
            }
        }
    });
    strangers.emplace_back([&] { // tiny frames, flat out
        std::string burst;
        while (burst.size() < 1 << 20) {
            burst += *frameMessage({.type = "mouse_event"});
        }
        while (!stop) {
            auto opened = client::Connection::open("127.0.0.1", port);
            auto* c = std::get_if<std::unique_ptr<client::Connection>>(&opened);
            while (c && !stop && (*c)->sendRaw(burst, 1s)) {
                floodBytes += burst.size();
            }
        }
    });
    strangers.emplace_back([&] {
        while (!stop) {
            rssPeak = std::max(rssPeak.load(), host.rssKiB());
            std::this_thread::sleep_for(50ms);
        }
    });
    std::this_thread::sleep_for(1s);
    floodBytes = 0;
    auto start = Clock::now();
    report("echo, two strangers flooding", echoes(*session, keystrokes));
    report("pelornctl status, strangers flooding", statusTimes());
    auto seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    for (auto& t : strangers) {
        t.join();
    }
    std::printf("strangers got %.0f MiB onto the socket in %.1f s; host RSS quiet %ld KiB, peak under flood "
                "%ld KiB (+%ld)\n",
                floodBytes / 1048576.0, seconds, rssQuiet, rssPeak.load(), rssPeak.load() - rssQuiet);
}
