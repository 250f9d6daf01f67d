// zulgate in this process, as main() puts it together (its configuration
// written to a file and read back, every address through the driver's
// CheckAddress), against paced simulated panels on pseudo-terminals, with
// libmodbus clients over TCP on the loopback:
//   - reads served from the last poll, with 1 and 32 clients at once, against
//     one read of the same points from the panel (the shared request layer,
//     the gateway not running then: the driver takes one call at a time);
//   - a poll cycle of 500 points at 9600, 19200 and 38400 baud, against the
//     line time of the requests it made (their frames and ACKs, as sent);
//   - a write through the gateway against the same write through the shared
//     request layer;
//   - what a silent panel holds its worker for: a probe, and a start.
#include <modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>

#include "bench/bench.h"
#include "bench/bench_gateway.h"
#include "tests/support/free_port.h"
#include "gateway/config.h"
#include "gateway/gateway.h"
#include "gateway/log.h"
#include "host/client/driver_client.h"
#include "host/korvan/korvan.h"
#include "host/client/library_loader.h"
#include "host/client/slots.h"
#include "sim/panel_sim.h"

namespace zulbench {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int LatencyWords = 125; // the most one Modbus read asks for
constexpr std::uint32_t WordsAt = 0x000100;

using zultest::FreePort;

std::unique_ptr<zulsim::PanelSim> PacedPanel(int baud, std::string& error, bool silent = false) {
    zulsim::Options options;
    options.baud = baud;
    options.silent = silent;
    auto sim = std::make_unique<zulsim::PanelSim>(options);
    if (!sim->Start(&error)) return nullptr;
    return sim;
}

// Memory without DLE bytes, so that frames are as long as their payloads say.
std::vector<std::uint8_t> Memory(std::size_t n, std::mt19937& rng) {
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(rng());
        if (b == 0x10) b = 0x11;
    }
    return bytes;
}

// The gateway on one panel, from a configuration file and point list.
class RunningGateway {
public:
    RunningGateway(const std::string& driverPath, const std::string& port, int baud, const std::string& points,
                   int pollMs, std::string& error)
        : gate_(driverPath), modbusPort_(FreePort()) {
        gate_.Write("p.csv", points);
        gate_.Write("gw.toml", "[modbus]\nlisten = \"127.0.0.1:" + std::to_string(modbusPort_) +
                                   "\"\n\n[[panel]]\nname = \"bench\"\nport = \"" + port + "\"\nunit = 1\nbaud = " +
                                   std::to_string(baud) + "\npoll_ms = " + std::to_string(pollMs) +
                                   "\nstale_ms = 60000\npoints = \"p.csv\"\n");
        if (gate_.Check(error)) gate_.Start(error);
    }
    bool Ok() const { return gate_.Running(); }
    int Port() const { return modbusPort_; }
    const zulgate::Gateway& Gateway() const { return gate_.Gateway(); }

    // Waits for `cycles` more complete poll cycles; their durations in ms.
    std::vector<double> Cycles(int cycles, milliseconds wait) const {
        std::vector<double> durations;
        std::uint64_t seen = Gateway().Store().Status(0).cycle.cycles;
        auto until = Clock::now() + wait;
        while (static_cast<int>(durations.size()) < cycles && Clock::now() < until) {
            zulgate::CycleStats c = Gateway().Store().Status(0).cycle;
            if (c.cycles > seen) {
                seen = c.cycles;
                durations.push_back(std::chrono::duration<double, std::milli>(c.lastDuration).count());
                requests_ = c.lastRequests;
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
        return durations;
    }
    int LastRequests() const { return requests_; }

private:
    BenchGateway gate_;
    int modbusPort_;
    mutable int requests_ = 0;
};

modbus_t* Connect(int port) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (ctx != nullptr && modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        return nullptr;
    }
    if (ctx != nullptr) {
        modbus_set_response_timeout(ctx, 10, 0);
        modbus_set_slave(ctx, 1); // the panel's unit; libmodbus would ask for 255
    }
    return ctx;
}

// Reads by `clients` clients at once, each `reads` times, each checked.
GatewayLatency ServedReads(int port, int clients, int reads, const std::vector<std::uint16_t>& expected) {
    GatewayLatency result;
    result.clients = clients;
    std::vector<std::vector<double>> times(static_cast<std::size_t>(clients));
    std::vector<int> ok(static_cast<std::size_t>(clients), 0);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            modbus_t* ctx = Connect(port);
            ++ready;
            while (ready < clients) std::this_thread::yield(); // all connected before any reads
            std::vector<std::uint16_t> got(expected.size());
            for (int i = 0; ctx != nullptr && i < reads; ++i) {
                auto start = Clock::now();
                int n = modbus_read_registers(ctx, 0, static_cast<int>(got.size()), got.data());
                times[static_cast<std::size_t>(c)].push_back(MsSince(start));
                if (n == static_cast<int>(got.size()) && got == expected) ++ok[static_cast<std::size_t>(c)];
            }
            if (ctx) {
                modbus_close(ctx);
                modbus_free(ctx);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    std::vector<double> all;
    for (int c = 0; c < clients; ++c) {
        all.insert(all.end(), times[static_cast<std::size_t>(c)].begin(), times[static_cast<std::size_t>(c)].end());
        result.ok += ok[static_cast<std::size_t>(c)];
    }
    result.samples = static_cast<int>(all.size());
    result.ms = Summarize(all);
    result.p99 = Percentile(all, 0.99);
    return result;
}

// The 500 points of the cycle: 200 W, 150 B, 100 bits of 13 bytes, 50 L eight bytes apart.
std::string FiveHundredPoints() {
    std::string csv = "name,address,table,register,access\n";
    int reg = 0, coil = 0, n = 0;
    auto row = [&](const zulclient::Point& p, const char* table, int& r, int size) {
        csv += "p" + std::to_string(++n) + "," + zulclient::PointText(p) + "," + table + "," + std::to_string(r) +
               ",r\n";
        r += size;
    };
    for (int i = 0; i < 200; ++i) row({'W', 0x1000 + 2 * i, NoBit}, "holding", reg, 1);
    for (int i = 0; i < 150; ++i) row({'B', 0x2000 + i, NoBit}, "holding", reg, 1);
    for (int i = 0; i < 100; ++i) row({'B', 0x3000 + i / 8, i % 8}, "coil", coil, 1);
    for (int i = 0; i < 50; ++i) row({'L', 0x4000 + 8 * i, NoBit}, "holding", reg, 2);
    return csv;
}

// Line time of the requests a plan makes: each request's frame, its reply's
// frame around the panel's bytes, the ACK.
double PlanLineMs(const std::vector<zulgate::BlockRead>& plan, const zulsim::PanelSim& sim, int baud) {
    int bytes = 0;
    for (const zulgate::BlockRead& b : plan) {
        int n = b.ValueBytes();
        std::vector<std::uint8_t> request{0x50, static_cast<std::uint8_t>(b.address >> 16),
                                          static_cast<std::uint8_t>(b.address >> 8),
                                          static_cast<std::uint8_t>(b.address), static_cast<std::uint8_t>(n)};
        std::vector<std::uint8_t> reply{0x50};
        std::vector<std::uint8_t> values = sim.GetBytes(static_cast<std::uint32_t>(b.address),
                                                        static_cast<std::size_t>(n));
        reply.insert(reply.end(), values.begin(), values.end());
        bytes += FrameLength(request) + FrameLength(reply) + 1;
    }
    return LineSeconds(bytes, baud) * 1000;
}

bool Started(zulclient::DriverClient& client, const zulsim::PanelSim& sim, int baud, std::int32_t timeout) {
    zulclient::LineSettings line;
    line.baudRate = static_cast<std::uint16_t>(baud);
    line.dataBits = 8;
    line.timeout = timeout;
    return client.ColdStart(sim.DevicePath(), line).Started();
}

} // namespace

bool RunGateway(const Options& options, GatewayReport& report, std::string& error) {
    std::mt19937 rng(7);
    zulclient::DriverLibrary library;
    if (!library.Load(options.driverPath, false, &error)) return false;
    korvan_set_sink([](int, const char*, void*) {}, nullptr); // the driver's lines are not measured

    // One read of the same points from the panel, through the shared
    // request layer, at 9600 baud.
    std::unique_ptr<zulsim::PanelSim> panel = PacedPanel(9600, error);
    if (!panel) return false;
    std::vector<std::uint8_t> memory = Memory(2 * LatencyWords, rng);
    panel->SetBytes(WordsAt, memory);
    std::vector<std::uint16_t> expected;
    for (int i = 0; i < LatencyWords; ++i)
        expected.push_back(static_cast<std::uint16_t>(memory[2 * i] | memory[2 * i + 1] << 8));
    {
        zulclient::DriverClient direct(library.Entry(), 1);
        if (!Started(direct, *panel, 9600, 100)) {
            error = "cannot start a channel on the paced panel";
            return false;
        }
        std::vector<double> reads;
        for (int i = 0; i < 10; ++i) {
            std::vector<zulclient::Slot> slots(LatencyWords);
            auto start = Clock::now();
            if (direct.BlockRead({'W', static_cast<std::int32_t>(WordsAt), NoBit}, slots).Ok())
                reads.push_back(MsSince(start));
        }
        direct.ClosePort();
        report.panelReadMs = Summarize(reads).median;
    }
    {
        std::fprintf(stderr, "bench: gateway reads\n");
        RunningGateway gate(options.driverPath, panel->DevicePath(), 9600,
                            "name,address,table,register,access,count\nwords,W000100,holding,0,r,125\n", 100, error);
        if (!gate.Ok()) return false;
        gate.Cycles(1, milliseconds(10000));
        report.latency.push_back(ServedReads(gate.Port(), 1, 1000, expected));
        report.latency.push_back(ServedReads(gate.Port(), 32, 100, expected));
    }

    // A poll cycle of 500 points at each speed.
    for (int baud : {9600, 19200, 38400}) {
        std::fprintf(stderr, "bench: gateway cycle at %d baud\n", baud);
        std::unique_ptr<zulsim::PanelSim> sim = PacedPanel(baud, error);
        if (!sim) return false;
        for (std::uint32_t at : {0x1000u, 0x2000u, 0x3000u, 0x4000u}) sim->SetBytes(at, Memory(400, rng));
        RunningGateway gate(options.driverPath, sim->DevicePath(), baud, FiveHundredPoints(), 50, error);
        if (!gate.Ok()) return false;
        gate.Cycles(1, milliseconds(20000)); // the first may share its time with the start
        GatewayCycle c;
        c.baud = baud;
        c.points = 500;
        std::vector<double> cycles = gate.Cycles(5, milliseconds(30000));
        c.cycleMs = Summarize(cycles).median;
        c.cycles = static_cast<int>(cycles.size());
        c.requests = gate.LastRequests();
        c.lineMs = PlanLineMs(gate.Gateway().Plan(0), *sim, baud);
        report.cycles.push_back(c);
    }

    // A write: the shared request layer, then the gateway, each on a paced panel of its own.
    std::fprintf(stderr, "bench: gateway writes\n");
    constexpr int Writes = 40;
    {
        std::unique_ptr<zulsim::PanelSim> sim = PacedPanel(9600, error);
        if (!sim) return false;
        zulclient::DriverClient direct(library.Entry(), 1);
        if (!Started(direct, *sim, 9600, 100)) {
            error = "cannot start a channel on the paced panel";
            return false;
        }
        std::vector<double> ms;
        for (int i = 0; i < Writes; ++i) {
            std::uint16_t v = static_cast<std::uint16_t>(0x2000 + i);
            auto start = Clock::now();
            std::int32_t rc = direct.BlockWrite({'W', 0x100, NoBit}, {zulclient::HalfSlot(v)}).code;
            ms.push_back(MsSince(start));
            report.directWriteOk += rc == 0 && sim->GetBytes(0x100, 2) ==
                                                   std::vector<std::uint8_t>{static_cast<std::uint8_t>(v),
                                                                             static_cast<std::uint8_t>(v >> 8)};
        }
        direct.ClosePort();
        report.directWriteMs = Summarize(ms);
    }
    {
        std::unique_ptr<zulsim::PanelSim> sim = PacedPanel(9600, error);
        if (!sim) return false;
        RunningGateway gate(options.driverPath, sim->DevicePath(), 9600,
                            "name,address,table,register,access\nw,W000100,holding,0,rw\n", 1000, error);
        if (!gate.Ok()) return false;
        gate.Cycles(1, milliseconds(10000));
        modbus_t* ctx = Connect(gate.Port());
        std::vector<double> ms;
        for (int i = 0; ctx != nullptr && i < Writes; ++i) {
            std::uint16_t v = static_cast<std::uint16_t>(0x3000 + i);
            auto start = Clock::now();
            int n = modbus_write_register(ctx, 0, v);
            ms.push_back(MsSince(start));
            report.gatewayWriteOk += n == 1 && sim->GetBytes(0x100, 2) ==
                                                   std::vector<std::uint8_t>{static_cast<std::uint8_t>(v),
                                                                             static_cast<std::uint8_t>(v >> 8)};
        }
        if (ctx) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
        report.writes = Writes;
        report.gatewayWriteMs = Summarize(ms);
    }

    // A silent panel: the probe, and a start with R = 100 ms.
    std::fprintf(stderr, "bench: a silent panel\n");
    {
        std::unique_ptr<zulsim::PanelSim> sim = PacedPanel(9600, error, true);
        if (!sim) return false;
        zulclient::DriverClient client(library.Entry(), 1);
        auto start = Clock::now();
        Started(client, *sim, 9600, 10);
        report.silentStartMs = MsSince(start);
        std::vector<double> probes;
        for (int i = 0; i < 3; ++i) {
            std::vector<zulclient::Slot> slot(1);
            start = Clock::now();
            client.BlockRead({'B', 0x100, NoBit}, slot);
            probes.push_back(MsSince(start));
        }
        client.ClosePort();
        report.silentProbeMs = Summarize(probes).median;
    }
    return true;
}

} // namespace zulbench
