// zul_bench: the cost of the frame codec, the latency of point requests
// through the driver, and the longest block read that a paced line carries.
// Prints markdown tables to stdout; progress goes to stderr.
//
//   zul_bench [--driver PATH] [--sections codec,latency,line]
//             [--samples N] [--cell-samples N] [--edge-samples N] [--verbose]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "bench/bench.h"

#ifndef ZUL_DRIVER_PATH
#define ZUL_DRIVER_PATH "libzultrk.so"
#endif

namespace zulbench {
namespace {

constexpr double PollPauseMs = 10;
constexpr int EmptyPolls = 5;
constexpr double FloorMs = EmptyPolls * PollPauseMs; // the pauses of one healthy receive
constexpr int CodecBaud = 9600;
constexpr int LargestWordBlock = 127;

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    double one = 0, five = 0, fifteen = 0;
    if (!(in >> one >> five >> fifteen)) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f / %.2f / %.2f", one, five, fifteen);
    return text;
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            std::size_t colon = line.find(':');
            if (colon != std::string::npos) return line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    return "unknown CPU";
}

// What five 10 ms pauses take on this machine, as the driver's receive
// makes them (one nanosleep each): the median of 20 runs.
double MeasuredPausesMs() {
    std::vector<double> runs;
    for (int r = 0; r < 20; ++r) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < EmptyPolls; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        runs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return Summarize(runs).median;
}

void PrintCodec(const std::vector<CodecResult>& results) {
    std::printf("### Frame codec\n\n");
    std::printf("Median of 5 repetitions (Google Benchmark). The frame is the stuffed frame on the wire; "
                "its time is that length at %d baud, %d bits per byte.\n\n",
                CodecBaud, BitsPerByte);
    std::printf("| payload | frame | BuildFrame | BreakIt + CalcCRC + DLEScanAndDel | frame time at %d baud | "
                "BuildFrame / frame time | decode / frame time |\n",
                CodecBaud);
    std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const CodecResult& r : results) {
        double frameNs = LineSeconds(r.frameBytes, CodecBaud) * 1e9;
        std::printf("| %d B | %d B | %.0f ns | %.0f ns | %.2f ms | %.1e | %.1e |\n", r.payloadBytes, r.frameBytes,
                    r.buildNs, r.decodeNs, frameNs / 1e6, r.buildNs / frameNs, r.decodeNs / frameNs);
    }
    std::printf("\n");
}

void PrintLatency(const std::vector<LatencyResult>& results, double pausesMs) {
    std::printf("### Request latency on an unpaced pseudo-terminal\n\n");
    std::printf("One ZulMain call each, through the loaded library, against the in-process simulator; "
                "ok means result 0 and the values checked against the simulator's memory. "
                "Floor: the receive's five empty polls of %.0f ms = %.0f ms (five such pauses measured "
                "here: %.1f ms).\n\n",
                PollPauseMs, FloorMs, pausesMs);
    std::printf("| request | ok | median | p95 | max | median / floor | p95 / floor |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (const LatencyResult& r : results) {
        std::printf("| %s | %d/%d | %.2f ms | %.2f ms | %.2f ms | %.3f | %.3f |\n", r.what.c_str(), r.ok, r.samples,
                    r.ms.median, r.ms.p95, r.ms.max, r.ms.median / FloorMs, r.ms.p95 / FloorMs);
    }
    std::printf("\n");
}

void PrintLine(const LineReport& report, int cellSamples, int edgeSamples) {
    std::printf("### Block reads on a paced line\n\n");
    std::printf("W block reads with random values. The simulator puts each reply byte on the line when its "
                "10 bits would have arrived; the request is not paced (a pty delivers the driver's write at once), "
                "so a time can fall below the line time, which counts the stuffed request and reply frames at "
                "that speed. ok: result 0 and every value equal to the simulator's memory. Failures: the results "
                "of the failed reads and how often each came (a 0 there would be a read that reported success "
                "with wrong values). A failed read's time includes the recovery handshake that follows it. Up to %d samples per "
                "row; a row stops at its third failure.\n\n",
                cellSamples);
    std::printf("| baud | W elements | request + reply | line time | ok | failures | median | "
                "median, ok only | median / line time |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const CellResult& c : report.cells) {
        char okOnly[32] = "-";
        if (c.ok > 0) std::snprintf(okOnly, sizeof okOnly, "%.1f ms", c.okMs.median);
        std::string failures;
        for (const auto& f : c.failures) {
            if (!failures.empty()) failures += ", ";
            failures += "result " + std::to_string(f.first) + " (" + std::to_string(f.second) + "x)";
        }
        if (failures.empty()) failures = "-";
        std::printf("| %d | %d | %d + %d B | %.1f ms | %d/%d | %s | %.1f ms | %s | %.2f |\n", c.baud, c.elements,
                    c.requestBytes, c.replyBytes, c.lineMs, c.ok, c.samples, failures.c_str(), c.ms.median, okOnly,
                    c.ms.median / c.lineMs);
    }
    std::printf("\n");

    std::printf("### Largest safe block read\n\n");
    std::printf("Edge: the largest W block of which %d reads in a row all succeed, found by bisection between "
                "the sizes above (%d W is the most one read can ask for), with random values and with every value "
                "byte 0x10, which the frame doubles: the longest reply that data can make. Beside each edge: its "
                "reply frame (for random values, one without doubled bytes) and that frame's time on the line.\n\n",
                edgeSamples, LargestWordBlock);
    std::printf("| baud | ColdStart baud | largest size above that passed | edge, random values | its reply | "
                "edge, every byte 0x10 | its reply |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const EdgeResult& e : report.edges) {
        std::printf("| %d | %d | %d W | %d W (%d B) | %d B, %.1f ms | %d W (%d B) | %d B, %.1f ms |\n", e.baud,
                    e.driverBaud, e.largestTested, e.edgeRandom, 2 * e.edgeRandom, e.edgeRandomReply,
                    LineSeconds(e.edgeRandomReply, e.baud) * 1000, e.edgeAllDle, 2 * e.edgeAllDle, e.edgeAllDleReply,
                    LineSeconds(e.edgeAllDleReply, e.baud) * 1000);
    }
    std::printf("\n");
}

int Number(const char* text, const char* flag) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > 100000) {
        std::fprintf(stderr, "bench: %s needs a positive number, not '%s'\n", flag, text);
        std::exit(2);
    }
    return static_cast<int>(v);
}

} // namespace
} // namespace zulbench

int main(int argc, char** argv) {
    using namespace zulbench;
    Options options;
    options.driverPath = ZUL_DRIVER_PATH;
    std::string sections = "codec,latency,line";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--driver" && hasValue) {
            options.driverPath = argv[++i];
        } else if (a == "--sections" && hasValue) {
            sections = argv[++i];
        } else if (a == "--samples" && hasValue) {
            options.latencySamples = Number(argv[++i], "--samples");
        } else if (a == "--cell-samples" && hasValue) {
            options.cellSamples = Number(argv[++i], "--cell-samples");
        } else if (a == "--edge-samples" && hasValue) {
            options.edgeSamples = Number(argv[++i], "--edge-samples");
        } else if (a == "--verbose") {
            options.verbose = true;
        } else {
            std::fprintf(stderr,
                         "usage: zul_bench [--driver PATH] [--sections codec,latency,line] [--samples N]\n"
                         "                 [--cell-samples N] [--edge-samples N] [--verbose]\n");
            return 2;
        }
    }
    auto wanted = [&](const char* name) { return ("," + sections + ",").find(std::string(",") + name + ",") != std::string::npos; };

    auto started = std::chrono::steady_clock::now();
    std::string loadBefore = LoadAverage();
    std::vector<CodecResult> codec;
    if (wanted("codec")) {
        std::fprintf(stderr, "bench: frame codec\n");
        codec = RunCodec();
    }
    double pausesMs = wanted("latency") ? MeasuredPausesMs() : 0;
    LineReport report;
    if (wanted("latency") || wanted("line")) {
        std::string error;
        if (!RunLine(options, wanted("latency"), wanted("line"), report, error)) {
            std::fprintf(stderr, "bench: %s\n", error.c_str());
            return 1;
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("%s, %u hardware threads; load average (1/5/15 min) %s before, %s after; %.0f s.\n\n",
                CpuModel().c_str(), std::thread::hardware_concurrency(), loadBefore.c_str(), LoadAverage().c_str(),
                seconds);
    if (!codec.empty()) PrintCodec(codec);
    if (!report.latency.empty()) PrintLatency(report.latency, pausesMs);
    if (!report.cells.empty()) PrintLine(report, options.cellSamples, options.edgeSamples);
    return 0;
}
