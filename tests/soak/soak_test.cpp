// Fault soak: thousands of mixed reads and writes of every type through the
// built libzultrk.so, loaded with dlopen as a host loads it, against the
// panel simulator on a pty with random line faults and late replies; once
// on an unpaced line, once on a line with field timing.
//
//   ZUL_SOAK_SEED      seed of the requests and of the simulator's faults (1)
//   ZUL_SOAK_SEEDS     runs with this many seeds from ZUL_SOAK_SEED on (1)
//   ZUL_SOAK_REQUESTS  point requests to run at most (2000)
//   ZUL_SOAK_SECONDS   and for at most this long; the request running then
//                      is finished (30, for each of the two lines below)
//   ZUL_SOAK_RATE      scale of the line-fault rates below, 0 for none (1)
//   ZUL_SOAK_LATE      share of replies sent late, by 20 ms to ZUL_SOAK_LATE_MAX (0.2)
//   ZUL_SOAK_LATE_MAX  the latest of them, ms (200 unpaced, 150 on the field line)
//   ZUL_SOAK_SPLIT     share of replies cut in two, 5-60 ms apart (0.1);
//                      late ones among them
//   ZUL_SOAK_TIMEOUT   the host's response timeout, units of 10 ms (20)
//   ZUL_SOAK_BAUD      the field line's speed, both ways (9600)
//   ZUL_SOAK_TURNAROUND  the field panel's delay before each reply, ms (20)
//   ZUL_SOAK_LATENCY   the field line's USB adapter latency timer, ms (16)
//   ZUL_SOAK_INORDER   share of replies held back in order, ZUL_SOAK_INORDER_MS
//                      (MIN,MAX, default 250 ms to five read timeouts) late,
//                      every later reply waiting behind them, as a serial
//                      panel's do: the third soak, which runs only when this
//                      is set, on the field line with no overtaking late
//                      replies and a read timeout of 500 ms
//   ZUL_SOAK_LINK_DELAY  a long link in front of the panel, ms (0)
//   ZUL_SOAK_VERBOSE   1: print every failed request with its log and line
//   ZUL_SOAK_SHOW_SLOWER  N: print every request slower than N ms likewise
//
// The oracle is the simulator's memory (GetBytes), never the driver:
//
// * A shadow copy holds every byte the soak has set or seen. Before each
//   request the bytes it covers, four on either side, must still be what
//   the copy says: nothing may change the panel's memory between requests
//   (a write applied late, after its request returned, would show here).
// * A read that returns 0 must give exactly the values decoded by letter
//   (oracle.cpp) from the memory bytes; bytes 0-1 of 16-bit slots and the
//   guard slots after the last element keep what the host put there. A
//   read that fails (1 or 2) leaves every slot as it was.
// * A write is judged by what the simulator did with it: its count of
//   applied write frames tells whether the write reached the memory during
//   the request. If it did, the bytes must be exactly the intended ones (the
//   host's values merged into the bytes before, for bits and nibbles); if
//   not, they must be the bytes before. Either way the neighbouring bytes,
//   and within a bit or nibble write every other bit of the point, are
//   unchanged. A write that returns 0 must have been applied. So a write
//   whose reply was lost may fail with its value in memory, and that is
//   right; any other state is a wrong value. After each request the shadow
//   copy takes the bytes as they are, so one fault is counted once.
// * Every request that fails returns 1 or 2 and ends with its failure line
//   (BlockRead or BlockWrite, with that result); a request that succeeds
//   logs at most the receive lines of attempts that heard nothing. Every
//   channel line carries the request's own channel number.
// * No request takes longer than the worst case that the driver's timings
//   allow (WorstCase below), and the open descriptors of the process do not
//   grow over the run (ports are closed, reopened and replaced on the way).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "sim/panel_sim.h"
#include "tests/soak/loaded_driver.h"
#include "tests/soak/oracle.h"

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;

double EnvNumber(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    double v = std::strtod(text, &end);
    return end && *end == '\0' ? v : fallback;
}

struct Config {
    std::uint64_t seed = static_cast<std::uint64_t>(EnvNumber("ZUL_SOAK_SEED", 1));
    int requests = static_cast<int>(EnvNumber("ZUL_SOAK_REQUESTS", 2000));
    double seconds = EnvNumber("ZUL_SOAK_SECONDS", 30);
    double rate = EnvNumber("ZUL_SOAK_RATE", 1);
    double late = EnvNumber("ZUL_SOAK_LATE", 0.2);
    double split = EnvNumber("ZUL_SOAK_SPLIT", 0.1);
    int timeout = static_cast<int>(EnvNumber("ZUL_SOAK_TIMEOUT", 20));
    int seeds = static_cast<int>(EnvNumber("ZUL_SOAK_SEEDS", 1));
    // The line: unpaced, or as in the field (Field()).
    int baud = 0;
    int turnaroundMs = 0;
    int latencyTimerMs = 0;
    // The driver drains until the line has been idle 200 ms after it stopped
    // waiting; it waits 50 ms beyond the request's own line time, so it
    // catches a reply that comes up to 250 ms after the request reached the
    // panel. A panel that normally answers after T (turnaround plus the
    // adapter's latency) may then be late by 250 ms - T at most: 200 ms on the
    // unpaced line, 150 ms on the field line (T = 20 + 16 ms, and margin for
    // the simulator's own scheduling). Later replies are beyond what the
    // driver promises to catch (docs/integrators.md, "Receive timing").
    int lateMaxMs = static_cast<int>(EnvNumber("ZUL_SOAK_LATE_MAX", 200));
    const char* line = "unpaced";

    static Config Field() {
        Config c;
        c.baud = static_cast<int>(EnvNumber("ZUL_SOAK_BAUD", 9600));
        c.turnaroundMs = static_cast<int>(EnvNumber("ZUL_SOAK_TURNAROUND", 20));
        c.latencyTimerMs = static_cast<int>(EnvNumber("ZUL_SOAK_LATENCY", 16));
        c.lateMaxMs = static_cast<int>(EnvNumber("ZUL_SOAK_LATE_MAX", 150));
        c.line = "field";
        return c;
    }
    static Config InOrder() {
        Config c = Field();
        c.timeout = static_cast<int>(EnvNumber("ZUL_SOAK_TIMEOUT", 50));
        c.late = 0;
        c.inOrder = EnvNumber("ZUL_SOAK_INORDER", 0);
        c.inOrderMinMs = 250;
        c.inOrderMaxMs = 5 * 10 * c.timeout;
        if (const char* range = std::getenv("ZUL_SOAK_INORDER_MS")) {
            std::sscanf(range, "%d,%d", &c.inOrderMinMs, &c.inOrderMaxMs);
        }
        c.line = "field, in order";
        return c;
    }
    double inOrder = 0;
    int inOrderMinMs = 0, inOrderMaxMs = 0;
    int linkDelayMs = static_cast<int>(EnvNumber("ZUL_SOAK_LINK_DELAY", 0));
    bool verbose = EnvNumber("ZUL_SOAK_VERBOSE", 0) != 0;       // every failure with its log and line trace
    double showSlowerMs = EnvNumber("ZUL_SOAK_SHOW_SLOWER", 0); // > 0: the same for slower requests
};

// ---- the worst case the driver's timings allow -----------------------------
//
// In milliseconds, with R the port's read timeout (the host's response
// timeout as ColdStart sets it) and the channel at 9600 baud, 10 bits a
// character (1042 us, as the driver rounds it):
//
//   flush F    the purge before each write: at once on an empty queue,
//              else 50 ms reads of up to 512 bytes until one comes back
//              short. The simulator never has 512 bytes pending twice in a
//              row (its largest reply is under 600 bytes and late ones come
//              one by one), so at most two reads wait: F = 100.
//   receive P  at most its cap: the wait for the first byte (the longer of
//              five 10 ms pauses and the request's line time, and that line
//              time with the learned wait, at most R), the line time of 590
//              bytes (615) and twice R (the silences of a reply in pieces);
//              a poll that finds bytes reads only what waits.
//   drain D    after an exchange that did not end on an accepted reply, or
//              in which some attempt heard nothing: at most 1000 ms of 10 ms
//              pauses (reads there take what waits).
//   exchange   E(b) = 3 (F + P(b)) + F (the ACK's purge) + D, for a request
//              frame of b bytes (reads at most 16 stuffed, writes 2 (5 + n) + 6).
//   fence      a one-byte read and the version request: E(16) + E(7), before
//              any request on a channel out of step.
//   wake-up    five attempts of a 200 ms pause after the RTS pulse, five
//              reads for ENQ of at most R each, a purge, the wake frame,
//              50 ms and the reads of its answer, past announcements, for at
//              most 2R: W = 5 (200 + 5R + F + 50 + 2R) = 5 (250 + F + 7R).
//   handshake  H = W + E(7) (the version request is one exchange).
//
// A refused read reply runs the handshake and ends the read, so a request
// meets at most one handshake, and it comes last:
//   whole-value write     fence + E(write)
//   read                  fence + E(read) + H
//   nibble, bit on B T W  fence, preparatory read, fence, then the write:
//                         2 fence + E(read) + max(E(write), H)
//   bit on E or M         three fences, two preparatory reads: 3 fence + 2 E(read) + max(E(write), H)
//   ColdStart             open, H;  WarmStart F + H;  ClosePort 0.
// Writes to a pty and the sleeps' own overshoot are left to the slack: a
// request may take 10 % + 250 ms beyond its bound (scheduling on a loaded
// two-core machine, sanitizer builds).
struct WorstCase {
    explicit WorstCase(int timeoutTenMs) : r(timeoutTenMs * 10.0) {}
    static double Allowed(double bound) { return bound * 1.1 + 250; }
    static int Pauses(int bytes) { return (bytes * 1042 + 9999) / 10000; }
    double Receive(int requestBytes) const {
        double first = std::max(10.0 * (5 + Pauses(requestBytes)), requestBytes * 1.042 + 1 + r);
        return first + 615 + std::max(50.0, 2 * r);
    }
    static int ReadFrame() { return 16; }
    static int WriteFrame(int valueBytes) { return 2 * (5 + valueBytes) + 6; }
    double Exchange(int requestBytes) const { return 3 * (flush + Receive(requestBytes)) + flush + drain; }
    double Fence() const { return Exchange(ReadFrame()) + Exchange(7); }
    double Handshake() const { return 5 * (250 + flush + 7 * r) + Exchange(7); }
    double r;
    double flush = 100, drain = 1000;
};

// ---- requests ------------------------------------------------------------

// RefusedWrite: a write the driver has no way to send (a D value, a nibble
// or bit write of more than one element); it must fail with 1 off the line.
enum class Kind { Read, WholeWrite, NibbleWrite, BitWrite, NibbleBitWrite, RefusedWrite };

const char* KindName(Kind k) {
    switch (k) {
    case Kind::Read:
        return "read";
    case Kind::WholeWrite:
        return "write";
    case Kind::NibbleWrite:
        return "nibble write";
    case Kind::BitWrite:
        return "bit write";
    case Kind::NibbleBitWrite:
        return "nibble bit write";
    default:
        return "unsendable write";
    }
}

struct Request {
    Kind kind = Kind::Read;
    PointOp op;
};

constexpr std::uint32_t RegionA = 0x002000; // plain addresses
constexpr std::uint32_t RegionB = 0x101000; // the address byte 10 is doubled on the line
constexpr std::uint32_t RegionSize = 0x800;
constexpr std::uint32_t MemoryEnd = 0x1000000;
constexpr int Margin = 4;
constexpr int GuardSlots = 2;
constexpr int MaxSlots = 255 + GuardSlots;

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    std::uint8_t Byte() {
        // Line control bytes and the status reply code, often: they must
        // all be doubled or carried through untouched.
        static const std::uint8_t special[] = {0x10, 0x02, 0x03, 0x05, 0x06, 0x11, 0x15};
        if (Chance(0.15)) return special[Between(0, 6)];
        return static_cast<std::uint8_t>(Between(0, 255));
    }

    Request Next() {
        Request r;
        static const char readLetters[] = "BEMTWLFD";
        static const char wholeLetters[] = "BTWLF";
        static const char bitLetters[] = "BWT";
        int pick = Between(0, 99);
        if (pick < 55) {
            r.kind = Kind::Read;
            r.op.letter = readLetters[Between(0, 7)];
            if (r.op.letter == 'B' && Chance(0.3)) r.op.bit = Between(0, 15);
            if (r.op.letter == 'W' && Chance(0.1)) r.op.bit = Between(0, 15); // ignored when decoding
            r.op.count = Count(255 / BytesPer(r.op.letter));
        } else if (pick < 75) {
            r.kind = Kind::WholeWrite;
            r.op.letter = wholeLetters[Between(0, 4)];
            r.op.count = Count(255 / BytesPer(r.op.letter));
        } else if (pick < 85) {
            r.kind = Kind::NibbleWrite;
            r.op.letter = Chance(0.5) ? 'E' : 'M';
        } else if (pick < 93) {
            r.kind = Kind::BitWrite;
            r.op.letter = bitLetters[Between(0, 2)];
            r.op.bit = Between(0, 15);
        } else if (pick < 98) {
            r.kind = Kind::NibbleBitWrite;
            r.op.letter = Chance(0.5) ? 'E' : 'M';
            r.op.bit = Chance(0.8) ? Between(0, 3) : Between(4, 15);
        } else {
            r.kind = Kind::RefusedWrite;
            static const char refusedLetters[] = "DEMBW";
            r.op.letter = refusedLetters[Between(0, 4)];
            r.op.count = Between(r.op.letter == 'D' ? 1 : 2, 4);
            if (r.op.letter == 'B' || r.op.letter == 'W') r.op.bit = Between(0, 15);
        }
        int n = TransferBytes(r.op);
        int where = Between(0, 9);
        if (where < 4) {
            r.op.address = RegionA + static_cast<std::uint32_t>(Between(0, static_cast<int>(RegionSize) - n));
        } else if (where < 8) {
            r.op.address = RegionB + static_cast<std::uint32_t>(Between(0, static_cast<int>(RegionSize) - n));
        } else {
            r.op.address = static_cast<std::uint32_t>(Between(0, static_cast<int>(MemoryEnd) - n));
        }
        return r;
    }

private:
    int Count(int max) {
        int pick = Between(0, 9);
        if (pick < 6) return Between(1, std::min(4, max));
        if (pick < 9) return Between(1, std::min(32, max));
        return Between(1, max);
    }
    std::mt19937_64 rng_;
};

std::string Describe(const Request& r) {
    char text[96];
    if (r.op.bit != NoBit) {
        std::snprintf(text, sizeof text, "%s %c%06X bit %d", KindName(r.kind), r.op.letter, r.op.address, r.op.bit);
    } else {
        std::snprintf(text, sizeof text, "%s %c%06X x%d", KindName(r.kind), r.op.letter, r.op.address, r.op.count);
    }
    return text;
}

std::string Hex(const Bytes& b) {
    std::string out;
    char two[4];
    for (std::uint8_t c : b) {
        std::snprintf(two, sizeof two, "%02X ", c);
        out += two;
    }
    return out;
}

// ---- the soak --------------------------------------------------------------

class Soak {
public:
    explicit Soak(const Config& c) : config_(c), worst_(c.timeout), gen_(c.seed * 0x9E3779B97F4A7C15ull + 1) {}

    void Run() {
        // Panel dates go through mktime: a local time with summer time.
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();

        std::string error;
        ASSERT_TRUE(driver_.Load(&error)) << error;
        zulsim::Options options;
        zulsim::LineFaults& f = options.faults;
        double s = config_.rate;
        f.flipBit = 0.003 * s;
        f.dropByte = 0.002 * s;
        f.noiseByte = 0.03 * s;
        f.delay = 0.05 * s;
        f.delayMs = 30;
        if (config_.inOrder > 0) {
            f.delay = config_.inOrder;
            f.delayMs = config_.inOrderMinMs;
            f.delayMaxMs = config_.inOrderMaxMs;
        }
        f.truncate = 0.03 * s;
        f.silence = 0.04 * s;
        f.damageAck = 0.1 * s;
        f.late = config_.late;
        f.lateMinMs = 20;
        f.lateMaxMs = config_.lateMaxMs;
        f.split = config_.split;
        f.splitMinMs = 5;
        f.splitMaxMs = 60;
        f.seed = config_.seed;
        options.linkPath = "/tmp/zs" + std::to_string(getpid() % 10000); // 11 characters at most
        options.baud = config_.baud;
        options.turnaroundMs = config_.turnaroundMs;
        options.latencyTimerMs = config_.latencyTimerMs;
        options.linkDelayMs = config_.linkDelayMs;
        options.trace = true;
        options.traceSink = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(traceMutex_);
            if (trace_.size() < 400) trace_.push_back(line);
        };
        sim_ = std::make_unique<zulsim::PanelSim>(options);
        ASSERT_TRUE(sim_->Start(&error)) << error;
        port_ = sim_->DevicePath();
        ASSERT_LE(port_.size(), 11u) << port_;
        link_ = options.linkPath;

        Fill(RegionA);
        Fill(RegionB);

        std::memset(&channel_, 0, sizeof channel_);
        ASSERT_EQ(driver_.ColdStart(channel_, port_, config_.timeout), 0) << driver_.LogText();
        ASSERT_NE(channel_.PortHandle, nullptr);
        name_ = port_;
        fdsAtStart_ = OpenFdCount();
        fdsMost_ = fdsAtStart_;

        auto begin = Clock::now();
        int done = 0;
        while (done < config_.requests &&
               std::chrono::duration<double>(Clock::now() - begin).count() < config_.seconds) {
            if (done > 0 && done % 150 == 0) Lifecycle(done / 150);
            One(done, gen_.Next());
            ++done;
            if (done % 50 == 0) CheckFds("after request " + std::to_string(done));
        }
        double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
        SweepMemory();
        ClosePort();
        CheckFds("at the end");

        zulsim::Stats stats = sim_->GetStats();
        sim_->Stop();
        std::printf(
            "soak: line=%s baud=%d turnaround=%dms latency_timer=%dms link_delay=%dms late_max=%dms in_order=%.2f "
            "(%d-%dms) seed=%llu rate=%.2f late=%.2f split=%.2f timeout=%d0ms requests=%d (reads %d, writes %d, "
            "lifecycle %d) faults=%llu late_replies=%llu failures=%d wrong=%d violations=%d "
            "slowest=%.0fms (%s, bound %.0fms) fds=%d->%d elapsed=%.1fs\n",
            config_.line, config_.baud, config_.turnaroundMs, config_.latencyTimerMs, config_.linkDelayMs,
            config_.lateMaxMs, config_.inOrder, config_.inOrderMinMs, config_.inOrderMaxMs,
            static_cast<unsigned long long>(config_.seed), config_.rate, config_.late, config_.split, config_.timeout,
            done, reads_, writes_, lifecycle_, static_cast<unsigned long long>(stats.faultsInjected),
            static_cast<unsigned long long>(stats.lateReplies), failures_, wrong_, violations_, slowestMs_,
            slowest_.c_str(), slowestBound_, fdsAtStart_, fdsMost_, elapsed);
        std::fflush(stdout);
        EXPECT_EQ(wrong_, 0) << "values reported as good, or left in memory, that are not the panel's";
        EXPECT_EQ(violations_, 0) << "results, log lines, durations or descriptors out of bounds";
        EXPECT_GE(done, std::min(config_.requests, 50)) << "too few requests ran to count";
        if (config_.rate > 0 || config_.late > 0 || config_.split > 0) {
            EXPECT_GT(stats.faultsInjected + stats.lateReplies, 0u) << "faults were asked for, none were injected";
        }
    }

private:
    // ---- bookkeeping -------------------------------------------------------

    void Fill(std::uint32_t base) {
        Bytes bytes(RegionSize);
        for (auto& b : bytes) b = gen_.Byte();
        sim_->SetBytes(base, bytes);
        for (std::uint32_t i = 0; i < RegionSize; ++i) shadow_[base + i] = bytes[i];
    }

    std::uint8_t Shadow(std::uint32_t a) const {
        auto it = shadow_.find(a);
        return it == shadow_.end() ? 0 : it->second;
    }

    void Report(int& counter, const std::string& what) {
        ++counter;
        if (reported_++ < 25) {
            std::string trace;
            {
                std::lock_guard<std::mutex> lock(traceMutex_);
                for (const auto& l : trace_) trace += "    " + l + "\n";
            }
            ADD_FAILURE() << what << "\n  log:\n" << driver_.LogText() << "  line:\n" << trace;
        }
    }

    void CheckFds(const std::string& when) {
        int now = OpenFdCount();
        fdsMost_ = std::max(fdsMost_, now);
        if (now > fdsAtStart_) {
            Report(violations_, "open descriptors grew from " + std::to_string(fdsAtStart_) + " to " +
                                    std::to_string(now) + " " + when);
        }
    }

    void Show(const std::string& what, std::int32_t rc) {
        std::lock_guard<std::mutex> lock(traceMutex_);
        std::string trace;
        for (const auto& l : trace_) trace += "    " + l + "\n";
        std::printf("%s: result %d in %.0f ms\n  log:\n%s  line:\n%s", what.c_str(), rc, driver_.lastMs,
                    driver_.LogText().c_str(), trace.c_str());
    }

    void Timed(const std::string& what, double bound) {
        double ms = driver_.lastMs;
        if (config_.showSlowerMs > 0 && ms > config_.showSlowerMs) Show(what, -1);
        if (ms > slowestMs_) {
            slowestMs_ = ms;
            slowest_ = what;
            slowestBound_ = bound;
        }
        if (ms > WorstCase::Allowed(bound)) {
            char text[64];
            std::snprintf(text, sizeof text, " took %.0f ms, bound %.0f ms", ms, bound);
            Report(violations_, what + text);
        }
    }

    void ClearTrace() {
        std::lock_guard<std::mutex> lock(traceMutex_);
        trace_.clear();
    }

    // Channel lines begin "ZUL<nn>: TRK: " with the request's channel number.
    void CheckChannelNumbers(const std::string& what, int ch) {
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "ZUL%02d: TRK: ", ch);
        for (const LogLine& l : driver_.log) {
            if (l.text.rfind("ZUL", 0) == 0 && l.text.rfind(prefix, 0) != 0) {
                Report(violations_, what + ": a line with another channel number: " + l.text);
            }
        }
    }

    // A failed point request: result 1 or 2, its failure line last.
    void CheckFailure(const std::string& what, const char* operation, int ch, std::int32_t rc) {
        ++failures_;
        if (config_.verbose) Show(what, rc);
        if (rc != 1 && rc != 2) Report(violations_, what + ": failed with result " + std::to_string(rc));
        std::string line = Format((std::string("ZUL%02d: TRK: ERROR ") + operation + "(): Fail rc = %d").c_str(), ch,
                                  rc);
        if (driver_.log.empty() || driver_.log.back().text != line || driver_.log.back().level != 64) {
            Report(violations_, what + ": result " + std::to_string(rc) + " without the closing line '" + line + "'");
        }
        if (driver_.log.size() < 2) Report(violations_, what + ": failed with no line saying why");
    }

    // A successful request may only have heard nothing on an attempt.
    void CheckQuietSuccess(const std::string& what, int ch) {
        std::string recv = Format("ZUL%02d: TRK: ERROR RecvStr(): rc = %d", ch, 2);
        for (const LogLine& l : driver_.log) {
            if (l.text != recv) Report(violations_, what + ": succeeded but logged: " + l.text);
        }
    }

    // ---- one point request -------------------------------------------------

    void One(int index, const Request& r) {
        const PointOp& op = r.op;
        const int n = TransferBytes(op);
        const std::string what = "#" + std::to_string(index) + " " + Describe(r);
        const int ch = 1 + index % 99;

        // The memory around the transfer, which the shadow copy must match.
        std::uint32_t from = op.address >= static_cast<std::uint32_t>(Margin) ? op.address - Margin : 0;
        std::uint32_t to = std::min<std::uint32_t>(MemoryEnd, op.address + static_cast<std::uint32_t>(n + Margin));
        Bytes before = sim_->GetBytes(from, to - from);
        for (std::uint32_t a = from; a < to; ++a) {
            if (before[a - from] != Shadow(a)) {
                char text[128];
                std::snprintf(text, sizeof text, ": byte %06X changed between requests, %02X became %02X", a, Shadow(a),
                              before[a - from]);
                Report(wrong_, what + text);
                break;
            }
        }

        std::uint8_t slots[MaxSlots][4];
        for (auto& slot : slots) {
            for (auto& b : slot) b = static_cast<std::uint8_t>(gen_.Between(0, 255));
        }
        std::uint8_t host[MaxSlots][4];
        std::memcpy(host, slots, sizeof slots);

        PointRequest p;
        std::memset(&p, 0, sizeof p);
        p.TypeLetter = op.letter;
        p.PointAddress = static_cast<std::int32_t>(op.address);
        p.BitNumber = op.bit;
        p.ElementCount = op.count;
        p.ValueBuffer = slots;
        PointRequest copy = p;

        zulsim::Stats statsBefore = sim_->GetStats();
        std::uint64_t appliedBefore = statsBefore.writes;
        ClearTrace();
        std::int32_t code = r.kind == Kind::Read ? BlockReadCode : (index % 2 ? BlockWriteCode : WriteValuesCode);
        if (r.kind == Kind::Read && index % 3 == 0) code = ReadValuesCode;
        std::int32_t rc = driver_.Call(channel_, code, &p, ch);
        Bytes after = sim_->GetBytes(from, to - from);
        std::uint64_t applied = sim_->GetStats().writes - appliedBefore;

        if (std::memcmp(&p, &copy, sizeof p) != 0) Report(violations_, what + ": the request block was changed");
        CheckChannelNumbers(what, ch);
        const double read = worst_.Exchange(WorstCase::ReadFrame());
        const double write = worst_.Exchange(WorstCase::WriteFrame(n));
        const double handshake = worst_.Handshake();
        const double fence = worst_.Fence();
        double bound = fence + read + handshake;
        if (r.kind == Kind::WholeWrite) bound = fence + write;
        if (r.kind == Kind::NibbleWrite || r.kind == Kind::BitWrite) {
            bound = 2 * fence + read + std::max(write, handshake);
        }
        if (r.kind == Kind::NibbleBitWrite) bound = 3 * fence + 2 * read + std::max(write, handshake);
        if (r.kind == Kind::RefusedWrite) bound = 0;
        Timed(what, bound);

        const std::size_t at = op.address - from;
        Bytes mine(before.begin() + static_cast<std::ptrdiff_t>(at),
                   before.begin() + static_cast<std::ptrdiff_t>(at) + n);

        if (r.kind == Kind::RefusedWrite) {
            ++writes_;
            ++failures_;
            std::string line = Format("ZUL%02d: TRK: ERROR BlockWrite(): Fail rc = %d", ch, 1);
            if (rc != 1 || driver_.log.size() != 1 || driver_.log[0].text != line) {
                Report(violations_,
                       what + ": not refused with 1 and its one failure line (result " + std::to_string(rc) + ")");
            }
            if (sim_->GetStats().framesIn != statsBefore.framesIn) {
                Report(violations_, what + ": a write that cannot be sent put frames on the line");
            }
            if (after != before || applied > 0) Report(wrong_, what + ": a refused write changed the memory");
        } else if (r.kind == Kind::Read) {
            ++reads_;
            if (after != before) Report(wrong_, what + ": a read changed the panel's memory");
            if (rc == 0) {
                CheckQuietSuccess(what, ch);
                CheckReadValues(what, op, mine, host, slots);
            } else {
                CheckFailure(what, "BlockRead", ch, rc);
                if (std::memcmp(host, slots, sizeof slots) != 0) {
                    Report(violations_, what + ": a failed read wrote into the value buffer");
                }
            }
        } else {
            ++writes_;
            if (std::memcmp(host, slots, sizeof slots) != 0) {
                Report(violations_, what + ": a write wrote into the value buffer");
            }
            Bytes intended = IntendedBytes(op, host, mine);
            Bytes expected = before;
            if (applied > 0)
                std::copy(intended.begin(), intended.end(), expected.begin() + static_cast<std::ptrdiff_t>(at));
            if (after != expected) {
                Report(wrong_, what + ": memory " + Hex(after) + "is not " + Hex(expected) + "(before " + Hex(before) +
                                   ", " + std::to_string(applied) + " write frames applied, result " +
                                   std::to_string(rc) + ")");
            }
            if (rc == 0) {
                CheckQuietSuccess(what, ch);
                if (applied == 0) Report(wrong_, what + ": reported written, but the panel applied no write frame");
            } else {
                CheckFailure(what, "BlockWrite", ch, rc);
                bool preparatoryFailed = false;
                for (const LogLine& l : driver_.log) {
                    if (l.text.find("ERROR BlockRead(): Fail") != std::string::npos) preparatoryFailed = true;
                }
                if (preparatoryFailed && applied > 0) {
                    Report(wrong_, what + ": a preparatory read failed, yet the write frame was sent and applied");
                }
            }
        }
        for (std::uint32_t a = from; a < to; ++a) shadow_[a] = after[a - from];
    }

    void CheckReadValues(const std::string& what, const PointOp& op, const Bytes& mine, const std::uint8_t (*host)[4],
                         const std::uint8_t (*slots)[4]) {
        const int size = BytesPer(op.letter);
        for (int i = 0; i < op.count; ++i) {
            std::uint32_t want = ReadValue(op, mine.data() + i * size);
            const std::uint8_t* s = slots[i];
            bool ok;
            std::uint32_t got;
            if (HalfSlot(op.letter)) {
                got = static_cast<std::uint32_t>(s[2] | (s[3] << 8));
                ok = got == want && s[0] == host[i][0] && s[1] == host[i][1];
            } else {
                std::memcpy(&got, s, 4);
                ok = got == want;
            }
            if (!ok) {
                char text[160];
                std::snprintf(text, sizeof text, ": element %d is %08X (slot %02X %02X %02X %02X), the panel has %08X",
                              i, got, s[0], s[1], s[2], s[3], want);
                Report(wrong_, what + text + " in " + Hex(mine));
                return;
            }
        }
        for (int g = op.count; g < op.count + GuardSlots; ++g) {
            if (std::memcmp(slots[g], host[g], 4) != 0) {
                Report(wrong_, what + ": a slot after the last element was written");
                return;
            }
        }
    }

    // ---- channel requests on the way ---------------------------------------

    void ClosePort() {
        std::int32_t rc = driver_.Call(channel_, ClosePortCode, nullptr, 1);
        if (rc != 0 || channel_.PortHandle != nullptr) Report(violations_, "ClosePort failed: " + std::to_string(rc));
        Timed("ClosePort", 0);
    }

    void Lifecycle(int round) {
        ++lifecycle_;
        ClearTrace();
        std::int32_t rc = 0;
        switch (round % 6) {
        case 0: // close, then start again from scratch
            ClosePort();
            Start(port_);
            break;
        case 1: { // start again on the open port: the device is exclusive, so this fails
            void* open = channel_.PortHandle;
            rc = driver_.ColdStart(channel_, port_, config_.timeout);
            Timed("ColdStart on the open port", 0);
            char line[96];
            std::snprintf(line, sizeof line, "ZUL01: TRK: ERROR ColdStart(): Fail to open %s", port_.c_str());
            if (rc != 2 || channel_.PortHandle != open || !driver_.Logged(line)) {
                Report(violations_,
                       "ColdStart on the open port gave " + std::to_string(rc) + " or lost the open handle");
            }
            break;
        }
        case 2: { // the handshake again
            rc = driver_.Call(channel_, WarmStartCode, nullptr, 7);
            Timed("WarmStart", worst_.flush + worst_.Handshake());
            std::string closing = rc == 0 ? Format("ZUL%02d: TRK: WarmStart(): ended successfully rc = %d", 7, rc)
                                          : Format("ZUL%02d: TRK: ERROR WarmStart(): Fail rc = %d ", 7, rc);
            if (driver_.log.empty() || driver_.log.back().text != closing) {
                Report(violations_, "WarmStart " + std::to_string(rc) + " without its closing line");
            }
            break;
        }
        case 3: // close and open from the stored settings: the open's own 1 s read timeout
            ClosePort();
            rc = driver_.Call(channel_, OpenPortCode, nullptr, 1);
            if (rc != 0 || channel_.PortHandle == nullptr) Report(violations_, "OpenPort failed");
            Timed("OpenPort", 0);
            SetReadTimeout(100);
            break;
        case 4: // reopen under the other name of the same pty: the old port is closed first
            Reopen(name_ == port_ ? link_ : port_, 0);
            break;
        default: { // reopen under the same name while it is open: refused, the old handle stays
            void* open = channel_.PortHandle;
            rc = Reopen(name_, 2);
            if (channel_.PortHandle != open) Report(violations_, "a refused ReopenPort lost the open handle");
            break;
        }
        }
        CheckFds("after a channel request");
    }

    void Start(const std::string& name) {
        std::int32_t rc = driver_.ColdStart(channel_, name, config_.timeout);
        if (rc != 0 || channel_.PortHandle == nullptr) Report(violations_, "ColdStart on " + name + " failed");
        Timed("ColdStart", worst_.Handshake());
        name_ = name;
        SetReadTimeout(config_.timeout);
    }

    std::int32_t Reopen(const std::string& name, std::int32_t expected) {
        ReopenParams p;
        std::memset(&p, 0, sizeof p);
        std::snprintf(p.PortName, sizeof p.PortName, "%s", name.c_str());
        p.BaudRate = 9600;
        p.ByteSize = 8;
        std::int32_t rc = driver_.Call(channel_, ReopenPortCode, &p, 1);
        Timed("ReopenPort", 0);
        if (rc != expected || channel_.PortHandle == nullptr) {
            Report(violations_,
                   "ReopenPort " + name + " gave " + std::to_string(rc) + ", not " + std::to_string(expected));
        }
        if (rc == 0) {
            name_ = name;
            SetReadTimeout(100); // a reopened port has the open's 1 s
        }
        return rc;
    }

    // The bounds follow the port's read timeout.
    void SetReadTimeout(int tenMs) { worst_ = WorstCase(tenMs); }

    // Every byte the soak has seen, against the simulator's memory.
    void SweepMemory() {
        for (const auto& [address, value] : shadow_) {
            std::uint8_t now = sim_->GetBytes(address, 1)[0];
            if (now != value) {
                char text[96];
                std::snprintf(text, sizeof text, "byte %06X is %02X after the run, the soak saw %02X", address, now,
                              value);
                Report(wrong_, text);
            }
        }
    }

    Config config_;
    WorstCase worst_;
    Generator gen_;
    LoadedDriver driver_;
    std::unique_ptr<zulsim::PanelSim> sim_;
    std::string port_; // the pty's own name
    std::string link_; // the simulator's link to it
    std::string name_; // the one the channel has open
    ChannelContext channel_;
    std::map<std::uint32_t, std::uint8_t> shadow_;
    std::mutex traceMutex_;
    std::vector<std::string> trace_;
    int reads_ = 0, writes_ = 0, lifecycle_ = 0, failures_ = 0, wrong_ = 0, violations_ = 0, reported_ = 0;
    int fdsAtStart_ = 0, fdsMost_ = 0;
    double slowestMs_ = 0, slowestBound_ = 0;
    std::string slowest_;
};

void RunSeeds(Config config) {
    const std::uint64_t first = config.seed;
    for (int i = 0; i < config.seeds; ++i) {
        config.seed = first + static_cast<std::uint64_t>(i);
        Soak soak(config);
        soak.Run();
    }
}

TEST(Soak, MixedRequestsUnderLineFaults) { RunSeeds(Config()); }

// 9600 baud both ways, a panel that answers 20 ms after each request, and a
// USB adapter with its default 16 ms latency timer.
TEST(Soak, MixedRequestsOnAFieldLine) { RunSeeds(Config::Field()); }

// A panel whose late replies hold back every later one, for as long as
// ZUL_SOAK_SECONDS; the fake clock's soak covers this in the default run.
TEST(Soak, InOrderLateRepliesOnAFieldLine) {
    Config config = Config::InOrder();
    if (config.inOrder <= 0) GTEST_SKIP() << "set ZUL_SOAK_INORDER (e.g. 0.3) to run it";
    RunSeeds(config);
}

} // namespace
} // namespace soak
