// Shared pieces of the benchmark program: sample statistics, frame lengths
// on the wire, and the results that the sections hand to the report.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zulbench {

// Bits that one byte takes on the line: start bit, 8 data bits, stop bit.
constexpr int BitsPerByte = 10;

struct Summary {
    double median = 0;
    double p95 = 0;
    double max = 0;
};
// Median (mean of the middle two for an even count), 95th percentile by
// nearest rank, and the largest value; all 0 for no samples.
Summary Summarize(std::vector<double> values);
// The p-quantile (0..1) by nearest rank; 0 for no samples.
double Percentile(std::vector<double> values, double p);

// Stuffed length on the wire of the frame that BuildFrame makes of a payload.
int FrameLength(const std::vector<std::uint8_t>& payload);
// Seconds that a number of bytes takes on a line of the given baud rate.
double LineSeconds(int bytes, int baud);

struct CodecResult {
    int payloadBytes = 0;
    int frameBytes = 0;
    double buildNs = 0;
    double decodeNs = 0;
};
std::vector<CodecResult> RunCodec();

struct Options {
    std::string driverPath;
    int latencySamples = 200;
    int pacedSamples = 100; // 2-W reads on the paced line
    int gridSamples = 10;   // per block size and line in the grid: all must pass
    bool verbose = false;   // the driver's log lines to stderr
};

struct LatencyResult {
    std::string what;
    int samples = 0;
    int ok = 0;
    Summary ms;
    double lineMs = 0; // request and reply on the line, where the line is paced
};

// A line as the grid runs it: its speed, and the field's delays.
struct LineKind {
    const char* name;
    int turnaroundMs;
    int latencyTimerMs;
    int linkDelayMs = 0; // a long link in front of the panel
};

// One row of the grid: the largest block that transfers every time each
// way, at one speed, on one kind of line, with one kind of values.
struct GridRow {
    int baud = 0;
    LineKind line{};
    bool allDle = false;   // every value byte 0x10: the longest frames
    int readEdge = 0;      // largest W block of which every read succeeded
    Summary readMs;        // at that size
    double readLineMs = 0; // its request and reply frames on the line
    int writeEdge = 0;
    Summary writeMs;
    double writeLineMs = 0;
    Summary bitMs;               // a bit write of one W (a read, then the write)
    Summary nibbleMs;            // a nibble write of one E
    std::map<int, int> failures; // result -> how often, over every sample of the row (0: wrong values)
};

struct SpyResult {
    int reads = 0, ok = 0;
    Summary readMs;    // 2-W reads through the spy
    Summary forwardUs; // the spy's own delay, from reading a chunk to writing it on
    int forwarded = 0; // chunks
};

// Blocks of one size each way over a long link, after ColdStart.
struct LongLinkRow {
    int baud = 0;
    int linkMs = 0;
    int words = 0;
    int samples = 0, readOk = 0, writeOk = 0;
    Summary readMs, writeMs;
    double readRefMs = 0, writeRefMs = 0; // the frames on the line and the link's delay
};

// A 2-W read from a panel that has fallen silent, on a direct line, R = 1 s:
// the first one (in step), and the next ones (out of step: only fences go out).
struct SilentCost {
    int samples = 0;
    Summary firstMs, laterMs;
};

// 2-W and 127-W reads at 9600 baud with the field's timing, on the
// simulator's pseudo-terminal, and through ser2net in front of it.
struct DeviceServerRow {
    std::string line; // the simulated field's timing
    std::string way;
    int samples2 = 0, ok2 = 0, samples127 = 0, ok127 = 0;
    Summary read2, read127;
    double line2Ms = 0, line127Ms = 0; // their frames on the line
};

struct LineReport {
    double pauseMs = 0; // one 10 ms pause as this machine makes it, median
    std::vector<SpyResult> spy;
    std::vector<LatencyResult> latency;
    std::vector<LatencyResult> paced;
    std::vector<GridRow> grid;
    std::vector<LongLinkRow> longLinks;
    std::vector<SilentCost> silent;
    std::vector<DeviceServerRow> deviceServers;
};

// Loads the driver, serves it from in-process simulated panels and measures.
// False, with a message, when the driver or a panel cannot be set up.
bool RunLine(const Options& options, bool latency, bool grid, bool spy, LineReport& report, std::string& error);
// Long links (R = 2 s) and a silent panel's cost.
bool RunLongLinks(const Options& options, LineReport& report, std::string& error);
// The same reads on the panel's pseudo-terminal and through Debian's ser2net.
bool RunDeviceServers(const Options& options, LineReport& report, std::string& error);

// zulgate, in this process, against paced panels, with libmodbus clients.
struct GatewayLatency {
    int clients = 0;
    int samples = 0, ok = 0; // ok: the values the panel holds
    Summary ms;
    double p99 = 0;
};
struct GatewayCycle {
    int baud = 0;
    int points = 0;
    int requests = 0;   // block reads a cycle made
    int cycles = 0;     // measured
    double cycleMs = 0; // median
    double lineMs = 0;  // the requests' and replies' frames and the ACKs at that speed
};
struct GatewayReport {
    double panelReadMs = 0; // one read of the same 125 W from the panel, 9600 baud, median of 10
    std::vector<GatewayLatency> latency;
    std::vector<GatewayCycle> cycles;
    int writes = 0, gatewayWriteOk = 0, directWriteOk = 0;
    Summary gatewayWriteMs, directWriteMs;
    double silentStartMs = 0; // ColdStart of a silent panel, R = 100 ms
    double silentProbeMs = 0; // one 1-B read of a silent panel
};
bool RunGateway(const Options& options, GatewayReport& report, std::string& error);

// Panels side by side (zulgate's worker processes), at 9600 baud with a
// 20 ms turnaround, every panel with the same point list.
struct PanelsRow {
    int panels = 0;
    int requests = 0; // block reads a cycle
    Summary cycleMs;  // over the panels' own medians
};
struct PanelCost {
    int panels = 0;                          // running when measured
    double workerRssKb = 0, workerPssKb = 0; // a worker's, the median
    double workerPrivateKb = 0;              // its pages no other process has
    double workerFds = 0, workerThreads = 0; // likewise
    double gatewayFds = 0;                   // the gateway's, for all its panels
    double gatewayThreads = 0;               // the gateway's for all its panels
};
struct ThreeProgramsReport {
    int seconds = 0;
    std::vector<double> firstMs; // by healthy panel, after the gateway's start
    int reads = 0, staleAfterFirst = 0;
    double aloneCycleMs = 0, besideCycleMs = 0; // panel a's cycle_ms, median
};
struct PanelsReport {
    double aloneMs = 0; // one panel's cycle alone, median
    std::vector<PanelsRow> rows;
    std::vector<PanelsRow> oneThreadRows; // the same links on one thread, as before the workers
    std::vector<PanelCost> costs;
    double firstAloneMs = 0, firstBesideSilentMs = 0; // a healthy panel's first value
    double firstOneThreadMs = 0;                      // the same beside a silent one, on one thread
    int writes = 0, writesOk = 0;
    Summary writeMs; // to a healthy panel during a silent one's handshake
    bool silentStillStarting = false;
    std::vector<ThreeProgramsReport> programs;
};
// Rows for 1 and each of `counts` panels; with `beside`, the first values
// beside a silent panel and writes during its handshake; with `programs`,
// the three programs read every 250 ms for 40 s.
bool RunPanels(const Options& options, const std::vector<int>& counts, bool beside, bool programs, PanelsReport& report,
               std::string& error);

// zulgate's BACnet/IP server, in this process, against a paced panel.
struct BacnetReport {
    double panelReadMs = 0; // one BlockRead of the same W from the panel, 9600 baud, median of 10
    int reads = 2000, readOk = 0;
    Summary readMs; // ReadProperty of one Present_Value
    double readP99 = 0;
    int objects = 0, requestsPerRound = 0; // ReadPropertyMultiple of Present_Value and Status_Flags
    int rounds = 500, roundOk = 0, requestOk = 0;
    std::size_t answerOctets = 0; // of one request's answer APDU
    Summary requestMs, roundMs;
    double requestP99 = 0, roundP99 = 0;
};
bool RunBacnet(const Options& options, BacnetReport& report, std::string& error);

} // namespace zulbench
