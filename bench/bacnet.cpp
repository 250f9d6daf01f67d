// zulgate's BACnet/IP server in this process, as main() puts it together
// (its configuration written to a file and read back, every address through
// the driver), against a paced simulated panel, asked over UDP on the
// loopback by a client that sends each request when it has the answer to
// the last:
//   - ReadProperty of one point's Present_Value, served from the last
//     poll, against one BlockRead of the same point from the panel;
//   - ReadPropertyMultiple of Present_Value and Status_Flags of 100
//     objects, as the requests it takes without segmentation (50 objects a
//     request), each answer checked against the panel's memory.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench/bench.h"
#include "bench/bench_gateway.h"
#include "tests/support/free_port.h"
#include "gateway/bacnet/envelope.h"
#include "gateway/config.h"
#include "gateway/gateway.h"
#include "gateway/log.h"
#include "host/client/driver_client.h"
#include "host/client/library_loader.h"
#include "host/client/slots.h"
#include "host/korvan/korvan.h"
#include "sim/panel_sim.h"

namespace zulbench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace zulgate::bacnet;

constexpr int Objects = 100;
constexpr int ObjectsPerRequest = 50; // Present_Value and Status_Flags of 64 analog objects fit one answer
constexpr std::uint32_t WordsAt = 0x000100;
constexpr std::uint32_t FirstInstance = 10000; // unit 1, holding 0

using zultest::FreePort;

// The gateway with [bacnet] on one panel of 100 W (tenths of a degree),
// polled back to back.
class BacnetGateway {
public:
    BacnetGateway(const std::string& driverPath, const std::string& port, std::string& error)
        : gate_(driverPath), bacnetPort_(FreePort(SOCK_DGRAM)) {
        gate_.Write("p.csv", "name,address,table,register,access,count,scale,units\nw,W000100,holding,0,r," +
                                 std::to_string(Objects) + ",0.1,degrees-celsius\n");
        gate_.Write("gw.toml", "[modbus]\nlisten = \"127.0.0.1:" + std::to_string(FreePort(SOCK_STREAM)) +
                                   "\"\n\n[bacnet]\nlisten = \"127.0.0.1:" + std::to_string(bacnetPort_) +
                                   "\"\ndevice_instance = 1\n\n[[panel]]\nname = \"bench\"\nport = \"" + port +
                                   "\"\nunit = 1\nbaud = 9600\npoll_ms = 100\nstale_ms = 60000\npoints = \"p.csv\"\n");
        if (gate_.Check(error)) gate_.Start(error);
    }
    bool Ok() const { return gate_.Running(); }
    std::uint16_t Port() const { return static_cast<std::uint16_t>(bacnetPort_); }
    // Until a poll cycle has stored every value.
    bool Polled(std::chrono::milliseconds wait) const {
        for (auto until = Clock::now() + wait; Clock::now() < until;) {
            if (gate_.Gateway().Store().Status(0).cycle.cycles > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    BenchGateway gate_;
    int bacnetPort_;
};

// A client that asks one confirmed request at a time.
class Asker {
public:
    explicit Asker(std::uint16_t port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        to_.sin_family = AF_INET;
        to_.sin_port = htons(port);
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Asker() { close(fd_); }
    Asker(const Asker&) = delete;
    Asker& operator=(const Asker&) = delete;

    // The answer's APDU parameters after a ComplexACK's header; false on
    // anything else or none within 2 s.
    bool Ask(std::uint8_t service, const Bytes& parameters, Bytes& answer) {
        std::uint8_t invoke = ++invoke_;
        Bytes apdu(4 + parameters.size());
        apdu[0] = 0x00; // confirmed, unsegmented
        apdu[1] = 0x05; // answers of up to 1476 octets taken
        apdu[2] = invoke;
        apdu[3] = service;
        std::copy(parameters.begin(), parameters.end(), apdu.begin() + 4);
        Bytes datagram = Wrap(apdu, Reach::Unicast);
        sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) return false;
        std::uint8_t buffer[1600];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        // BVLC (4), a local NPDU (2), ComplexACK, invoke, service.
        if (n < 9 || buffer[6] != 0x30 || buffer[7] != invoke) return false;
        answer.assign(buffer + 9, buffer + n);
        return true;
    }

private:
    int fd_;
    sockaddr_in to_{};
    std::uint8_t invoke_ = 0;
};

float Expected(const std::vector<std::uint8_t>& memory, int k) {
    return static_cast<float>(std::round((memory[2 * k] | memory[2 * k + 1] << 8) * 0.1 * 10) / 10);
}

// Present_Value of object k, checked against the panel's memory.
bool ReadOne(Asker& asker, int k, const std::vector<std::uint8_t>& memory) {
    Bytes request;
    Writer w(request);
    w.ContextObject(0, {ObjectType::AnalogValue, FirstInstance + static_cast<std::uint32_t>(k)});
    w.ContextEnumerated(1, static_cast<std::uint32_t>(Property::PresentValue));
    Bytes answer;
    if (!asker.Ask(static_cast<std::uint8_t>(ConfirmedService::ReadProperty), request, answer)) return false;
    Reader r(answer.data(), answer.size());
    r.ContextObject(0);
    r.ContextEnumerated(1);
    r.Open(3);
    AppValue v = r.Application();
    r.Close(3);
    const float* real = std::get_if<float>(&v);
    return !r.Failed() && real && *real == Expected(memory, k);
}

// Present_Value and Status_Flags of objects first..first+count-1.
bool ReadMany(Asker& asker, int first, int count, const std::vector<std::uint8_t>& memory, std::size_t& octets) {
    Bytes request;
    Writer w(request);
    for (int k = first; k < first + count; ++k) {
        w.ContextObject(0, {ObjectType::AnalogValue, FirstInstance + static_cast<std::uint32_t>(k)});
        w.Open(1);
        w.ContextEnumerated(0, static_cast<std::uint32_t>(Property::PresentValue));
        w.ContextEnumerated(0, static_cast<std::uint32_t>(Property::StatusFlags));
        w.Close(1);
    }
    Bytes answer;
    if (!asker.Ask(static_cast<std::uint8_t>(ConfirmedService::ReadPropertyMultiple), request, answer)) return false;
    octets = answer.size() + 3;
    Reader r(answer.data(), answer.size());
    bool ok = true;
    for (int k = first; k < first + count; ++k) {
        r.ContextObject(0);
        r.Open(1);
        r.ContextEnumerated(2);
        r.Open(4);
        AppValue pv = r.Application();
        r.Close(4);
        r.ContextEnumerated(2);
        r.Open(4);
        AppValue flags = r.Application();
        r.Close(4);
        r.Close(1);
        const float* real = std::get_if<float>(&pv);
        const BitString* bits = std::get_if<BitString>(&flags);
        ok = ok && real && *real == Expected(memory, k) && bits && bits->bits == std::vector<bool>(4, false);
    }
    r.ExpectEnd();
    return ok && !r.Failed();
}

} // namespace

bool RunBacnet(const Options& options, BacnetReport& report, std::string& error) {
    zulclient::DriverLibrary library;
    if (!library.Load(options.driverPath, false, &error)) return false;
    korvan_set_sink([](int, const char*, void*) {}, nullptr); // the driver's lines are not measured
    zulsim::Options paced;
    paced.baud = 9600;
    zulsim::PanelSim panel(paced);
    if (!panel.Start(&error)) return false;
    std::vector<std::uint8_t> memory;
    for (int k = 0; k < Objects; ++k) {
        std::uint16_t v = static_cast<std::uint16_t>(200 + 3 * k); // 20.0 to 49.7; no DLE byte
        memory.push_back(static_cast<std::uint8_t>(v));
        memory.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    panel.SetBytes(WordsAt, memory);

    // One read of the same point from the panel, the gateway not running.
    std::fprintf(stderr, "bench: bacnet: one read from the panel\n");
    {
        zulclient::DriverClient direct(library.Entry(), 1);
        zulclient::LineSettings line;
        line.baudRate = 9600;
        line.dataBits = 8;
        line.timeout = 100;
        if (!direct.ColdStart(panel.DevicePath(), line).Started()) {
            error = "cannot start a channel on the paced panel";
            return false;
        }
        std::vector<double> reads;
        for (int i = 0; i < 10; ++i) {
            std::vector<zulclient::Slot> slot(1);
            auto start = Clock::now();
            if (direct.BlockRead({'W', static_cast<std::int32_t>(WordsAt), NoBit}, slot).Ok())
                reads.push_back(MsSince(start));
        }
        direct.ClosePort();
        report.panelReadMs = Summarize(reads).median;
    }

    BacnetGateway gate(options.driverPath, panel.DevicePath(), error);
    if (!gate.Ok()) return false;
    if (!gate.Polled(std::chrono::seconds(20))) {
        error = "the gateway's first poll cycle did not end within 20 s";
        return false;
    }
    Asker asker(gate.Port());
    std::fprintf(stderr, "bench: bacnet: ReadProperty\n");
    std::vector<double> reads;
    for (int i = 0; i < report.reads; ++i) {
        auto start = Clock::now();
        bool ok = ReadOne(asker, 0, memory);
        reads.push_back(MsSince(start));
        report.readOk += ok;
    }
    report.readMs = Summarize(reads);
    report.readP99 = Percentile(reads, 0.99);

    std::fprintf(stderr, "bench: bacnet: ReadPropertyMultiple\n");
    report.objects = Objects;
    report.requestsPerRound = Objects / ObjectsPerRequest;
    std::vector<double> requests, rounds;
    for (int i = 0; i < report.rounds; ++i) {
        auto round = Clock::now();
        bool ok = true;
        for (int first = 0; first < Objects; first += ObjectsPerRequest) {
            auto start = Clock::now();
            bool answered = ReadMany(asker, first, ObjectsPerRequest, memory, report.answerOctets);
            requests.push_back(MsSince(start));
            report.requestOk += answered;
            ok = ok && answered;
        }
        rounds.push_back(MsSince(round));
        report.roundOk += ok;
    }
    report.requestMs = Summarize(requests);
    report.requestP99 = Percentile(requests, 0.99);
    report.roundMs = Summarize(rounds);
    report.roundP99 = Percentile(rounds, 0.99);
    return true;
}

} // namespace zulbench
