// zul_bench: the cost of the frame codec, the latency of point requests
// through the driver, and the largest block each way on paced and field lines.
// Prints markdown tables to stdout; progress goes to stderr.
//
//   zul_bench [--driver PATH] [--sections codec,latency,grid,spy,long,server,gateway,bacnet,panels,panels32,programs]
//             [--samples N] [--paced-samples N] [--grid-samples N] [--verbose]
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

// What one 10 ms pause takes on this machine, as the driver makes it (one
// nanosleep): the median of 100.
double MeasuredPauseMs() {
    std::vector<double> runs;
    for (int r = 0; r < 100; ++r) {
        auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        runs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    return Summarize(runs).median;
}

void PrintCodec(const std::vector<CodecResult>& results) {
    std::printf("### Frame codec\n\n");
    std::printf(
        "Median of 5 repetitions (Google Benchmark). The frame is the stuffed frame on the wire; "
        "its time is that length at %d baud, %d bits per byte.\n\n",
        CodecBaud, BitsPerByte);
    std::printf(
        "| payload | frame | BuildFrame | BreakIt + CalcCRC + DLEScanAndDel | frame time at %d baud | "
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

void PrintLatency(const LineReport& report) {
    std::printf("### Request latency\n\n");
    std::printf(
        "One ZulMain call each, through the loaded library, against the in-process simulator; ok means "
        "result 0 and the values checked against the simulator's memory. Unpaced: a pseudo-terminal that "
        "delivers every byte at once, against one %.0f ms pause as this machine makes it (%.2f ms, median "
        "of 100, measured in the same run). Paced: the simulator takes in the request and sends its reply "
        "at 9600 baud, 10 bits a byte, against the request's and the reply's frames on that line.\n\n",
        PollPauseMs, report.pauseMs);
    std::printf("| request | line | ok | median | p95 | max | median / reference |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|\n");
    for (const LatencyResult& r : report.latency) {
        std::printf("| %s | unpaced | %d/%d | %.2f ms | %.2f ms | %.2f ms | %.2f of one pause |\n", r.what.c_str(),
                    r.ok, r.samples, r.ms.median, r.ms.p95, r.ms.max, r.ms.median / report.pauseMs);
    }
    for (const LatencyResult& r : report.paced) {
        std::printf(
            "| %s | paced, %.1f ms on the line | %d/%d | %.2f ms | %.2f ms | %.2f ms | %.2f of the line time |\n",
            r.what.c_str(), r.lineMs, r.ok, r.samples, r.ms.median, r.ms.p95, r.ms.max, r.ms.median / r.lineMs);
    }
    std::printf("\n");
}

void PrintGrid(const LineReport& report, int samples) {
    std::printf("### The largest block each way\n\n");
    std::printf(
        "For each speed, kind of line and kind of values: the largest W block of which %d reads in a row, "
        "and %d writes in a row, all succeed with every value checked (127 W, the most one request can "
        "carry, is tried first, then smaller blocks by bisection). The simulator paces both ways at the "
        "speed, 10 bits a byte; the field line adds a panel that answers 20 ms after each request and a "
        "USB adapter that hands the panel's bytes over every 16 ms (or per 62). Random values, or every "
        "value byte 0x10, which the frame doubles: the longest frames data can make. Beside each median: "
        "the request's and the reply's frames on the line at that speed (for random values, frames "
        "without doubled bytes). Bit write: bit 5 of one W; nibble write: one E; each is a preparatory "
        "read and the write. Failures: results of failed samples (0 would be a success with a wrong "
        "value).\n\n",
        samples, samples);
    std::printf(
        "| baud | line | values | read | median | on the line | write | median | on the line | "
        "bit write | nibble write | failures |\n");
    std::printf("|---:|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---|\n");
    for (const GridRow& r : report.grid) {
        std::string failures;
        for (const auto& f : r.failures) {
            if (!failures.empty()) failures += ", ";
            failures += "result " + std::to_string(f.first) + " (" + std::to_string(f.second) + "x)";
        }
        if (failures.empty()) failures = "-";
        std::printf("| %d | %s | %s | %d W | %.1f ms | %.1f ms | %d W | %.1f ms | %.1f ms | %.1f ms | %.1f ms | %s |\n",
                    r.baud, r.line.name, r.allDle ? "all 0x10" : "random", r.readEdge, r.readMs.median, r.readLineMs,
                    r.writeEdge, r.writeMs.median, r.writeLineMs, r.bitMs.median, r.nibbleMs.median, failures.c_str());
    }
    std::printf("\n");
}

void PrintSpy(const SpyResult& r) {
    std::printf("### The spy's forwarding delay\n\n");
    std::printf(
        "`zulhost spy` between the driver (on the spy's pseudo-terminal) and the simulator (on its own), "
        "unpaced; 2-W reads through it. The spy's delay is its own, from the return of the read of a chunk on "
        "one side to the return of the write of its last byte on the other.\n\n");
    std::printf("| 2-W reads | ok | read median | read p95 | chunks forwarded | forwarding median | p95 | max |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::printf("| %d | %d | %.2f ms | %.2f ms | %d | %.1f us | %.1f us | %.1f us |\n\n", r.reads, r.ok,
                r.readMs.median, r.readMs.p95, r.forwarded, r.forwardUs.median, r.forwardUs.p95, r.forwardUs.max);
}

void PrintLongLinks(const LineReport& report) {
    std::printf("### Long links\n\n");
    std::printf(
        "Blocks of W each way, %d times each, after ColdStart with R = 2 s (the host's response timeout 200), "
        "through a simulated long link (`zulsim --link-delay`: everything the panel sends reaches the host that "
        "much later) at each speed, paced both ways. Reference: the request's and the reply's frames on the "
        "line, and the link's delay.\n\n",
        report.longLinks.empty() ? 0 : report.longLinks.front().samples);
    std::printf(
        "| baud | link | block | reads ok | read median | reference | ratio | writes ok | "
        "write median | reference | ratio |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const LongLinkRow& r : report.longLinks) {
        std::printf(
            "| %d | %d ms | %d W | %d/%d | %.1f ms | %.1f ms | %.2f | %d/%d | %.1f ms | %.1f ms | "
            "%.2f |\n",
            r.baud, r.linkMs, r.words, r.readOk, r.samples, r.readMs.median, r.readRefMs, r.readMs.median / r.readRefMs,
            r.writeOk, r.samples, r.writeMs.median, r.writeRefMs, r.writeMs.median / r.writeRefMs);
    }
    std::printf("\n");
    for (const SilentCost& c : report.silent) {
        std::printf(
            "A 2-W read from a panel that has fallen silent, on a direct line, R = 1 s (%d reads): the "
            "first on a channel in step %.0f ms median (max %.0f ms); each one after it, on a channel out of "
            "step that sends only its fence, %.0f ms median (max %.0f ms).\n\n",
            c.samples, c.firstMs.median, c.firstMs.max, c.laterMs.median, c.laterMs.max);
    }
}

void PrintDeviceServers(const LineReport& report) {
    std::printf("### Device servers\n\n");
    std::printf(
        "Reads of W at 9600 baud, R = 1 s, the panel answering 20 ms after a request (and, on the second line, its "
        "bytes reaching the host in the bursts of a 16 ms latency timer): on the simulator's pseudo-terminal "
        "itself, and through Debian's ser2net in front of it on the loopback, its raw TCP and its RFC 2217 "
        "accepter (ports named by ports-folder entries whose targets are the URLs). On the line: the request's "
        "and the reply's frames.\n\n");
    std::printf(
        "| line | path | 2 W ok | median | p95 | on the line | 127 W ok | median | p95 | on the line | 2 W "
        "against the pseudo-terminal |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    double direct = 0;
    for (const DeviceServerRow& r : report.deviceServers) {
        if (r.way == "pseudo-terminal") direct = r.read2.median;
        std::printf(
            "| %s | %s | %d/%d | %.1f ms | %.1f ms | %.1f ms | %d/%d | %.1f ms | %.1f ms | %.1f ms | %+.1f ms |\n",
            r.line.c_str(), r.way.c_str(), r.ok2, r.samples2, r.read2.median, r.read2.p95, r.line2Ms, r.ok127,
            r.samples127, r.read127.median, r.read127.p95, r.line127Ms, r.read2.median - direct);
    }
    std::printf("\n");
}

void PrintGateway(const GatewayReport& r) {
    std::printf("### Gateway: reads served from the last poll\n\n");
    std::printf(
        "zulgate in this process with a panel of 125 W at 9600 baud (paced simulator), polled back to back; "
        "libmodbus clients on the loopback, all connected before the first read, each reading holding 0-124 "
        "(the most one Modbus read asks for) again as soon as it has its answer; ok: the values the panel "
        "holds. Against one read of the same 125 W from the panel through the shared request layer "
        "(%.1f ms, median of 10, the gateway not running).\n\n",
        r.panelReadMs);
    std::printf("| clients | reads | ok | median | p99 | max | p99 / one read from the panel |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const GatewayLatency& l : r.latency) {
        std::printf("| %d | %d | %d | %.3f ms | %.3f ms | %.3f ms | %.4f |\n", l.clients, l.samples, l.ok, l.ms.median,
                    l.p99, l.ms.max, l.p99 / r.panelReadMs);
    }
    std::printf("\n### Gateway: a poll cycle\n\n");
    std::printf(
        "500 points (200 W, 150 B, 100 bits in 13 bytes, 50 L eight bytes apart), polled back to back by the "
        "gateway against the paced simulator at each speed, 10 bits a byte; the cycle's time is the median of the "
        "cycles measured, from its first request to the end of its last. On the line: the requests it made, "
        "their replies and ACKs, frames as sent.\n\n");
    std::printf(
        "| baud | points | requests | requests per point | cycle | on the line | cycle / line time | points per "
        "second |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const GatewayCycle& c : r.cycles) {
        std::printf("| %d | %d | %d | %.3f | %.1f ms (%d cycles) | %.1f ms | %.3f | %.0f |\n", c.baud, c.points,
                    c.requests, static_cast<double>(c.requests) / c.points, c.cycleMs, c.cycles, c.lineMs,
                    c.cycleMs / c.lineMs, c.points / (c.cycleMs / 1000));
    }
    std::printf("\n### Gateway: a write\n\n");
    std::printf(
        "One W at 9600 baud (paced simulator), %d writes each way, each checked in the panel's memory: "
        "write_register from a libmodbus client through the gateway (polling the point every second), against "
        "BlockWrite through the shared request layer.\n\n",
        r.writes);
    std::printf("| path | ok | median | p95 | max | median against the request layer |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    std::printf("| request layer | %d/%d | %.2f ms | %.2f ms | %.2f ms | 1 |\n", r.directWriteOk, r.writes,
                r.directWriteMs.median, r.directWriteMs.p95, r.directWriteMs.max);
    std::printf("| gateway | %d/%d | %.2f ms | %.2f ms | %.2f ms | %.3f (+%.2f ms) |\n\n", r.gatewayWriteOk, r.writes,
                r.gatewayWriteMs.median, r.gatewayWriteMs.p95, r.gatewayWriteMs.max,
                r.gatewayWriteMs.median / r.directWriteMs.median, r.gatewayWriteMs.median - r.directWriteMs.median);
    std::printf("### Gateway: what a silent panel holds its own worker for\n\n");
    std::printf("| request to a silent panel at 9600 baud | time |\n|---|---:|\n");
    std::printf("| one probe (a read of one B), median of 3 | %.0f ms |\n", r.silentProbeMs);
    std::printf("| ColdStart with response_timeout_ms = 100 (R = 100 ms) | %.0f ms |\n\n", r.silentStartMs);
}

// Line time at the panels' 9600 baud, with the panel's 20 ms turnaround, of
// one request, its reply and the ACK.
double ExchangeMs(const std::vector<std::uint8_t>& request, const std::vector<std::uint8_t>& reply) {
    return LineSeconds(FrameLength(request) + FrameLength(reply) + 1, 9600) * 1000 + 20;
}

void PrintPanels(const PanelsReport& r) {
    if (!r.rows.empty()) {
        std::printf("### Panels side by side: poll cycles\n\n");
        std::printf(
            "Every panel with the same point list (40 W, 20 B, 10 L and 16 bits of two bytes, apart: %d block reads "
            "a cycle), polled back to back, each by its own worker, against a paced simulator at 9600 baud that "
            "answers 20 ms after each request. A panel's cycle is the median of %d; the table gives the median and "
            "the slowest of the panels' medians against one panel's cycle alone, measured first in the same run "
            "(%.1f ms).\n\n",
            r.rows.front().requests, 5, r.aloneMs);
        std::printf("| panels | cycle, median of the panels | slowest panel | median / alone | slowest / alone |\n");
        std::printf("|---:|---:|---:|---:|---:|\n");
        for (const PanelsRow& row : r.rows) {
            std::printf("| %d | %.1f ms | %.1f ms | %.3f | %.3f |\n", row.panels, row.cycleMs.median, row.cycleMs.max,
                        row.cycleMs.median / r.aloneMs, row.cycleMs.max / r.aloneMs);
        }
        if (!r.oneThreadRows.empty()) {
            std::printf(
                "\nFor reference, the same panels' links on one thread of the gateway, as zulgate drove them before "
                "it had workers (each panel's median of 3 cycles):\n\n");
            std::printf("| panels, one thread | cycle, median of the panels | slowest panel | median / alone |\n");
            std::printf("|---:|---:|---:|---:|\n");
            for (const PanelsRow& row : r.oneThreadRows) {
                std::printf("| %d | %.1f ms | %.1f ms | %.2f |\n", row.panels, row.cycleMs.median, row.cycleMs.max,
                            row.cycleMs.median / r.aloneMs);
            }
        }
        std::printf("\n### Panels side by side: what a panel costs\n\n");
        std::printf(
            "Measured while the panels were polled: a worker's memory (/proc/PID/smaps_rollup): resident, "
            "proportional (each page shared with other processes, such as the program and its libraries, counted in "
            "part) and its own (pages no other process has), its descriptors and threads (the median of the workers), "
            "and the descriptors and threads the gateway holds for all of them (its Modbus server's included).\n\n");
        std::printf(
            "| panels | worker RSS | worker PSS | worker's own | worker descriptors | worker threads | gateway "
            "descriptors | gateway threads |\n");
        std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        for (const PanelCost& c : r.costs) {
            std::printf("| %d | %.1f MiB | %.1f MiB | %.1f MiB | %.0f | %.0f | %.0f | %.0f |\n", c.panels,
                        c.workerRssKb / 1024, c.workerPssKb / 1024, c.workerPrivateKb / 1024, c.workerFds,
                        c.workerThreads, c.gatewayFds, c.gatewayThreads);
        }
        std::printf("\n");
    }
    if (r.writes > 0) {
        double writeLine = ExchangeMs({0x60, 0x00, 0x01, 0x00, 0x02, 0x20, 0x00}, {0x11, 0x00});
        std::vector<std::uint8_t> longest(81, 0x20); // 40 W, the longest block
        longest[0] = 0x50;
        double inFlight = ExchangeMs({0x50, 0x00, 0x01, 0x00, 80}, longest);
        std::printf("### Panels side by side: beside a silent panel\n\n");
        std::printf(
            "Three panels; one silent from the start, with R = 1 s, whose handshake takes about half a minute (%s "
            "when the writes ended). The first value of the healthy panels (the later of the two) after the gateway's "
            "start, against one panel alone; and %d writes of one W (libmodbus, write_register) to a healthy panel "
            "polled back to back, during that handshake, each checked in the panel's memory, against the bound: "
            "the write's own line time (%.1f ms with the turnaround) plus the longest request that may be on its "
            "line (%.1f ms).\n\n",
            r.silentStillStarting ? "still going" : "over", r.writes, writeLine, inFlight);
        std::printf("| | time |\n|---|---:|\n");
        std::printf("| first value, a panel alone | %.0f ms |\n", r.firstAloneMs);
        std::printf("| first value, healthy panels beside a silent one | %.0f ms |\n", r.firstBesideSilentMs);
        if (r.firstOneThreadMs != 0) {
            std::printf("| the same, the panels on one thread as before the workers | %.0f ms |\n", r.firstOneThreadMs);
        }
        std::printf("| write to a healthy panel during the silent one's handshake: %d/%d ok, median | %.1f ms |\n",
                    r.writesOk, r.writes, r.writeMs.median);
        std::printf("| the same, the slowest | %.1f ms (bound %.1f ms) |\n\n", r.writeMs.max, writeLine + inFlight);
    }
    for (const ThreeProgramsReport& t : r.programs) {
        std::printf("### Panels side by side: as an integrator meets it\n\n");
        std::printf(
            "Three zulsim programs (--baud 9600 --turnaround 20), one of them --silent, and the zulgate program with "
            "every panel key at its default (R = 1 s, poll_ms 1000, stale_ms 5000); a libmodbus client reads the two "
            "healthy panels every 250 ms for %d s from the gateway's start. Panel a's cycle_ms (/api/state) beside "
            "the two others, against the same gateway on panel a alone, first.\n\n",
            t.seconds);
        std::printf("| | |\n|---|---:|\n");
        std::printf("| first value of a, of b | %.0f ms, %.0f ms |\n", t.firstMs[0], t.firstMs[1]);
        std::printf("| reads after the first value that were not the panel's value | %d of %d |\n", t.staleAfterFirst,
                    t.reads);
        std::printf("| a's cycle alone, beside b and c | %.1f ms, %.1f ms (%.3f) |\n\n", t.aloneCycleMs,
                    t.besideCycleMs, t.besideCycleMs / t.aloneCycleMs);
    }
}

void PrintBacnet(const BacnetReport& r) {
    std::printf("### Gateway: BACnet/IP\n\n");
    std::printf(
        "zulgate in this process with [bacnet], a panel of %d W (tenths of a degree, %d Analog Value objects) at "
        "9600 baud (paced simulator), polled back to back; one client on the loopback asks again as soon as it "
        "has its answer, every answer checked against the panel's memory. Against one read of the same W from "
        "the panel through the shared request layer (%.1f ms, median of 10, the gateway not running).\n\n",
        r.objects, r.objects, r.panelReadMs);
    std::printf("| request | requests | ok | median | p99 | max | p99 / one read from the panel |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    std::printf("| ReadProperty, one Present_Value | %d | %d | %.3f ms | %.3f ms | %.3f ms | %.4f |\n", r.reads,
                r.readOk, r.readMs.median, r.readP99, r.readMs.max, r.readP99 / r.panelReadMs);
    int perRequest = r.objects / r.requestsPerRound;
    std::printf(
        "| ReadPropertyMultiple, Present_Value and Status_Flags of %d objects (%zu octets answered) | %d | %d | "
        "%.3f ms | %.3f ms | %.3f ms | %.4f |\n",
        perRequest, r.answerOctets, r.rounds * r.requestsPerRound, r.requestOk, r.requestMs.median, r.requestP99,
        r.requestMs.max, r.requestP99 / r.panelReadMs);
    std::printf(
        "| the %d objects: %d such requests, one after the other | %d | %d | %.3f ms | %.3f ms | %.3f ms | "
        "%.4f |\n\n",
        r.objects, r.requestsPerRound, r.rounds, r.roundOk, r.roundMs.median, r.roundP99, r.roundMs.max,
        r.roundP99 / r.panelReadMs);
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
    std::string sections = "codec,latency,grid,spy,long,server,gateway,bacnet,panels,panels32,programs";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--driver" && hasValue) {
            options.driverPath = argv[++i];
        } else if (a == "--sections" && hasValue) {
            sections = argv[++i];
        } else if (a == "--samples" && hasValue) {
            options.latencySamples = Number(argv[++i], "--samples");
        } else if (a == "--paced-samples" && hasValue) {
            options.pacedSamples = Number(argv[++i], "--paced-samples");
        } else if (a == "--grid-samples" && hasValue) {
            options.gridSamples = Number(argv[++i], "--grid-samples");
        } else if (a == "--verbose") {
            options.verbose = true;
        } else {
            std::fprintf(
                stderr,
                "usage: zul_bench [--driver PATH] [--sections codec,latency,grid,spy,long,server,gateway,bacnet,panels,"
                "panels32,programs]\n                 [--samples N] [--paced-samples N] [--grid-samples N] [--verbose]\n");
            return 2;
        }
    }
    auto wanted = [&](const char* name) {
        return ("," + sections + ",").find(std::string(",") + name + ",") != std::string::npos;
    };

    auto started = std::chrono::steady_clock::now();
    std::string loadBefore = LoadAverage();
    std::vector<CodecResult> codec;
    if (wanted("codec")) {
        std::fprintf(stderr, "bench: frame codec\n");
        codec = RunCodec();
    }
    LineReport report;
    if (wanted("latency")) report.pauseMs = MeasuredPauseMs();
    if (wanted("latency") || wanted("grid") || wanted("spy")) {
        std::string error;
        if (!RunLine(options, wanted("latency"), wanted("grid"), wanted("spy"), report, error)) {
            std::fprintf(stderr, "bench: %s\n", error.c_str());
            return 1;
        }
    }
    if (wanted("long")) {
        std::string error;
        if (!RunLongLinks(options, report, error)) {
            std::fprintf(stderr, "bench: %s\n", error.c_str());
            return 1;
        }
    }
    if (wanted("server")) {
        std::string error;
        if (!RunDeviceServers(options, report, error)) {
            std::fprintf(stderr, "bench: %s\n", error.c_str());
            return 1;
        }
    }
    GatewayReport gateway;
    bool gatewayRan = false;
    if (wanted("gateway")) {
        std::string error;
        if (!RunGateway(options, gateway, error)) {
            std::fprintf(stderr, "bench: gateway: %s\n", error.c_str());
            return 1;
        }
        gatewayRan = true;
    }
    PanelsReport panels;
    std::vector<int> counts;
    if (wanted("panels")) counts = {4, 8};
    if (wanted("panels32")) counts.push_back(32);
    if (!counts.empty() || wanted("panels") || wanted("programs")) {
        std::string error;
        if (!RunPanels(options, counts, wanted("panels"), wanted("programs"), panels, error)) {
            std::fprintf(stderr, "bench: panels: %s\n", error.c_str());
            return 1;
        }
    }
    BacnetReport bacnet;
    bool bacnetRan = false;
    if (wanted("bacnet")) {
        std::string error;
        if (!RunBacnet(options, bacnet, error)) {
            std::fprintf(stderr, "bench: bacnet: %s\n", error.c_str());
            return 1;
        }
        bacnetRan = true;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("%s, %u hardware threads; load average (1/5/15 min) %s before, %s after; %.0f s.\n\n",
                CpuModel().c_str(), std::thread::hardware_concurrency(), loadBefore.c_str(), LoadAverage().c_str(),
                seconds);
    if (!codec.empty()) PrintCodec(codec);
    if (!report.latency.empty()) PrintLatency(report);
    if (!report.grid.empty()) PrintGrid(report, options.gridSamples);
    if (!report.spy.empty()) PrintSpy(report.spy.front());
    if (!report.longLinks.empty()) PrintLongLinks(report);
    if (!report.deviceServers.empty()) PrintDeviceServers(report);
    if (gatewayRan) PrintGateway(gateway);
    if (bacnetRan) PrintBacnet(bacnet);
    PrintPanels(panels);
    return 0;
}
