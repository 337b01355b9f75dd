// LAN access against the real pelorn-host: handshake latency of a known device on loopback, and
// connect/replace cycles, with the host's open descriptors and resident memory before and after.
// Usage: lan_bench [CYCLES]   (run from the build folder's parent, or set PELORN_BIN_DIR)
#include "bench_host.hpp"

using namespace pelorn;
using namespace pelorn::bench;

namespace {

double authorizeMs(std::uint16_t port, client::Credentials& credentials,
                   std::unique_ptr<client::Session>& keep) {
    auto start = std::chrono::steady_clock::now();
    auto session = connect(port, credentials);
    auto result = session->authenticate(password, 1s);
    auto ms = msSince(start);
    if (!result || result->state != AuthResult::State::Authorized) {
        std::fprintf(stderr, "not authorised\n");
        std::exit(1);
    }
    keep = std::move(session);
    return ms;
}

} // namespace

int main(int argc, char** argv) {
    int cycles = argc > 1 ? std::atoi(argv[1]) : 1000;
    Host host;
    auto port = goOnline(host);

    // Approve the device once; from then on it is known.
    client::Credentials device("BENCH-DEVICE", "Bench", "bench");
    std::unique_ptr<client::Session> held = approvedSession(host, port, device);

    // Warm-up, then the baseline with no client connected.
    for (int i = 0; i < 20; ++i) {
        authorizeMs(port, device, held);
    }
    held.reset();
    std::this_thread::sleep_for(200ms);
    auto fdsBefore = host.openFds();
    auto rssBefore = host.rssKiB();

    std::vector<double> known;
    for (int i = 0; i < 200; ++i) {
        known.push_back(authorizeMs(port, device, held));
        held.reset(); // closed before the next one: a plain reconnect
    }
    report("known device: connect -> authorized", known);

    std::vector<double> replace;
    for (int i = 0; i < cycles; ++i) {
        std::unique_ptr<client::Session> next;
        replace.push_back(authorizeMs(port, device, next));
        held = std::move(next); // the host replaced the one held until now
    }
    held.reset();
    std::this_thread::sleep_for(500ms);
    auto fdsAfter = host.openFds();
    auto rssAfter = host.rssKiB();
    report("connect/replace cycle: connect -> authorized", replace);
    std::printf("host open descriptors: %zu before, %zu after\n", fdsBefore, fdsAfter);
    std::printf("host RSS: %ld KiB before, %ld KiB after\n", rssBefore, rssAfter);
    return 0;
}
