// Requests through the driver as a host makes them: the library is loaded
// at run time and driven only through ZulMain, against simulated panels on
// pseudo-terminals in this process. Every time is that of one ZulMain call,
// taken from the steady clock around it.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "bench/bench.h"
#include "driver/zultrk.h"
#include "host/korvan/korvan.h"
#include "sim/panel_sim.h"

namespace zulbench {
namespace {

using Clock = std::chrono::steady_clock;
using ZulMainFn = std::int32_t (*)(DriverRequest*);

constexpr std::int32_t ChannelNumber = 1;
constexpr std::int32_t ResponseTimeout = 100; // units of 10 ms: 1 s
constexpr std::uint32_t LatencyAddress = 0x01A2F3;
constexpr std::uint32_t LineAddress = 0x003000;
constexpr std::uint8_t ReadReplyCode = 0x50; // the simulator's default
constexpr std::uint8_t HostFill = 0xEE;      // what the host leaves in its slots
constexpr int LargestWordBlock = 127;        // 254 value bytes: the one-byte count's limit for W
constexpr int ProbeBeyond = LargestWordBlock + 1;
// The host record carries the speed in 16 bits; faster lines are opened at
// the fastest standard speed that fits (a pty ignores the speed anyway).
constexpr int LargestRecordBaud = 57600;

struct LogCount {
    bool verbose = false;
    int lines = 0;
    bool started = false; // ColdStart's success line was seen
};

void Sink(int level, const char* line, void* context) {
    auto* log = static_cast<LogCount*>(context);
    ++log->lines;
    if (std::strstr(line, "Driver loaded successfully") != nullptr) log->started = true;
    if (log->verbose) std::fprintf(stderr, "  [driver %d] %s\n", level, line);
}

class Driver {
public:
    ~Driver() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    bool Load(const std::string& path, std::string& error) {
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            const char* why = dlerror();
            error = "cannot load " + path + ": " + (why ? why : "unknown error");
            return false;
        }
        void* symbol = dlsym(handle_, "ZulMain");
        if (symbol == nullptr) {
            error = path + " has no export ZulMain";
            return false;
        }
        static_assert(sizeof(symbol) == sizeof(entry_), "function and data pointers differ");
        std::memcpy(&entry_, &symbol, sizeof entry_);
        return true;
    }
    std::int32_t Call(ChannelContext& channel, std::int32_t code, void* params) {
        DriverRequest request;
        std::memset(&request, 0, sizeof request);
        request.Channel = &channel;
        request.Code = code;
        request.ChannelNumber = ChannelNumber;
        request.Params = params;
        return entry_(&request);
    }

private:
    void* handle_ = nullptr;
    ZulMainFn entry_ = nullptr;
};

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One simulated panel and the channel that the driver has started on it.
struct Line {
    std::unique_ptr<zulsim::PanelSim> sim;
    ChannelContext channel;
    int baud = 0;       // the simulator's pacing, 0 for none
    int driverBaud = 0; // what ColdStart asked for
};

bool OpenLine(Driver& driver, LogCount& log, int baud, Line& line, std::string& error) {
    zulsim::Options options;
    options.baud = baud;
    options.readReplyCode = ReadReplyCode;
    line.sim = std::make_unique<zulsim::PanelSim>(options);
    if (!line.sim->Start(&error)) return false;
    line.baud = baud;
    line.driverBaud = baud == 0 ? 9600 : std::min(baud, LargestRecordBaud);
    std::memset(&line.channel, 0, sizeof line.channel);

    ColdStartParams params;
    std::memset(&params, 0, sizeof params);
    const std::string& path = line.sim->DevicePath();
    if (path.size() >= sizeof params.PortName) {
        error = "device path too long for the host record: " + path;
        return false;
    }
    std::memcpy(params.PortName, path.c_str(), path.size() + 1);
    params.ActiveFlag = 1;
    params.ResponseTimeout = ResponseTimeout;
    params.BaudRate = static_cast<std::uint16_t>(line.driverBaud);
    params.ByteSize = 8;
    params.StopBits = 0;
    params.Parity = 0;
    log.started = false;
    std::int32_t rc = driver.Call(line.channel, ColdStartCode, &params);
    if (rc != 0 || !log.started) {
        error = "ColdStart on " + path + " at " + std::to_string(line.driverBaud) + " baud: rc " +
                std::to_string(rc) + (log.started ? "" : ", handshake failed");
        return false;
    }
    return true;
}

void CloseLine(Driver& driver, Line& line) {
    driver.Call(line.channel, ClosePortCode, nullptr);
    line.sim->Stop();
}

enum class Values { Random, AllDle };

struct Sample {
    bool ok = false;
    std::int32_t rc = 0;
    double ms = 0;
    int replyBytes = 0; // stuffed reply frame
};

PointRequest Words(std::uint32_t address, int elements, std::vector<std::uint8_t>& slots) {
    PointRequest points;
    std::memset(&points, 0, sizeof points);
    points.TypeLetter = 'W';
    points.PointAddress = static_cast<std::int32_t>(address);
    points.BitNumber = NoBit;
    points.ElementCount = elements;
    points.ValueBuffer = slots.data();
    return points;
}

// One block read of W elements; ok when it returns 0 and every slot holds
// the simulator's memory in bytes 2-3 with the host's bytes 0-1 untouched.
Sample ReadWords(Driver& driver, Line& line, std::uint32_t address, int elements, Values values,
                 std::mt19937& rng) {
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(2 * elements));
    for (auto& b : memory) b = values == Values::AllDle ? 0x10 : static_cast<std::uint8_t>(rng());
    line.sim->SetBytes(address, memory);
    std::vector<std::uint8_t> slots(static_cast<std::size_t>(4 * elements), HostFill);
    PointRequest points = Words(address, elements, slots);

    Sample s;
    std::vector<std::uint8_t> reply(memory.size() + 1, ReadReplyCode);
    std::copy(memory.begin(), memory.end(), reply.begin() + 1);
    s.replyBytes = FrameLength(reply);

    Clock::time_point start = Clock::now();
    s.rc = driver.Call(line.channel, BlockReadCode, &points);
    s.ms = MsSince(start);

    s.ok = s.rc == 0;
    for (int i = 0; s.ok && i < elements; ++i) {
        const std::uint8_t* slot = &slots[static_cast<std::size_t>(4 * i)];
        s.ok = slot[0] == HostFill && slot[1] == HostFill && slot[2] == memory[2 * i] && slot[3] == memory[2 * i + 1];
    }
    return s;
}

// One block write of W elements; ok when it returns 0 and the simulator's
// memory then holds the values (it held their complement before).
Sample WriteWords(Driver& driver, Line& line, std::uint32_t address, int elements, std::mt19937& rng) {
    std::vector<std::uint8_t> slots(static_cast<std::size_t>(4 * elements), HostFill);
    std::vector<std::uint8_t> expected(static_cast<std::size_t>(2 * elements));
    for (int i = 0; i < elements; ++i) {
        expected[2 * i] = slots[4 * i + 2] = static_cast<std::uint8_t>(rng());
        expected[2 * i + 1] = slots[4 * i + 3] = static_cast<std::uint8_t>(rng());
    }
    std::vector<std::uint8_t> before(expected);
    for (auto& b : before) b = static_cast<std::uint8_t>(~b);
    line.sim->SetBytes(address, before);
    PointRequest points = Words(address, elements, slots);

    Clock::time_point start = Clock::now();
    std::int32_t rc = driver.Call(line.channel, BlockWriteCode, &points);
    Sample s;
    s.ms = MsSince(start);
    s.ok = rc == 0 && line.sim->GetBytes(address, expected.size()) == expected;
    return s;
}

// After a read that was cut short the panel may still be sending the rest of
// its reply; the next sample waits until that would be over.
void LetLineSettle(const Line& line, const Sample& s) {
    if (s.ok || line.baud == 0) return;
    double rest = LineSeconds(s.replyBytes, line.baud) * 1000 - s.ms + 30;
    if (rest > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(rest));
}

LatencyResult Latency(const char* what, int samples, const std::function<Sample()>& one) {
    for (int i = 0; i < 5; ++i) one(); // warm-up, not counted
    LatencyResult r;
    r.what = what;
    std::vector<double> ms;
    for (int i = 0; i < samples; ++i) {
        Sample s = one();
        r.ok += s.ok;
        ms.push_back(s.ms);
    }
    r.samples = samples;
    r.ms = Summarize(ms);
    return r;
}

// The stuffed reply frame of a block of W elements whose bytes all have one value.
int ReplyBytes(int elements, std::uint8_t value) {
    std::vector<std::uint8_t> reply(static_cast<std::size_t>(2 * elements) + 1, value);
    reply[0] = ReadReplyCode;
    return FrameLength(reply);
}

int RequestBytes(int elements) {
    return FrameLength({0x50, static_cast<std::uint8_t>(LineAddress >> 16), static_cast<std::uint8_t>(LineAddress >> 8),
                        static_cast<std::uint8_t>(LineAddress), static_cast<std::uint8_t>(2 * elements)});
}

CellResult Cell(Driver& driver, Line& line, int elements, int samples, std::mt19937& rng) {
    CellResult c;
    c.baud = line.baud;
    c.elements = elements;
    c.requestBytes = RequestBytes(elements);
    std::vector<double> all, good, replies;
    int failed = 0;
    for (int i = 0; i < samples && failed < 3; ++i) {
        Sample s = ReadWords(driver, line, LineAddress, elements, Values::Random, rng);
        LetLineSettle(line, s);
        all.push_back(s.ms);
        replies.push_back(s.replyBytes);
        if (s.ok) {
            good.push_back(s.ms);
            ++c.ok;
        } else {
            ++failed;
            ++c.failures[s.rc];
        }
    }
    c.samples = static_cast<int>(all.size());
    c.replyBytes = static_cast<int>(Summarize(replies).median + 0.5);
    c.lineMs = LineSeconds(c.requestBytes + c.replyBytes, line.baud) * 1000;
    c.ms = Summarize(all);
    c.okMs = Summarize(good);
    return c;
}

// True when every one of `samples` reads of this size succeeds.
bool Probe(Driver& driver, Line& line, int elements, Values values, int samples, std::mt19937& rng) {
    for (int i = 0; i < samples; ++i) {
        Sample s = ReadWords(driver, line, LineAddress, elements, values, rng);
        LetLineSettle(line, s);
        if (!s.ok) return false;
    }
    return true;
}

// Largest block in [lo, hi) that passes, given that lo passes (or is 0) and
// hi fails (or is beyond the largest block).
int Bisect(Driver& driver, Line& line, int lo, int hi, Values values, int samples, std::mt19937& rng) {
    while (hi - lo > 1) {
        int mid = lo + (hi - lo) / 2;
        bool pass = Probe(driver, line, mid, values, samples, rng);
        std::fprintf(stderr, "bench:   %d baud, %3d W (%s values): %s\n", line.baud, mid,
                     values == Values::AllDle ? "all-DLE" : "random", pass ? "pass" : "fail");
        (pass ? lo : hi) = mid;
    }
    return lo;
}

} // namespace

bool RunLine(const Options& options, bool latency, bool line, LineReport& report, std::string& error) {
    LogCount log;
    log.verbose = options.verbose;
    korvan_set_sink(Sink, &log);
    Driver driver;
    if (!driver.Load(options.driverPath, error)) return false;
    std::mt19937 rng(20240601);

    if (latency) {
        Line l;
        if (!OpenLine(driver, log, 0, l, error)) return false;
        std::fprintf(stderr, "bench: latency on an unpaced pty, %d samples each\n", options.latencySamples);
        report.latency.push_back(Latency("BlockRead, 2 W", options.latencySamples, [&] {
            return ReadWords(driver, l, LatencyAddress, 2, Values::Random, rng);
        }));
        report.latency.push_back(Latency("BlockWrite, 2 W", options.latencySamples, [&] {
            return WriteWords(driver, l, LatencyAddress, 2, rng);
        }));
        CloseLine(driver, l);
    }

    if (line) {
        const int bauds[] = {9600, 19200, 38400, 115200};
        const int sizes[] = {1, 8, 16, 32, 64, 127};
        for (int baud : bauds) {
            Line l;
            if (!OpenLine(driver, log, baud, l, error)) return false;
            std::fprintf(stderr, "bench: line paced at %d baud (ColdStart at %d)\n", baud, l.driverBaud);
            EdgeResult edge;
            edge.baud = baud;
            edge.driverBaud = l.driverBaud;
            int firstFail = ProbeBeyond;
            bool allBelowPassed = true;
            for (int elements : sizes) {
                CellResult c = Cell(driver, l, elements, options.cellSamples, rng);
                std::fprintf(stderr, "bench:   %3d W: %d/%d ok, median %.1f ms\n", elements, c.ok, c.samples,
                             c.ms.median);
                bool passed = c.ok == c.samples;
                if (passed && allBelowPassed) edge.largestTested = elements;
                if (!passed && allBelowPassed) firstFail = elements;
                allBelowPassed = allBelowPassed && passed;
                report.cells.push_back(c);
            }
            edge.edgeRandom = Bisect(driver, l, edge.largestTested, firstFail, Values::Random, options.edgeSamples, rng);
            // Doubled bytes make the worst case longer on the line, never shorter.
            edge.edgeAllDle = Bisect(driver, l, 0, edge.edgeRandom + 1, Values::AllDle, options.edgeSamples, rng);
            edge.edgeRandomReply = ReplyBytes(edge.edgeRandom, 0x00);
            edge.edgeAllDleReply = ReplyBytes(edge.edgeAllDle, 0x10);
            report.edges.push_back(edge);
            CloseLine(driver, l);
        }
    }
    korvan_set_sink(nullptr, nullptr);
    return true;
}

} // namespace zulbench
