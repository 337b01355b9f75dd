// The cloud database as the host uses it, against a Cloud Firestore emulator of its own on
// loopback (started from the Google Cloud CLI's component, as the tests do):
//   1. listener latency: from a second client's write to the host's snapshot listener callback,
//      p50/p99, beside the reference of a plain write's round trip measured in the same run;
//   2. what an hour online and idle bills: the presence heartbeat's writes and the reads of the
//      presence clean-up and of a listener that sees no change, over an hour of the loop's clock.
// Usage: cloud_bench [WRITES]   (default 200)
#include "cloud/firestore.hpp"
#include "cloud/presence_service.hpp"
#include "core/settings.hpp"
#include "support/emulators.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <cstdio>

using namespace pelorn;
using namespace pelorn::test;
using namespace std::chrono;

namespace {

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

void printSpread(const char* what, const std::vector<double>& ms) {
    std::printf("%-44s p50 %6.2f ms  p99 %6.2f ms  (%zu samples)\n", what, percentile(ms, 0.5),
                percentile(ms, 0.99), ms.size());
}

Firestore::TokenSource tokenFor(const std::string& email) {
    auto token = firebaseIdToken(uniqueName("uid"), email);
    return [token](bool, std::function<void(std::optional<std::string>)> done) { done(token); };
}

} // namespace

int main(int argc, char** argv) {
    int writes = argc > 1 ? std::atoi(argv[1]) : 200;
    TempDir folder;
    FirestoreEmulatorProcess emulator(folder.path());
    std::string target = emulator.start();
    if (target.empty()) {
        std::fprintf(stderr, "cloud_bench: no Cloud Firestore emulator answered "
                             "(google-cloud-cli-firestore-emulator)\n");
        return 1;
    }
    auto email = uniqueName("bench") + "@example.com";

    // ---- 1. Listener latency, real time.
    {
        HostLoop loop;
        Firestore host({loop, "demo-pelorn", target, true, tokenFor(email)});
        Firestore phone({loop, "demo-pelorn", target, true, tokenFor(email)});
        auto query = FirestoreQuery{"devices"}.where("ownerEmail", email).where("deviceType", "ipad");
        std::optional<steady_clock::time_point> sentAt;
        std::vector<double> listenerMs;
        std::size_t snapshots = 0;
        auto registration =
            host.addSnapshotListener(query, [&](const firestore::Result<QuerySnapshot>& result) {
                ++snapshots;
                if (sentAt && std::holds_alternative<QuerySnapshot>(result) &&
                    !std::get<QuerySnapshot>(result).changes.empty()) {
                    listenerMs.push_back(duration<double, std::milli>(steady_clock::now() - *sentAt).count());
                    sentAt.reset();
                }
            });
        if (!pumpUntil(
                loop, [&] { return snapshots > 0; }, seconds(30))) {
            std::fprintf(stderr, "cloud_bench: the listener never heard its first snapshot\n");
            return 1;
        }
        std::vector<double> writeMs;
        auto reference = "devices/" + uniqueName("reference");
        for (int i = 0; i < writes; ++i) {
            // The reference: one write's round trip to the same emulator.
            bool written = false;
            auto start = steady_clock::now();
            phone.setMerge(reference, {{"ownerEmail", email}, {"deviceType", "mac"}, {"n", i}},
                           [&](const std::optional<firestore::Error>&) { written = true; });
            pumpUntil(
                loop, [&] { return written; }, seconds(10));
            writeMs.push_back(duration<double, std::milli>(steady_clock::now() - start).count());

            sentAt = steady_clock::now();
            phone.setMerge("devices/phone-" + std::to_string(i % 5) + "-" + email,
                           {{"ownerEmail", email}, {"deviceType", "ipad"}, {"n", i}});
            if (!pumpUntil(
                    loop, [&] { return !sentAt; }, seconds(10))) {
                std::fprintf(stderr, "cloud_bench: write %d never reached the listener\n", i);
                return 1;
            }
        }
        printSpread("write round trip (reference)", writeMs);
        printSpread("second client's write -> host's listener", listenerMs);
        std::printf("%-44s p50 x%.2f  p99 x%.2f\n", "listener / reference",
                    percentile(listenerMs, 0.5) / percentile(writeMs, 0.5),
                    percentile(listenerMs, 0.99) / percentile(writeMs, 0.99));
    }

    // ---- 2. An hour online and idle, on the loop's clock (the calls are real).
    {
        HostLoop loop(HostLoop::TimeMode::Manual);
        Firestore database({loop, "demo-pelorn", target, true, tokenFor(email)});
        Settings settings(std::nullopt);
        settings.set("userEmail", email);
        LogCapture quiet;
        PresenceService presence({loop, settings, &database, nullptr,
                                  [] { return std::string("BENCH-DEVICE"); },
                                  [] { return std::optional<std::string>("HW-BENCH"); },
                                  [] { return std::string("bench"); }, [] { return true; }});
        // Going online: the record, its heartbeat, the clean-up; and a listener that stays quiet,
        // as the session-request listener does while nobody connects.
        presence.publish(true);
        presence.startHeartbeat();
        presence.cleanupStaleRecords();
        std::size_t snapshots = 0;
        auto registration = database.addSnapshotListener(
            FirestoreQuery{"devices"}.where("ownerEmail", email).where("deviceType", "tv"),
            [&](const firestore::Result<QuerySnapshot>&) { ++snapshots; });
        pumpUntil(
            loop, [&] { return snapshots > 0 && database.usage().documentReads >= 2; }, seconds(30));
        database.flushWrites(seconds(30));
        auto atStart = database.usage();
        // Beat by beat, each write landing before the next, as in real time.
        for (auto elapsed = HostLoop::Duration::zero(); elapsed < hours(1);
             elapsed += PresenceService::heartbeatInterval) {
            loop.advance(PresenceService::heartbeatInterval);
            database.flushWrites(seconds(30));
        }
        pumpUntil(
            loop, [] { return false; }, milliseconds(500)); // anything the stream still had to say
        auto atEnd = database.usage();
        std::printf("going online: %llu document reads, %llu writes\n",
                    static_cast<unsigned long long>(atStart.documentReads),
                    static_cast<unsigned long long>(atStart.documentWrites));
        std::printf("one hour online and idle: %llu document reads, %llu writes (heartbeat every %lld s)\n",
                    static_cast<unsigned long long>(atEnd.documentReads - atStart.documentReads),
                    static_cast<unsigned long long>(atEnd.documentWrites - atStart.documentWrites),
                    static_cast<long long>(PresenceService::heartbeatInterval.count()));
    }
    return 0;
}
