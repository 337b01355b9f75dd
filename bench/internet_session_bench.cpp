// Internet sessions through the cloud: the host's remote session manager and WebRTC peer against a
// webrtcbin companion of the same account, meeting at the Firebase Auth and Cloud Firestore
// emulators, all on loopback in a network namespace of the bench's own. For each of RUNS sessions,
// from the moment the companion's request document is written:
//   - until the host hands its offer to the cloud ("📤 Sent offer"),
//   - until the companion's listener has the offer,
//   - until the host's ICE connection is up;
// and what the host's database client was billed for the session (request to removal).
// Usage: internet_session_bench [RUNS]   (default 20); needs root and both emulators installed.
#include "support/internet_session.hpp"
#include "support/private_emulators.hpp"

#include <algorithm>
#include <cstdio>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono;

namespace {

void report(const char* what, std::vector<double> values) {
    if (values.empty()) {
        std::printf("%-46s no result\n", what);
        return;
    }
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
    };
    std::printf("%-46s p50 %7.1f ms  p99 %7.1f ms  max %7.1f ms  (n=%zu)\n", what, at(0.5), at(0.99),
                values.back(), values.size());
}

double msSince(steady_clock::time_point start) {
    return duration<double, std::milli>(steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    if (auto why = enterPrivateNetwork(); !why.empty() || !routeToLoopback()) {
        std::fprintf(stderr, "needs root for a private network namespace: %s\n", why.c_str());
        return 1;
    }
    int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    PrivateEmulators emulators;
    InternetSession s;
    if (auto why = s.start(); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    s.loop.runPending();

    std::vector<double> toSent, toSeen, toConnected, reads, writes;
    for (int run = 0; run < runs; ++run) {
        const auto id = uniqueName("bench-");
        s.lines.clear();
        auto before = s.hostDb->usage();
        if (!s.request(id)) {
            std::fprintf(stderr, "run %d: the request was not written\n", run);
            continue;
        }
        auto written = steady_clock::now();
        InternetSession::Companion companion(s, id);
        std::optional<double> seen;
        auto answer = companion.signaling.onOffer;
        companion.signaling.onOffer = [&](const std::string& sdp) {
            seen = seen.value_or(msSince(written));
            answer(sdp);
        };
        std::optional<double> sent;
        std::optional<double> connected;
        pumpUntil(
            s.loop,
            [&] {
                companion.step();
                auto lines = s.lines.lines();
                auto has = [&](const std::string& line) {
                    return std::find(lines.begin(), lines.end(), line) != lines.end();
                };
                if (!sent && has("📤 Sent offer (H264 level raised)")) {
                    sent = msSince(written);
                }
                if (!connected && (has("🧊 ICE state: 2") || has("🧊 ICE state: 3"))) {
                    connected = msSince(written);
                }
                std::this_thread::sleep_for(milliseconds(1));
                return connected.has_value();
            },
            seconds(30));
        if (!sent || !seen || !connected) {
            std::fprintf(stderr, "run %d: no connection\n", run);
            continue;
        }
        toSent.push_back(*sent);
        toSeen.push_back(*seen);
        toConnected.push_back(*connected);
        s.endRequest(id);
        pumpUntil(
            s.loop, [&] { return !s.manager.hasSession() && !s.remote->activeSessionId(); }, seconds(20));
        // What the removal itself brings in arrives on the stream shortly after.
        auto settle = steady_clock::now() + milliseconds(300);
        pumpUntil(s.loop, [&] { return steady_clock::now() > settle; });
        auto after = s.hostDb->usage();
        reads.push_back(static_cast<double>(after.documentReads - before.documentReads));
        writes.push_back(static_cast<double>(after.documentWrites - before.documentWrites));
    }
    std::printf("internet sessions through the Firestore emulator, webrtcbin companion, %d runs\n", runs);
    report("request written -> host sent its offer", toSent);
    report("request written -> companion has the offer", toSeen);
    report("request written -> host ICE connected", toConnected);
    std::sort(reads.begin(), reads.end());
    std::sort(writes.begin(), writes.end());
    if (!reads.empty()) {
        std::printf("host billed per session: reads median %.0f (min %.0f, max %.0f), writes median %.0f\n",
                    reads[reads.size() / 2], reads.front(), reads.back(), writes[writes.size() / 2]);
    }
    return toConnected.size() == static_cast<std::size_t>(runs) ? 0 : 1;
}
