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
    int cellSamples = 20;  // per baud and block size in the line table
    int edgeSamples = 10;  // per probe while searching the largest safe block
    bool verbose = false;  // the driver's log lines to stderr
};

struct LatencyResult {
    std::string what;
    int samples = 0;
    int ok = 0;
    Summary ms;
};

struct CellResult {
    int baud = 0;
    int elements = 0;
    int requestBytes = 0;    // stuffed request frame
    int replyBytes = 0;      // stuffed reply frame (median over the samples)
    double lineMs = 0;       // (request + reply) on the line
    int samples = 0;
    int ok = 0;
    std::map<int, int> failures; // result of each failed read -> how often; 0: result 0 with wrong values
    Summary ms;              // every sample, failed ones included
    Summary okMs;            // the successful samples only
};

struct EdgeResult {
    int baud = 0;
    int largestTested = 0;   // largest size of the table that passed every sample
    int edgeRandom = 0;      // largest block passing every probe sample, random values
    int edgeAllDle = 0;      // the same when every value byte is DLE (worst stuffing)
    int edgeRandomReply = 0; // stuffed reply frame at edgeRandom, values without DLE
    int edgeAllDleReply = 0; // stuffed reply frame at edgeAllDle
    int driverBaud = 0;      // what ColdStart asked for
};

struct LineReport {
    std::vector<LatencyResult> latency;
    std::vector<CellResult> cells;
    std::vector<EdgeResult> edges;
    int coldStartFailures = 0;
};

// Loads the driver, serves it from in-process simulated panels and measures.
// False, with a message, when the driver or a panel cannot be set up.
bool RunLine(const Options& options, bool latency, bool line, LineReport& report, std::string& error);

} // namespace zulbench
