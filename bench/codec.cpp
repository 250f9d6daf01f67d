// Cost of the frame codec, measured with Google Benchmark: building a frame
// from a payload, and turning that frame back into the payload the way the
// reply check does (BreakIt, CalcCRC, DLEScanAndDel).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "bench/bench.h"
#include "link/msg_buffer.h"

namespace zulbench {
namespace {

// The read request of two W points at 01A2F3, and a block write carrying
// 250 value bytes, which fills the one-byte count nearly to its 255 limit.
std::vector<std::uint8_t> Payload(int size) {
    if (size == 5) return {0x50, 0x01, 0xA2, 0xF3, 0x04};
    std::vector<std::uint8_t> p = {0x60, 0x00, 0x30, 0x00, static_cast<std::uint8_t>(size - 5)};
    // Every byte value once in a scrambled order (7 is odd, so i*7 walks all
    // of them): one DLE among the 250, as ordinary data has.
    for (int i = 0; static_cast<int>(p.size()) < size; ++i) p.push_back(static_cast<std::uint8_t>(i * 7 + 0x51));
    return p;
}

MsgBuffer Framed(const std::vector<std::uint8_t>& payload) {
    MsgBuffer frame;
    ClearMsgBuffer(frame);
    std::memcpy(frame.data, payload.data(), payload.size());
    frame.length = static_cast<std::int32_t>(payload.size());
    BuildFrame(frame);
    return frame;
}

// Each iteration starts again from the payload: copying it back in is part
// of what is timed (a few nanoseconds), as it is for a caller.
void BuildBench(benchmark::State& state, std::vector<std::uint8_t> payload) {
    MsgBuffer buffer;
    ClearMsgBuffer(buffer);
    const int n = static_cast<int>(payload.size());
    for (auto _ : state) {
        std::memcpy(buffer.data, payload.data(), static_cast<size_t>(n));
        buffer.length = n;
        BuildFrame(buffer);
        benchmark::DoNotOptimize(buffer.length);
        benchmark::ClobberMemory();
    }
    if (buffer.length <= n) state.SkipWithError("BuildFrame failed");
}

// Each iteration restores the received frame and decodes it in place.
void DecodeBench(benchmark::State& state, std::vector<std::uint8_t> payload) {
    const MsgBuffer frame = Framed(payload);
    MsgBuffer buffer = frame;
    int mismatches = 0;
    for (auto _ : state) {
        std::memcpy(buffer.data, frame.data, static_cast<size_t>(frame.length));
        buffer.length = frame.length;
        BreakIt(buffer);
        std::uint16_t received = buffer.crc;
        CalcCRC(buffer);
        mismatches += received != buffer.crc;
        DLEScanAndDel(buffer);
        benchmark::DoNotOptimize(buffer.length);
        benchmark::ClobberMemory();
    }
    // The last decode must give back DLE STX, the payload, DLE ETX.
    bool same = buffer.length == static_cast<int>(payload.size()) + 4 &&
                std::memcmp(buffer.data + 2, payload.data(), payload.size()) == 0;
    if (mismatches != 0 || !same) state.SkipWithError("decode did not give the payload back");
}

// Keeps the median of the repetitions of each benchmark, in nanoseconds.
class MedianReporter : public benchmark::BenchmarkReporter {
public:
    std::map<std::string, double> medians;
    std::string failure;

    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) failure = run.benchmark_name() + ": " + run.error_message;
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
            medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
    }
};

std::string Name(const char* what, int size) { return std::string(what) + "/" + std::to_string(size); }

} // namespace

std::vector<CodecResult> RunCodec() {
    const int sizes[] = {5, 255};
    for (int size : sizes) {
        benchmark::RegisterBenchmark(Name("build", size).c_str(), BuildBench, Payload(size))
            ->Unit(benchmark::kNanosecond)
            ->MinTime(0.1)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
        benchmark::RegisterBenchmark(Name("decode", size).c_str(), DecodeBench, Payload(size))
            ->Unit(benchmark::kNanosecond)
            ->MinTime(0.1)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (!reporter.failure.empty()) {
        std::fprintf(stderr, "bench: codec: %s\n", reporter.failure.c_str());
        std::exit(1);
    }

    std::vector<CodecResult> results;
    for (int size : sizes) {
        CodecResult r;
        r.payloadBytes = size;
        r.frameBytes = FrameLength(Payload(size));
        r.buildNs = reporter.medians[Name("build", size)];
        r.decodeNs = reporter.medians[Name("decode", size)];
        results.push_back(r);
    }
    return results;
}

} // namespace zulbench
