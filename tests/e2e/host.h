// The host's side of the end-to-end tests: the built driver library loaded
// as a host loads it (dlopen, dlsym "ZulMain"), its log lines caught through
// the host library's sink, and panel simulators on real pseudo-terminals
// whose received frames are recorded from their trace.
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/zultrk.h"
#include "host/korvan/korvan.h"
#include "sim/panel_sim.h"

#ifndef ZULTRK_LIBRARY
#error "ZULTRK_LIBRARY must name the built driver library"
#endif

namespace e2e {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct LogLine {
    int level;
    std::string text;
    bool operator==(const LogLine& other) const { return level == other.level && text == other.text; }
};
using Log = std::vector<LogLine>;
inline std::ostream& operator<<(std::ostream& os, const LogLine& l) {
    return os << "[" << l.level << "] \"" << l.text << "\"";
}

inline std::string Hex(const Bytes& bytes) {
    std::string text;
    char two[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, text.empty() ? "%02X" : " %02X", b);
        text += two;
    }
    return text;
}

inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    std::istringstream in(hex);
    std::string token;
    while (in >> token) out.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    return out;
}

// An oracle of the line format written apart from the driver's codec:
// DLE STX, the payload with each DLE doubled, DLE ETX, then CRC-16/X-25 of
// everything after DLE STX, low byte first, each CRC byte doubled if DLE.
inline std::uint16_t X25(const Bytes& bytes) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return static_cast<std::uint16_t>(crc ^ 0xFFFF);
}

inline Bytes Framed(const Bytes& payload) {
    Bytes body;
    for (std::uint8_t b : payload) {
        body.push_back(b);
        if (b == 0x10) body.push_back(0x10);
    }
    body.push_back(0x10);
    body.push_back(0x03);
    std::uint16_t crc = X25(body);
    // Appended byte by byte: GCC 12 at -O2 reports a false array-bounds
    // error on an insert into a two-byte vector.
    Bytes frame;
    frame.reserve(body.size() + 6);
    frame.push_back(0x10);
    frame.push_back(0x02);
    for (std::uint8_t b : body) frame.push_back(b);
    for (std::uint8_t c : {static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)}) {
        frame.push_back(c);
        if (c == 0x10) frame.push_back(0x10);
    }
    return frame;
}

// The payload of a frame, or "not a frame" unless Framed makes the same bytes of it.
inline std::string PayloadOf(const std::string& frameHex) {
    Bytes frame = FromHex(frameHex), payload;
    for (std::size_t i = 2; i + 1 < frame.size() && !(frame[i] == 0x10 && frame[i + 1] == 0x03); ++i) {
        payload.push_back(frame[i]);
        if (frame[i] == 0x10) ++i; // the doubled DLE
    }
    return Framed(payload) == frame ? Hex(payload) : "not a frame: " + frameHex;
}

// The driver's one export, looked up as a host does.

inline ZulMainFunction DriverEntry() {
    static ZulMainFunction entry = [] {
        void* library = dlopen(ZULTRK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            std::fprintf(stderr, "dlopen %s: %s\n", ZULTRK_LIBRARY, dlerror());
            return static_cast<ZulMainFunction>(nullptr);
        }
        return reinterpret_cast<ZulMainFunction>(dlsym(library, "ZulMain"));
    }();
    return entry;
}

// Frames and bytes that a simulator received from the driver, in order, as
// its trace reports them (hex, one entry per frame or per run of bytes
// outside frames, such as the driver's ACK after each exchange).
class LineRecord {
public:
    void Add(const std::string& traceLine) {
        std::size_t at = traceLine.find(" drv> ");
        if (at == std::string::npos) return;
        std::string rest = traceLine.substr(at + 6);
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(rest.substr(0, rest.find("  ")));
    }
    std::vector<std::string> Received() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    // Only the frames (DLE STX ...), without the bytes between them.
    std::vector<std::string> Frames() const {
        std::vector<std::string> frames;
        for (const std::string& r : Received()) {
            if (r.rfind("10 02", 0) == 0) frames.push_back(r);
        }
        return frames;
    }
    // The payloads of the frames, unstuffed, checked against the oracle.
    std::vector<std::string> Payloads() const {
        std::vector<std::string> payloads;
        for (const std::string& f : Frames()) payloads.push_back(PayloadOf(f));
        return payloads;
    }
    std::size_t Count(const std::string& entry) const {
        std::size_t n = 0;
        for (const std::string& r : Received()) n += r == entry;
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.clear();
    }
    // The trace runs on the simulator's thread: the ACK that ends an
    // exchange may be recorded just after ZulMain has returned.
    void WaitForAck(int ms = 500) const {
        auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) {
            std::vector<std::string> r = Received();
            if (!r.empty() && r.back() == "06") return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
};

// The simulator announces itself with ENQ whenever the driver has been
// silent for a while; one that crosses a wake frame on the line takes the
// place of the ACK, and the driver (rightly) wakes the panel again. Where a
// test is about something else, such repeats are folded into one.
inline std::vector<std::string> WithoutWakeRetries(std::vector<std::string> entries, const std::string& wake) {
    for (std::size_t i = 1; i < entries.size();) {
        if (entries[i] == wake && entries[i - 1] == wake)
            entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
        else
            ++i;
    }
    return entries;
}

// Whether no one holds the device: it opens and takes the exclusive lock
// that the driver's open takes (and that holds even for root).
inline bool DeviceFree(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

// Value slots: 16-bit values live in bytes 2-3 (the upper half on this
// little-endian host); bytes 0-1 are the host's own.
constexpr std::uint32_t Untouched = 0xAAAAAAAAu;
constexpr std::uint32_t HostLow = 0x5555u; // what a host left in bytes 0-1 of a slot it writes from
inline std::uint32_t Half(std::uint16_t value) { return (static_cast<std::uint32_t>(value) << 16) | HostLow; }
inline std::uint32_t FloatBits(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, 4);
    return bits;
}
inline bool IsHalfLetter(char letter) {
    return letter == 'B' || letter == 'E' || letter == 'M' || letter == 'T' || letter == 'W';
}

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Panel dates are local midnights: pin the zone for the whole process.
        setenv("TZ", "UTC0", 1);
        tzset();
        ASSERT_NE(DriverEntry(), nullptr) << "the driver library or its ZulMain export is missing";
        // The driver gives a panel 5 polls of 10 ms to begin its reply; on a
        // busy machine the simulator's thread could miss that window, and a
        // retry would change the log. Where allowed (root), this thread and
        // the simulator threads it starts run ahead of ordinary work.
        static const bool raised = setpriority(PRIO_PROCESS, 0, -10) == 0;
        (void)raised;
        std::memset(&channel, 0, sizeof channel);
        korvan_set_sink(&HostTest::Capture, this);
    }

    void TearDown() override {
        // A port left open would outlive its simulator's pty.
        if (channel.PortHandle != nullptr) Call(ClosePortCode);
        korvan_set_sink(nullptr, nullptr);
        sims.clear();
    }

    static void Capture(int level, const char* line, void* self) {
        static_cast<HostTest*>(self)->log.push_back({level, line});
    }

    // A simulator on a new pty, tracing what it receives into `line`.
    zulsim::PanelSim& StartSim(zulsim::Options options = zulsim::Options()) {
        options.trace = true;
        options.traceSink = [this](const std::string& text) { line.Add(text); };
        sims.push_back(std::make_unique<zulsim::PanelSim>(std::move(options)));
        std::string error;
        EXPECT_TRUE(sims.back()->Start(&error)) << error;
        EXPECT_LT(sims.back()->DevicePath().size(), 12u) << "the device path does not fit the port name";
        return *sims.back();
    }

    std::int32_t Call(std::int32_t code, void* params = nullptr, std::int32_t channelNumber = 1) {
        DriverRequest request;
        std::memset(&request, 0, sizeof request);
        request.Channel = &channel;
        request.Code = code;
        request.ChannelNumber = channelNumber;
        request.Params = params;
        return DriverEntry()(&request);
    }

    static ColdStartParams StartParams(const std::string& port, std::int32_t timeout = 100, std::int32_t active = 1) {
        ColdStartParams p;
        std::memset(&p, 0, sizeof p);
        std::strncpy(p.PortName, port.c_str(), sizeof p.PortName - 1);
        p.ActiveFlag = active;
        p.ResponseTimeout = timeout;
        p.BaudRate = 9600;
        p.ByteSize = 8;
        p.StopBits = 0; // one
        p.Parity = 0;   // none
        return p;
    }

    std::int32_t ColdStart(const std::string& port, std::int32_t timeout = 100, std::int32_t channelNumber = 1) {
        ColdStartParams p = StartParams(port, timeout);
        return Call(ColdStartCode, &p, channelNumber);
    }

    std::int32_t Reopen(const std::string& port, std::int32_t timeout = 0) {
        ReopenParams p;
        std::memset(&p, 0, sizeof p);
        std::strncpy(p.PortName, port.c_str(), sizeof p.PortName - 1);
        p.ResponseTimeout = timeout;
        p.BaudRate = 9600;
        p.ByteSize = 8;
        return Call(ReopenPortCode, &p);
    }

    // A started channel on a fresh simulator, its log and line record cleared.
    zulsim::PanelSim& Started(zulsim::Options options = zulsim::Options()) {
        zulsim::PanelSim& sim = StartSim(std::move(options));
        EXPECT_EQ(ColdStart(sim.DevicePath()), 0);
        EXPECT_NE(channel.PortHandle, nullptr);
        line.WaitForAck();
        log.clear();
        line.Clear();
        return sim;
    }

    static PointRequest Points(char letter, std::uint32_t address, std::int32_t count, void* values,
                               std::int32_t bit = NoBit) {
        PointRequest p;
        std::memset(&p, 0, sizeof p);
        p.TypeLetter = letter;
        p.PointAddress = static_cast<std::int32_t>(address);
        p.BitNumber = bit;
        p.ElementCount = count;
        p.ValueBuffer = values;
        return p;
    }

    std::int32_t Read(char letter, std::uint32_t address, std::vector<std::uint32_t>& slots, std::int32_t bit = NoBit,
                      std::int32_t code = BlockReadCode) {
        PointRequest p = Points(letter, address, static_cast<std::int32_t>(slots.size()), slots.data(), bit);
        return Call(code, &p);
    }

    std::int32_t Write(char letter, std::uint32_t address, std::vector<std::uint32_t> slots, std::int32_t bit = NoBit,
                       std::int32_t code = BlockWriteCode) {
        PointRequest p = Points(letter, address, static_cast<std::int32_t>(slots.size()), slots.data(), bit);
        PointRequest before = p;
        std::vector<std::uint32_t> given = slots;
        std::int32_t rc = Call(code, &p);
        EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0) << "a write changed its parameter block";
        EXPECT_EQ(slots, given) << "a write changed the host's values";
        return rc;
    }

    ChannelContext channel;
    Log log;
    LineRecord line;
    std::vector<std::unique_ptr<zulsim::PanelSim>> sims; // after `line`: destroyed first
};

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The simulator's default options with one change.
template <class F>
zulsim::Options With(F change) {
    zulsim::Options o;
    change(o);
    return o;
}

} // namespace e2e
