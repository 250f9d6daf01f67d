// Requests through the driver as a host makes them: the library is loaded
// at run time and driven only through ZulMain, against simulated panels on
// pseudo-terminals in this process. Every time is that of one ZulMain call,
// taken from the steady clock around it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "bench/bench.h"
#include "driver/zultrk.h"
#include "host/client/library_loader.h"
#include "host/korvan/korvan.h"
#include "host/tool/spy.h"
#include "sim/panel_sim.h"
#include "tests/devsrv/ser2net.h"

namespace zulbench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t ChannelNumber = 1;
constexpr std::int32_t ResponseTimeout = 100; // units of 10 ms: 1 s
constexpr std::uint32_t LatencyAddress = 0x01A2F3;
constexpr std::uint32_t LineAddress = 0x003000;
constexpr std::uint8_t ReadReplyCode = 0x50; // the simulator's default
constexpr std::uint8_t HostFill = 0xEE;      // what the host leaves in its slots
constexpr int LargestWordBlock = 127;        // 254 value bytes: the one-byte count's limit for W

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
    bool Load(const std::string& path, std::string& error) {
        if (!library_.Load(path, false, &error)) return false;
        entry_ = library_.Entry();
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
    zulclient::DriverLibrary library_;
    ZulMainFunction entry_ = nullptr;
};

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One simulated panel and the channel that the driver has started on it.
struct Line {
    std::unique_ptr<zulsim::PanelSim> sim;
    ChannelContext channel;
    int baud = 0; // the simulator's pacing, 0 for none; ColdStart asks for the same (9600 when unpaced)
};

// The channel opens the simulator's device, or `port` where given (a
// ports-folder entry, say, of a device server in front of it).
bool OpenLine(Driver& driver, LogCount& log, int baud, const LineKind& kind, Line& line, std::string& error,
              std::int32_t timeout = ResponseTimeout, const std::string& port = "") {
    zulsim::Options options;
    options.baud = baud;
    options.turnaroundMs = kind.turnaroundMs;
    options.latencyTimerMs = kind.latencyTimerMs;
    options.linkDelayMs = kind.linkDelayMs;
    options.readReplyCode = ReadReplyCode;
    if (!line.sim) {
        line.sim = std::make_unique<zulsim::PanelSim>(options);
        if (!line.sim->Start(&error)) return false;
    }
    line.baud = baud;
    std::memset(&line.channel, 0, sizeof line.channel);

    ColdStartParams params;
    std::memset(&params, 0, sizeof params);
    const std::string& path = port.empty() ? line.sim->DevicePath() : port;
    if (path.size() >= sizeof params.PortName) {
        error = "device path too long for the host record: " + path;
        return false;
    }
    std::memcpy(params.PortName, path.c_str(), path.size() + 1);
    params.ActiveFlag = 1;
    params.ResponseTimeout = timeout;
    params.BaudRate = static_cast<std::uint16_t>(baud == 0 ? 9600 : baud);
    params.ByteSize = 8;
    params.StopBits = 0;
    params.Parity = 0;
    log.started = false;
    std::int32_t rc = driver.Call(line.channel, ColdStartCode, &params);
    if (rc != 0 || !log.started) {
        error = "ColdStart on " + path + " at " + std::to_string(params.BaudRate) + " baud: rc " + std::to_string(rc) +
                (log.started ? "" : ", handshake failed");
        return false;
    }
    return true;
}

void CloseLine(Driver& driver, Line& line) {
    driver.Call(line.channel, ClosePortCode, nullptr);
    line.sim->Stop();
}

enum class Values { Random, AllDle, NoDle };

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
Sample ReadWords(Driver& driver, Line& line, std::uint32_t address, int elements, Values values, std::mt19937& rng) {
    std::vector<std::uint8_t> memory(static_cast<std::size_t>(2 * elements));
    for (auto& b : memory) {
        b = values == Values::AllDle ? 0x10 : static_cast<std::uint8_t>(rng());
        if (values == Values::NoDle && b == 0x10) b = 0x11;
    }
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
Sample WriteWords(Driver& driver, Line& line, std::uint32_t address, int elements, std::mt19937& rng,
                  bool allDle = false) {
    std::vector<std::uint8_t> slots(static_cast<std::size_t>(4 * elements), HostFill);
    std::vector<std::uint8_t> expected(static_cast<std::size_t>(2 * elements));
    auto value = [&] { return allDle ? std::uint8_t{0x10} : static_cast<std::uint8_t>(rng()); };
    for (int i = 0; i < elements; ++i) {
        expected[2 * i] = slots[4 * i + 2] = value();
        expected[2 * i + 1] = slots[4 * i + 3] = value();
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

// A bit write (bit 5 of one W) or a nibble write (one E): a preparatory
// read, then the write; ok when the panel then holds the merged value.
Sample MergedWrite(Driver& driver, Line& line, std::uint32_t address, bool nibble, std::mt19937& rng) {
    std::vector<std::uint8_t> before{static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng())};
    line.sim->SetBytes(address, before);
    std::vector<std::uint8_t> slot(4, HostFill);
    std::uint8_t value = nibble ? static_cast<std::uint8_t>(rng() & 0x0F) : 1;
    slot[2] = value;
    slot[3] = 0;
    PointRequest points = Words(address, 1, slot);
    points.TypeLetter = nibble ? 'E' : 'W';
    points.BitNumber = nibble ? NoBit : 5;
    std::vector<std::uint8_t> expected = before;
    if (nibble) {
        expected[0] = static_cast<std::uint8_t>((before[0] & 0xF0) | value);
    } else {
        expected[0] = static_cast<std::uint8_t>(before[0] | 0x20);
    }
    Clock::time_point start = Clock::now();
    Sample s;
    s.rc = driver.Call(line.channel, BlockWriteCode, &points);
    s.ms = MsSince(start);
    s.ok = s.rc == 0 && line.sim->GetBytes(address, 2) == expected;
    return s;
}

LatencyResult Latency(const char* what, int samples, const std::function<Sample()>& one) {
    for (int i = 0; i < 5; ++i) one(); // warm-up, not counted
    LatencyResult r;
    r.what = what;
    std::vector<double> ms, replies;
    for (int i = 0; i < samples; ++i) {
        Sample s = one();
        r.ok += s.ok;
        ms.push_back(s.ms);
        replies.push_back(s.replyBytes);
    }
    r.samples = samples;
    r.ms = Summarize(ms);
    return r;
}

int RequestBytes(std::uint8_t command, int valueBytes, std::uint8_t value) {
    std::vector<std::uint8_t> payload{command, static_cast<std::uint8_t>(LineAddress >> 16),
                                      static_cast<std::uint8_t>(LineAddress >> 8),
                                      static_cast<std::uint8_t>(LineAddress), static_cast<std::uint8_t>(valueBytes)};
    if (command == 0x60) payload.resize(payload.size() + static_cast<std::size_t>(valueBytes), value);
    return FrameLength(payload);
}

// Stuffed reply frames: a read's (value bytes all `value`) and a write's status.
int ReadReplyBytes(int valueBytes, std::uint8_t value) {
    std::vector<std::uint8_t> reply(static_cast<std::size_t>(valueBytes) + 1, value);
    reply[0] = ReadReplyCode;
    return FrameLength(reply);
}
int StatusReplyBytes() { return FrameLength({0x11, 0x00}); }

// Every one of `samples` transfers of `elements` succeeds; their times go to `ms`.
bool Passes(const std::function<Sample(int)>& one, int elements, int samples, std::vector<double>& ms,
            std::map<int, int>& failures) {
    ms.clear();
    for (int i = 0; i < samples; ++i) {
        Sample s = one(elements);
        ms.push_back(s.ms);
        if (!s.ok) {
            ++failures[s.rc];
            return false;
        }
    }
    return true;
}

// The largest block up to LargestWordBlock that passes every sample: the
// largest first, then bisection below it. Its times in `ms`.
int Edge(const std::function<Sample(int)>& one, int samples, std::vector<double>& ms, std::map<int, int>& failures) {
    if (Passes(one, LargestWordBlock, samples, ms, failures)) return LargestWordBlock;
    int lo = 0, hi = LargestWordBlock;
    std::vector<double> loMs;
    while (hi - lo > 1) {
        int mid = lo + (hi - lo) / 2;
        std::vector<double> midMs;
        if (Passes(one, mid, samples, midMs, failures)) {
            lo = mid;
            loMs = midMs;
        } else {
            hi = mid;
        }
    }
    ms = loMs;
    return lo;
}

} // namespace

bool RunLine(const Options& options, bool latency, bool grid, bool spy, LineReport& report, std::string& error) {
    LogCount log;
    log.verbose = options.verbose;
    korvan_set_sink(Sink, &log);
    Driver driver;
    if (!driver.Load(options.driverPath, error)) return false;
    std::mt19937 rng(20240601);
    const LineKind ideal{"ideal", 0, 0};
    const LineKind field{"turnaround 20 ms, latency timer 16 ms", 20, 16};

    if (latency) {
        Line l;
        if (!OpenLine(driver, log, 0, ideal, l, error)) return false;
        std::fprintf(stderr, "bench: latency on an unpaced pty, %d samples each\n", options.latencySamples);
        report.latency.push_back(Latency("BlockRead, 2 W", options.latencySamples,
                                         [&] { return ReadWords(driver, l, LatencyAddress, 2, Values::Random, rng); }));
        report.latency.push_back(Latency("BlockWrite, 2 W", options.latencySamples,
                                         [&] { return WriteWords(driver, l, LatencyAddress, 2, rng); }));
        CloseLine(driver, l);

        Line p;
        if (!OpenLine(driver, log, 9600, ideal, p, error)) return false;
        std::fprintf(stderr, "bench: 2-W reads paced both ways at 9600 baud, %d samples\n", options.pacedSamples);
        LatencyResult paced = Latency("BlockRead, 2 W, 9600 baud", options.pacedSamples, [&] {
            // Values without 0x10, so that every sample has the same frames.
            return ReadWords(driver, p, LatencyAddress, 2, Values::NoDle, rng);
        });
        paced.lineMs = LineSeconds(RequestBytes(0x50, 4, 0) + ReadReplyBytes(4, 0), 9600) * 1000;
        report.paced.push_back(paced);
        CloseLine(driver, p);
    }

    if (grid) {
        for (int baud : {9600, 19200, 38400}) {
            for (const LineKind& kind : {ideal, field}) {
                Line l;
                if (!OpenLine(driver, log, baud, kind, l, error)) return false;
                for (bool allDle : {false, true}) {
                    GridRow row;
                    row.baud = baud;
                    row.line = kind;
                    row.allDle = allDle;
                    Values values = allDle ? Values::AllDle : Values::Random;
                    std::uint8_t typical = allDle ? 0x10 : 0x00;
                    std::vector<double> ms;
                    row.readEdge = Edge([&](int n) { return ReadWords(driver, l, LineAddress, n, values, rng); },
                                        options.gridSamples, ms, row.failures);
                    row.readMs = Summarize(ms);
                    row.readLineMs = LineSeconds(RequestBytes(0x50, 2 * row.readEdge, 0) +
                                                     ReadReplyBytes(2 * row.readEdge, typical),
                                                 baud) *
                                     1000;
                    row.writeEdge = Edge([&](int n) { return WriteWords(driver, l, LineAddress, n, rng, allDle); },
                                         options.gridSamples, ms, row.failures);
                    row.writeMs = Summarize(ms);
                    row.writeLineMs = LineSeconds(RequestBytes(0x60, 2 * row.writeEdge, typical) + StatusReplyBytes(),
                                                  baud) *
                                      1000;
                    std::vector<double> bit, nibble;
                    for (int i = 0; i < options.gridSamples; ++i) {
                        Sample b = MergedWrite(driver, l, LineAddress + 0x100, false, rng);
                        Sample n = MergedWrite(driver, l, LineAddress + 0x200, true, rng);
                        bit.push_back(b.ms);
                        nibble.push_back(n.ms);
                        if (!b.ok) ++row.failures[b.rc];
                        if (!n.ok) ++row.failures[n.rc];
                    }
                    row.bitMs = Summarize(bit);
                    row.nibbleMs = Summarize(nibble);
                    std::fprintf(stderr, "bench: %d baud, %s, %s: read %d W, write %d W\n", baud, kind.name,
                                 allDle ? "all 0x10" : "random", row.readEdge, row.writeEdge);
                    report.grid.push_back(row);
                }
                CloseLine(driver, l);
            }
        }
    }
    if (spy) {
        // The spy between the driver and an unpaced simulator: the driver
        // opens the spy's pseudo-terminal, the spy the simulator's.
        zulsim::Options so;
        so.readReplyCode = ReadReplyCode;
        zulsim::PanelSim sim(so);
        if (!sim.Start(&error)) return false;
        zulhost::SpySetup setup;
        setup.realPort = sim.DevicePath();
        volatile bool stop = false;
        std::string pty, spyError;
        zulhost::SpyStats stats;
        std::mutex readyMutex;
        std::condition_variable readyCv;
        bool failed = false;
        std::thread tap([&] {
            bool ok = zulhost::Spy(
                setup,
                [&](const std::string& path) {
                    std::lock_guard<std::mutex> lock(readyMutex);
                    pty = path;
                    readyCv.notify_all();
                },
                nullptr, &stop, stats, &spyError);
            std::lock_guard<std::mutex> lock(readyMutex);
            failed = !ok;
            readyCv.notify_all();
        });
        {
            std::unique_lock<std::mutex> lock(readyMutex);
            readyCv.wait(lock, [&] { return !pty.empty() || failed; });
        }
        if (failed) {
            tap.join();
            error = "spy: " + spyError;
            return false;
        }
        Line l;
        l.sim = nullptr;
        std::memset(&l.channel, 0, sizeof l.channel);
        ColdStartParams params;
        std::memset(&params, 0, sizeof params);
        std::snprintf(params.PortName, sizeof params.PortName, "%s", pty.c_str());
        params.ActiveFlag = 1;
        params.ResponseTimeout = ResponseTimeout;
        params.BaudRate = 9600;
        params.ByteSize = 8;
        log.started = false;
        std::int32_t rc = driver.Call(l.channel, ColdStartCode, &params);
        SpyResult r;
        std::vector<double> ms;
        if (rc == 0 && log.started) {
            std::fprintf(stderr, "bench: 2-W reads through the spy, %d samples\n", options.latencySamples);
            for (int i = 0; i < options.latencySamples; ++i) {
                std::vector<std::uint8_t> memory{static_cast<std::uint8_t>(rng()), 0x12, 0x78, 0x56};
                sim.SetBytes(LatencyAddress, memory);
                std::vector<std::uint8_t> slots(8, HostFill);
                PointRequest points = Words(LatencyAddress, 2, slots);
                Clock::time_point start = Clock::now();
                std::int32_t got = driver.Call(l.channel, BlockReadCode, &points);
                ms.push_back(MsSince(start));
                ++r.reads;
                r.ok += got == 0 && slots[2] == memory[0] && slots[7] == memory[3];
            }
            driver.Call(l.channel, ClosePortCode, nullptr);
        }
        stop = true;
        tap.join();
        sim.Stop();
        if (rc != 0) {
            error = "ColdStart through the spy: rc " + std::to_string(rc);
            return false;
        }
        r.readMs = Summarize(ms);
        r.forwardUs = Summarize(stats.forwardUs);
        r.forwarded = static_cast<int>(stats.forwardUs.size());
        report.spy.push_back(r);
    }
    korvan_set_sink(nullptr, nullptr);
    return true;
}

bool RunLongLinks(const Options& options, LineReport& report, std::string& error) {
    LogCount log;
    log.verbose = options.verbose;
    korvan_set_sink(Sink, &log);
    Driver driver;
    if (!driver.Load(options.driverPath, error)) return false;
    std::mt19937 rng(20261209);
    constexpr std::int32_t LongTimeout = 200; // R = 2 s
    constexpr int Samples = 3;

    for (int baud : {9600, 19200, 38400}) {
        for (int linkMs : {0, 100, 300, 900}) {
            LineKind kind{"long link", 0, 0, linkMs};
            Line l;
            if (!OpenLine(driver, log, baud, kind, l, error, LongTimeout)) return false;
            std::fprintf(stderr, "bench: %d baud behind a %d ms link\n", baud, linkMs);
            for (int words : {1, 16, 64, 127}) {
                LongLinkRow row;
                row.baud = baud;
                row.linkMs = linkMs;
                row.words = words;
                row.samples = Samples;
                std::vector<double> reads, writes;
                for (int i = 0; i < Samples; ++i) {
                    Sample w = WriteWords(driver, l, LineAddress, words, rng);
                    Sample r = ReadWords(driver, l, LineAddress, words, Values::NoDle, rng);
                    writes.push_back(w.ms);
                    reads.push_back(r.ms);
                    row.writeOk += w.ok;
                    row.readOk += r.ok;
                }
                row.readMs = Summarize(reads);
                row.writeMs = Summarize(writes);
                row.readRefMs = LineSeconds(RequestBytes(0x50, 2 * words, 0) + ReadReplyBytes(2 * words, 0), baud) *
                                    1000 +
                                linkMs;
                row.writeRefMs = LineSeconds(RequestBytes(0x60, 2 * words, 0) + StatusReplyBytes(), baud) * 1000 +
                                 linkMs;
                report.longLinks.push_back(row);
            }
            CloseLine(driver, l);
        }
    }

    // A panel that falls silent after its channel was started on a direct
    // line: what each read costs the host's thread.
    Line l;
    if (!OpenLine(driver, log, 0, LineKind{"direct", 0, 0}, l, error)) return false;
    SilentCost cost;
    std::vector<double> first, later;
    for (int round = 0; round < 5; ++round) {
        // Answering again, a read brings the channel back in step.
        l.sim->SetSilent(false);
        ReadWords(driver, l, LatencyAddress, 2, Values::Random, rng);
        l.sim->SetSilent(true);
        for (int i = 0; i < 4; ++i) {
            Sample s = ReadWords(driver, l, LatencyAddress, 2, Values::Random, rng);
            (i == 0 ? first : later).push_back(s.ms);
        }
    }
    cost.samples = static_cast<int>(first.size() + later.size());
    cost.firstMs = Summarize(first);
    cost.laterMs = Summarize(later);
    report.silent.push_back(cost);
    CloseLine(driver, l);
    korvan_set_sink(nullptr, nullptr);
    return true;
}

bool RunDeviceServers(const Options& options, LineReport& report, std::string& error) {
    LogCount log;
    log.verbose = options.verbose;
    korvan_set_sink(Sink, &log);
    Driver driver;
    if (!driver.Load(options.driverPath, error)) return false;
    std::mt19937 rng(20261210);
    constexpr int Baud = 9600;

    std::string folder = gwtest::TempFolder();
    if (folder.empty() || mkdir((folder + "/ports").c_str(), 0700) != 0) {
        error = "no folder for the device server's ports";
        return false;
    }
    setenv("ZULTRK_PORTS", (folder + "/ports").c_str(), 1);
    for (const LineKind& kind :
         {LineKind{"turnaround 20 ms", 20, 0}, LineKind{"turnaround 20 ms, latency timer 16 ms", 20, 16}}) {
        Line l;
        // The panel first, so that ser2net has its device.
        zulsim::Options o;
        o.baud = Baud;
        o.turnaroundMs = kind.turnaroundMs;
        o.latencyTimerMs = kind.latencyTimerMs;
        o.readReplyCode = ReadReplyCode;
        l.sim = std::make_unique<zulsim::PanelSim>(o);
        if (!l.sim->Start(&error)) return false;
        devsrv::Ser2net server(folder, l.sim->DevicePath());
        if (!server.Start()) {
            error = "ser2net did not start: " + server.Output();
            return false;
        }
        unlink((folder + "/ports/RAW").c_str());
        unlink((folder + "/ports/RFC").c_str());
        symlink(devsrv::Ser2net::Url("tcp", server.raw).c_str(), (folder + "/ports/RAW").c_str());
        symlink(devsrv::Ser2net::Url("rfc2217", server.rfc2217).c_str(), (folder + "/ports/RFC").c_str());

        struct Way {
            const char* name;
            std::string port;
        };
        for (const Way& way :
             {Way{"pseudo-terminal", ""}, Way{"ser2net, raw TCP", "RAW"}, Way{"ser2net, RFC 2217", "RFC"}}) {
            std::fprintf(stderr, "bench: device server: %s, %s\n", kind.name, way.name);
            if (!OpenLine(driver, log, Baud, kind, l, error, ResponseTimeout, way.port)) return false;
            DeviceServerRow row;
            row.line = kind.name;
            row.way = way.name;
            LatencyResult small = Latency(way.name, options.pacedSamples / 2,
                                          [&] { return ReadWords(driver, l, LatencyAddress, 2, Values::NoDle, rng); });
            LatencyResult large = Latency(way.name, 10, [&] {
                return ReadWords(driver, l, LineAddress, LargestWordBlock, Values::NoDle, rng);
            });
            row.samples2 = small.samples;
            row.ok2 = small.ok;
            row.read2 = small.ms;
            row.samples127 = large.samples;
            row.ok127 = large.ok;
            row.read127 = large.ms;
            row.line2Ms = LineSeconds(RequestBytes(0x50, 4, 0) + ReadReplyBytes(4, 0x11), Baud) * 1000;
            row.line127Ms = LineSeconds(RequestBytes(0x50, 2 * LargestWordBlock, 0) +
                                            ReadReplyBytes(2 * LargestWordBlock, 0x11),
                                        Baud) *
                            1000;
            report.deviceServers.push_back(row);
            driver.Call(l.channel, ClosePortCode, nullptr);
            // ser2net's accepters share the device: the next one can open it
            // once this connection's side has let it go.
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        server.Stop();
        l.sim->Stop();
    }
    unsetenv("ZULTRK_PORTS");
    std::filesystem::remove_all(folder);
    korvan_set_sink(nullptr, nullptr);
    return true;
}

} // namespace zulbench
