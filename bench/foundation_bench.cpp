// The host loop's hot paths in this layer: recording an activity event (at most 601 entries on
// the loop per record, at most one write at a time however fast events arrive) and reading
// framed signaling messages. Each figure is printed beside a reference measured in the same run.
#include "activity/event_log.hpp"
#include "core/host_loop.hpp"
#include "core/task_pool.hpp"
#include "signaling/frame.hpp"
#include "signaling/signaling_message.hpp"

#include <benchmark/benchmark.h>
#include <cstring>

using namespace pelorn;

namespace {

// A full log (600 entries) with a file: every record inserts, trims and asks for a write.
void BM_EventLogRecordFullLog(benchmark::State& state) {
    HostLoop loop(HostLoop::TimeMode::Manual);
    TaskPool pool(1);
    auto file = std::filesystem::temp_directory_path() / "pelorn-bench-activity.json";
    auto log = EventLog::create(loop, pool, file);
    for (int i = 0; i < 600; ++i) {
        log->record(LoggedEvent::Kind::SessionCreated, "s" + std::to_string(i));
    }
    log->finishWrites();
    std::size_t writes = 0;
    int i = 0;
    for (auto _ : state) {
        bool wasSaving = log->isSaving();
        log->record(LoggedEvent::Kind::SessionCreated, "b" + std::to_string(i++));
        writes += !wasSaving && log->isSaving();
        if (i % 64 == 0) {
            loop.runPending(); // finished writes report back between bursts
        }
    }
    log->finishWrites();
    state.counters["writes_per_record"] =
        static_cast<double>(writes) / static_cast<double>(state.iterations());
    std::filesystem::remove(file);
}
BENCHMARK(BM_EventLogRecordFullLog);

// Reference for the record cost: copying the 600-entry vector once, which a naive append would do.
void BM_ReferenceCopyOf600Events(benchmark::State& state) {
    std::vector<LoggedEvent> events(600, LoggedEvent{"01234567-89AB-CDEF-0123-456789ABCDEF",
                                                     {},
                                                     LoggedEvent::Kind::SessionCreated,
                                                     "session",
                                                     std::nullopt});
    for (auto _ : state) {
        auto copy = events;
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_ReferenceCopyOf600Events);

// Framed mouse events fed in 1,500-byte chunks, decoded as the LAN server will.
void BM_FrameReaderDecodeMouseEvents(benchmark::State& state) {
    std::string stream;
    auto frame =
        *frameMessage(SignalingMessage{.type = "mouse_event", .x = 0.123, .y = 0.456, .action = "move"});
    while (stream.size() < (1 << 20)) {
        stream += frame;
    }
    for (auto _ : state) {
        FrameReader reader;
        std::size_t decoded = 0;
        for (std::size_t at = 0; at < stream.size(); at += 1500) {
            reader.feed(std::string_view(stream).substr(at, 1500), [&](std::string_view text) {
                decoded += SignalingMessage::decode(text).has_value();
            });
        }
        benchmark::DoNotOptimize(decoded);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_FrameReaderDecodeMouseEvents);

// Reference: a bare memcpy of the same bytes.
void BM_ReferenceMemcpyOneMiB(benchmark::State& state) {
    std::string in(1 << 20, 'x'), out(1 << 20, '\0');
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_ReferenceMemcpyOneMiB);

} // namespace

BENCHMARK_MAIN();
