// The panel side of the line, served on a pseudo-terminal by one thread.
//
// What the panel does here:
//   wake frame (payload 31)        -> ACK
//   version request (payload F0)   -> frame [versionId]
//   block read 50 A2 A1 A0 N       -> frame [readReplyCode, N bytes of memory]
//   block write 60 A2 A1 A0 N data -> memory stored, status frame 11 00
//   any other payload              -> status frame 11 01 ("refused"); so does
//                                     a read or write whose length does not
//                                     match its byte count
//   a frame with a bad CRC         -> NAK
// Bytes outside frames (the driver's ACK after each exchange) are ignored.
//
// Wake announcement: a pty has no RTS line, so the driver's RTS pulse cannot
// be seen. Instead the panel sends ENQ whenever the line has been idle both
// ways for enqIdleMs, repeated at most every enqRepeatMs. The
// driver discards the ENQs that pile up between requests with the purge
// before each write, and its handshake finds one waiting after its pulse.
// While 32 or more bytes wait unread at the device (nobody has it open), no
// further ENQ is added.
//
// Output goes through a small transmit queue so that replies can be paced at
// a baud rate, split by a gap, delayed in order (the panel stalls) or held
// back as late replies while later requests are still served.
#include "sim/panel_sim.h"

#include "platform/line_time.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "link/msg_buffer.h"
#include "platform/linux/line_speed.h"
#include "trace/frame_scanner.h"
#include "trace/line_decoder.h"

namespace zulsim {
namespace {

using zultrace::FrameScanner;
using zultrace::Inbound;

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t AddressMask = 0xFFFFFF;
constexpr std::uint8_t CmdWake = 0x31;
constexpr std::uint8_t CmdVersion = 0xF0;
constexpr std::uint8_t CmdRead = 0x50;
constexpr std::uint8_t CmdWrite = 0x60;
constexpr std::uint8_t StatusReplyCode = 0x11;
constexpr std::uint8_t StatusRefused = 0x01;
constexpr auto PartialFrameTimeout = milliseconds(100);
constexpr int EnqBacklogLimit = 32;

bool Fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
}

bool FailErrno(std::string* error, const std::string& what) { return Fail(error, what + ": " + std::strerror(errno)); }

// A reply frame made with the team's codec; a non-zero crcXor damages the CRC
// value before it is stuffed, so the frame still parses but fails its check.
Bytes MakeFrame(const Bytes& payload, std::uint16_t crcXor) {
    MsgBuffer b;
    ClearMsgBuffer(b);
    if (payload.size() > static_cast<std::size_t>(MsgBufferSize)) return {};
    std::memcpy(b.data, payload.data(), payload.size());
    b.length = static_cast<std::int32_t>(payload.size());
    DLEScanAndAdd(b);
    int stuffed = b.length;
    WrapFrame(b);
    if (b.length != stuffed + 4) return {};
    CalcCRC(b);
    std::uint16_t crc = static_cast<std::uint16_t>(b.crc ^ crcXor);
    Bytes frame(b.data, b.data + b.length);
    for (std::uint8_t c : {static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8)}) {
        frame.push_back(c);
        if (c == DLE) frame.push_back(DLE);
    }
    return frame;
}

std::string Describe(const Bytes& p) {
    if (p.empty()) return "empty frame";
    char text[64];
    switch (p[0]) {
    case CmdWake:
        return "wake frame";
    case CmdVersion:
        return "version request";
    case CmdRead:
        if (p.size() < 5) break;
        std::snprintf(text, sizeof text, "read %02X%02X%02X count %u", p[1], p[2], p[3], p[4]);
        return text;
    case CmdWrite:
        if (p.size() < 5) break;
        std::snprintf(text, sizeof text, "write %02X%02X%02X count %u", p[1], p[2], p[3], p[4]);
        return text;
    default:
        break;
    }
    std::snprintf(text, sizeof text, "command %02X", p[0]);
    return text;
}

bool ParseHex(const std::string& token, std::size_t maxDigits, std::uint32_t* value) {
    std::string digits = token;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
    if (digits.empty() || digits.size() > maxDigits) return false;
    std::uint32_t v = 0;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        v = v * 16 + static_cast<std::uint32_t>(
                         std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10);
    }
    *value = v;
    return true;
}

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Queued output: bytes with the times at which each may reach the line.
struct Run {
    Bytes bytes;
    std::vector<TimePoint> due;
    std::size_t next = 0;
    std::string note;
    bool traced = false;
    bool afterGap = false; // second part of a split reply: its gap counts from the first part's real end
};

// Where a reply is cut into pieces: the bytes from `at` on follow a
// silence of `gapMs`.
struct Cut {
    std::size_t at;
    int gapMs;
};

// A late reply, held back while serving goes on.
struct Held {
    TimePoint due;
    Bytes bytes;
    std::string note;
    std::vector<Cut> cuts;
};

struct Reply {
    Bytes bytes;
    bool isWakeAck = false;
    std::string note;
};

} // namespace

bool ParseMemoryAssignment(const std::string& text, std::uint32_t* address, std::vector<std::uint8_t>* bytes,
                           std::string* error) {
    std::size_t sep = text.find_first_of(":=");
    if (sep == std::string::npos) return Fail(error, "expected ADDR: bytes or ADDR=bytes");
    std::uint32_t addr = 0;
    std::string addrText = Trim(text.substr(0, sep));
    if (!ParseHex(addrText, 6, &addr)) return Fail(error, "bad address '" + addrText + "'");
    std::string rest = text.substr(sep + 1);
    std::replace(rest.begin(), rest.end(), ',', ' ');
    std::istringstream in(rest);
    Bytes values;
    std::string token;
    while (in >> token) {
        std::uint32_t v = 0;
        if (!ParseHex(token, 2, &v)) return Fail(error, "bad byte '" + token + "'");
        values.push_back(static_cast<std::uint8_t>(v));
    }
    if (values.empty()) return Fail(error, "no bytes after the address");
    if (addr + values.size() - 1 > AddressMask) return Fail(error, "bytes run past address FFFFFF");
    *address = addr;
    *bytes = std::move(values);
    return true;
}

struct PanelSim::Impl {
    explicit Impl(Options o) : opt(std::move(o)), rng(opt.faults.seed), epoch(Clock::now()) {
        // 8 data bits, no parity, one stop bit: ten bits a byte.
        if (opt.baud > 0) byteTime = LineTime(CharacterFormat{static_cast<std::uint32_t>(opt.baud), 8, 0, 0}, 1);
    }

    const Options opt;
    std::atomic<bool> silentNow{false}; // SetSilent: the panel falls silent while the line stays

    bool Silent() const { return opt.silent || silentNow; }

    mutable std::mutex memMutex;
    std::map<std::uint32_t, std::uint8_t> memory;
    mutable std::mutex statsMutex;
    Stats stats;

    // Start, Stop, Disconnect and Reconnect run one at a time.
    std::mutex lifeMutex;
    std::string devicePath;
    int masterFd = -1;
    int slaveFd = -1; // held open so the master never sees a hang-up
    int wakeRead = -1, wakeWrite = -1;
    std::thread worker;
    std::atomic<bool> stopping{false};
    bool serving = false;

    // Owned by the serving thread while it runs.
    std::mt19937_64 rng;
    FrameScanner scanner;
    std::deque<Run> line;
    std::deque<std::pair<TimePoint, std::uint8_t>> inbound; // the host's bytes still on their way
    std::vector<Held> held;
    TimePoint lineFree, lastRx, lastEnq;
    bool enqSent = false;
    std::chrono::nanoseconds byteTime{0};
    const TimePoint epoch;

    template <class F>
    void Count(F change) {
        std::lock_guard<std::mutex> lock(statsMutex);
        change(stats);
    }

    void Trace(const char* direction, const Bytes& bytes, const std::string& note) {
        if (!opt.trace) return;
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - epoch).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%10.3f ", ms);
        std::string text = stamp + std::string(direction) + " " + zultrace::HexText(bytes);
        if (!note.empty()) text += "  " + note;
        if (opt.traceSink) {
            opt.traceSink(text);
        } else {
            text += '\n';
            std::fputs(text.c_str(), stderr);
        }
    }

    // ---- the pseudo-terminal -------------------------------------------

    // The line served: a real serial device when one is given, else a pty.
    bool OpenLine(std::string* error) { return opt.device.empty() ? OpenPty(error) : OpenDevice(error); }

    // A real serial device (the far end of a null-modem cable, a second
    // adapter, one side of a virtual pair), raw and exclusive, at the line's
    // speed when one is given.
    bool OpenDevice(std::string* error) {
        int fd = open(opt.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return FailErrno(error, "open " + opt.device);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return Fail(error, opt.device + " is in use by another program");
        }
        termios t{};
        if (tcgetattr(fd, &t) != 0) {
            bool r = FailErrno(error, opt.device + " is not a serial device");
            close(fd);
            return r;
        }
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        if (opt.baud > 0) {
            speed_t speed = SpeedCode(opt.baud);
            if (speed == B0) {
                close(fd);
                return Fail(error, "a serial device cannot run at " + std::to_string(opt.baud) + " baud");
            }
            cfsetispeed(&t, speed);
            cfsetospeed(&t, speed);
        }
        tcsetattr(fd, TCSANOW, &t);
        masterFd = fd;
        slaveFd = -1;
        devicePath = opt.device;
        return true;
    }

    bool OpenPty(std::string* error) {
        int m = posix_openpt(O_RDWR | O_NOCTTY);
        if (m < 0) return FailErrno(error, "posix_openpt");
        char name[128];
        if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
            bool r = FailErrno(error, "pty setup");
            close(m);
            return r;
        }
        int s = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (s < 0) {
            bool r = FailErrno(error, std::string("open ") + name);
            close(m);
            return r;
        }
        termios t{};
        if (tcgetattr(s, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(s, TCSANOW, &t);
        }
        fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
        fcntl(m, F_SETFD, FD_CLOEXEC);
        masterFd = m;
        slaveFd = s;
        devicePath = name;
        if (!opt.linkPath.empty()) {
            // Repointed in one step, so a driver opening the link never finds it missing.
            std::string temp = opt.linkPath + ".new";
            unlink(temp.c_str());
            if (symlink(devicePath.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), opt.linkPath.c_str()) != 0) {
                bool r = FailErrno(error, "link " + opt.linkPath);
                unlink(temp.c_str());
                ClosePty();
                return r;
            }
        }
        return true;
    }

    void ClosePty() {
        if (masterFd >= 0) close(masterFd);
        if (slaveFd >= 0) close(slaveFd);
        masterFd = slaveFd = -1;
    }

    void RemoveLink() {
        if (opt.linkPath.empty()) return;
        struct stat st {};
        if (lstat(opt.linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(opt.linkPath.c_str());
    }

    bool StartWorker(std::string* error) {
        if (wakeRead < 0) {
            int fds[2];
            if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return FailErrno(error, "pipe");
            wakeRead = fds[0];
            wakeWrite = fds[1];
        }
        scanner.Reset();
        line.clear();
        inbound.clear();
        held.clear();
        TimePoint now = Clock::now();
        lineFree = lastRx = lastEnq = now;
        enqSent = false;
        stopping = false;
        worker = std::thread([this] { Serve(); });
        serving = true;
        return true;
    }

    void StopWorker() {
        if (!serving) return;
        stopping = true;
        std::uint8_t one = 1;
        ssize_t ignored = write(wakeWrite, &one, 1);
        (void)ignored;
        worker.join();
        std::uint8_t sink[64];
        while (read(wakeRead, sink, sizeof sink) > 0) {
        }
        serving = false;
    }

    // ---- the serving thread --------------------------------------------

    void Serve() {
        std::vector<Inbound> events;
        std::uint8_t buffer[1024];
        while (!stopping) {
            TimePoint now = Clock::now();
            if (scanner.Partial() && now - lastRx >= PartialFrameTimeout) {
                events.clear();
                scanner.Expire(events);
                Handle(events, now);
            }
            TakeInbound(now, events);
            ReleaseHeld(now);
            Announce(now);
            TimePoint nextByte = Transmit(now); // first: it may empty the line, which NextEvent looks at
            TimePoint wake = std::min(nextByte, NextEvent());

            now = Clock::now();
            auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
            wait = std::clamp(wait, std::chrono::nanoseconds(0), std::chrono::nanoseconds(std::chrono::seconds(1)));
            timespec ts{static_cast<time_t>(wait.count() / 1'000'000'000),
                        static_cast<long>(wait.count() % 1'000'000'000)};
            pollfd fds[2] = {{masterFd, POLLIN, 0}, {wakeRead, POLLIN, 0}};
            int r = ppoll(fds, 2, &ts, nullptr);
            if (r < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents & POLLIN) {
                ssize_t n = read(masterFd, buffer, sizeof buffer);
                if (n > 0) {
                    now = Clock::now();
                    if (opt.lineTap) opt.lineTap(zultrace::Direction::HostToPanel, buffer, static_cast<std::size_t>(n));
                    if (byteTime.count() > 0) {
                        // On a paced line each byte arrives one byte time after the one before.
                        TimePoint t = inbound.empty() ? now : std::max(now, inbound.back().first);
                        for (ssize_t i = 0; i < n; ++i) {
                            t += byteTime;
                            inbound.emplace_back(t, buffer[i]);
                        }
                        continue;
                    }
                    events.clear();
                    // Judged before the new bytes, however late this thread woke.
                    if (scanner.Partial() && now - lastRx >= PartialFrameTimeout) scanner.Expire(events);
                    lastRx = now;
                    scanner.Feed(buffer, static_cast<std::size_t>(n), events);
                    Handle(events, now);
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    std::this_thread::sleep_for(milliseconds(10));
                }
            } else if (fds[0].revents & (POLLHUP | POLLERR)) {
                std::this_thread::sleep_for(milliseconds(10)); // no busy loop on a hung-up line
            }
        }
    }

    // Feeds the host's bytes whose line time has come, each at its own time.
    void TakeInbound(TimePoint now, std::vector<Inbound>& events) {
        while (!inbound.empty() && inbound.front().first <= now) {
            TimePoint arrived = inbound.front().first;
            std::uint8_t byte = inbound.front().second;
            inbound.pop_front();
            events.clear();
            if (scanner.Partial() && arrived - lastRx >= PartialFrameTimeout) scanner.Expire(events);
            lastRx = arrived;
            scanner.Feed(&byte, 1, events);
            Handle(events, arrived);
        }
    }

    TimePoint NextEvent() const {
        TimePoint next = TimePoint::max();
        if (!inbound.empty()) next = std::min(next, inbound.front().first);
        if (scanner.Partial()) next = std::min(next, lastRx + PartialFrameTimeout);
        for (const Held& h : held) next = std::min(next, h.due);
        if (!Silent() && opt.enqIdleMs > 0 && line.empty() && inbound.empty()) {
            TimePoint enq = std::max(lastRx, lineFree) + milliseconds(opt.enqIdleMs);
            if (enqSent) enq = std::max(enq, lastEnq + milliseconds(opt.enqRepeatMs));
            next = std::min(next, enq);
        }
        return next;
    }

    void Announce(TimePoint now) {
        if (Silent() || opt.enqIdleMs <= 0) return;
        if (!line.empty() || !inbound.empty() || now < lineFree) return;
        if (now - std::max(lastRx, lineFree) < milliseconds(opt.enqIdleMs)) return;
        if (enqSent && now - lastEnq < milliseconds(opt.enqRepeatMs)) return;
        lastEnq = now;
        enqSent = true;
        int waiting = 0;
        if (ioctl(slaveFd, FIONREAD, &waiting) == 0 && waiting >= EnqBacklogLimit) return;
        QueueOnLine({ENQ}, now, "announce");
        Count([](Stats& s) { ++s.enqsOut; });
    }

    // Writes what is due; returns when it next has something to write.
    TimePoint Transmit(TimePoint now) {
        while (!line.empty()) {
            Run& run = line.front();
            std::size_t end = run.next;
            while (end < run.bytes.size() && run.due[end] <= now) ++end;
            if (end == run.next) return run.due[run.next];
            if (!run.traced) {
                Trace("sim>", run.bytes, run.note);
                run.traced = true;
            }
            ssize_t w = write(masterFd, run.bytes.data() + run.next, end - run.next);
            if (w < 0) {
                if (errno == EAGAIN || errno == EINTR) return now + milliseconds(2);
                line.pop_front(); // the line is gone; nothing to deliver to
                continue;
            }
            if (opt.lineTap && w > 0) {
                opt.lineTap(zultrace::Direction::PanelToHost, run.bytes.data() + run.next, static_cast<std::size_t>(w));
            }
            run.next += static_cast<std::size_t>(w);
            if (run.next == run.bytes.size()) {
                auto behind = Clock::now() - run.due.back();
                line.pop_front();
                if (!line.empty() && line.front().afterGap && behind > behind.zero()) {
                    for (TimePoint& t : line.front().due) t += behind;
                    lineFree = std::max(lineFree, line.front().due.back());
                }
            } else if (run.next < end) {
                return now + milliseconds(1); // the device's queue is full for now
            }
        }
        return TimePoint::max();
    }

    // Puts bytes on the line behind whatever is already there, in pieces
    // where cut. With a baud rate each byte arrives when its last bit would
    // have; behind a long link everything arrives linkDelayMs later (the
    // panel's own line is free again when it has sent, not when they arrive).
    void QueueOnLine(const Bytes& bytes, TimePoint earliest, const std::string& note,
                     const std::vector<Cut>& cuts = {}) {
        if (bytes.empty()) return;
        TimePoint t = std::max({earliest, lineFree, Clock::now()});
        std::size_t from = 0;
        for (std::size_t k = 0; k <= cuts.size(); ++k) {
            std::size_t to = k < cuts.size() ? std::min(cuts[k].at, bytes.size()) : bytes.size();
            if (to <= from) continue;
            Run run;
            run.note = k == 0 ? note : "(rest after a gap)";
            run.afterGap = k > 0;
            for (std::size_t i = from; i < to; ++i) {
                t += byteTime;
                run.bytes.push_back(bytes[i]);
                run.due.push_back(t);
            }
            ThroughAdapter(run.due);
            for (TimePoint& due : run.due) due += milliseconds(opt.linkDelayMs);
            line.push_back(std::move(run));
            from = to;
            if (k < cuts.size()) t += milliseconds(cuts[k].gapMs);
        }
        lineFree = t;
    }

    // The pieces of a reply: a split fault's two halves, the options' fixed
    // split in two, or with gapsMs two to four pieces, each silence between
    // half of gapsMs and all of it.
    std::vector<Cut> CutsFor(std::size_t size, int splitFaultMs) {
        if (size < 2) return {};
        if (splitFaultMs > 0) return {{size / 2, splitFaultMs}};
        if (opt.splitGapMs > 0) return {{size / 2, opt.splitGapMs}};
        if (opt.gapsMs <= 0) return {};
        int pieces = Between(2, static_cast<int>(std::min<std::size_t>(4, size)));
        std::vector<std::size_t> at;
        while (at.size() + 1 < static_cast<std::size_t>(pieces)) {
            auto p = static_cast<std::size_t>(Between(1, static_cast<int>(size) - 1));
            if (std::find(at.begin(), at.end(), p) == at.end()) at.push_back(p);
        }
        std::sort(at.begin(), at.end());
        std::vector<Cut> cuts;
        for (std::size_t p : at) cuts.push_back({p, Between(std::max(opt.gapsMs / 2, 1), opt.gapsMs)});
        return cuts;
    }

    // When bytes that reach the adapter at these times reach the host: at the
    // latency timer's next tick (a grid from the simulator's start), or as
    // soon as a packet has filled.
    void ThroughAdapter(std::vector<TimePoint>& due) const {
        if (opt.latencyTimerMs <= 0) return;
        const auto period = std::chrono::duration_cast<Clock::duration>(milliseconds(opt.latencyTimerMs));
        auto tickAt = [&](TimePoint t) {
            auto ticks = (t - epoch + period - Clock::duration(1)) / period;
            return epoch + ticks * period;
        };
        const std::size_t packet = opt.usbPacketBytes > 0 ? static_cast<std::size_t>(opt.usbPacketBytes) : 62;
        const std::vector<TimePoint> arrival = due;
        std::size_t first = 0;
        auto handOver = [&](std::size_t end, TimePoint at) {
            for (std::size_t i = first; i < end; ++i) due[i] = at;
            first = end;
        };
        for (std::size_t i = 0; i < arrival.size(); ++i) {
            if (i > first && tickAt(arrival[first]) < arrival[i]) handOver(i, tickAt(arrival[first]));
            if (i + 1 - first == packet) handOver(i + 1, arrival[i]);
        }
        if (first < arrival.size()) handOver(arrival.size(), tickAt(arrival[first]));
    }

    void ReleaseHeld(TimePoint now) {
        std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) { return a.due < b.due; });
        std::size_t n = 0;
        while (n < held.size() && held[n].due <= now) {
            QueueOnLine(held[n].bytes, held[n].due, held[n].note, held[n].cuts);
            ++n;
        }
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(n));
    }

    void Handle(const std::vector<Inbound>& events, TimePoint now) {
        for (const Inbound& in : events) {
            switch (in.kind) {
            case Inbound::Stray:
                Trace("drv>", in.raw, "");
                break;
            case Inbound::Broken:
                Trace("drv>", in.raw, "broken frame, ignored");
                break;
            case Inbound::Frame:
                Trace("drv>", in.raw, in.crcOk ? Describe(in.payload) : "bad CRC");
                OnFrame(in, now);
                break;
            }
        }
    }

    bool Chance(double rate) {
        if (rate <= 0) return false;
        if (rate >= 1) return true;
        return std::uniform_real_distribution<double>(0, 1)(rng) < rate;
    }

    int Between(int low, int high) {
        if (high <= low) return low;
        return std::uniform_int_distribution<int>(low, high)(rng);
    }

    void OnFrame(const Inbound& in, TimePoint now) {
        Count([](Stats& s) { ++s.framesIn; });
        if (!in.crcOk) Count([](Stats& s) { ++s.crcErrors; });
        if (Silent()) return;
        if (Chance(opt.faults.silence)) {
            Count([](Stats& s) { ++s.faultsInjected; });
            Trace("sim>", {}, "[silence]");
            return;
        }
        Reply reply = Answer(in);
        if (!reply.bytes.empty()) Send(std::move(reply), now);
    }

    Reply Frame(const Bytes& payload, std::string note) {
        Reply r;
        r.bytes = MakeFrame(payload, opt.damageCrc ? 0xFFFF : 0);
        r.note = std::move(note);
        if (opt.damageCrc) r.note += " [damaged CRC]";
        return r;
    }

    Reply Status(std::uint8_t code) {
        char note[32];
        std::snprintf(note, sizeof note, "status %u", code);
        return Frame({StatusReplyCode, code}, note);
    }

    Reply Answer(const Inbound& in) {
        if (!in.crcOk || opt.nakAll) {
            Count([](Stats& s) { ++s.naks; });
            return Reply{{NAK}, false, "nak"};
        }
        const Bytes& p = in.payload;
        if (p.size() == 1 && p[0] == CmdWake) {
            if (opt.enqWithoutAck) return {};
            return Reply{{ACK}, true, "ack"};
        }
        const bool forcedStatus = opt.statusReply >= 0;
        const std::uint8_t status = static_cast<std::uint8_t>(forcedStatus ? opt.statusReply : 0);

        if (p.size() == 1 && p[0] == CmdVersion) {
            if (forcedStatus) return Status(status);
            char note[32];
            std::snprintf(note, sizeof note, "version 0x%02X", opt.versionId);
            return Frame({opt.versionId}, note);
        }
        if (p.size() == 5 && p[0] == CmdRead) {
            if (forcedStatus) return Status(status);
            std::uint32_t address = static_cast<std::uint32_t>(p[1] << 16 | p[2] << 8 | p[3]);
            Bytes payload{opt.readReplyCode};
            Bytes values = Read(address, p[4]);
            if (opt.shortValueArea && !values.empty()) values.pop_back();
            payload.insert(payload.end(), values.begin(), values.end());
            Count([](Stats& s) { ++s.reads; });
            return Frame(payload, "read reply");
        }
        if (p.size() >= 5 && p[0] == CmdWrite && p.size() == 5u + p[4]) {
            if (opt.refuseWrites && !forcedStatus) return Status(StatusRefused);
            // A panel that answers with a non-zero status has refused the write.
            if (status == 0) {
                std::uint32_t address = static_cast<std::uint32_t>(p[1] << 16 | p[2] << 8 | p[3]);
                Write(address, Bytes(p.begin() + 5, p.end()));
                Count([](Stats& s) { ++s.writes; });
            }
            return Status(status);
        }
        return Status(forcedStatus ? status : StatusRefused);
    }

    // Applies the random line faults and puts the reply on its way.
    void Send(Reply reply, TimePoint now) {
        const LineFaults& f = opt.faults;
        Bytes& b = reply.bytes;
        std::uint64_t injected = 0;
        std::string marks;
        auto mark = [&](const std::string& what) {
            ++injected;
            marks += marks.empty() ? " [" + what : ", " + what;
        };

        if (reply.isWakeAck && Chance(f.damageAck)) {
            b[0] = static_cast<std::uint8_t>(ACK + Between(1, 255)); // any byte but ACK
            mark("ack damaged");
        }
        for (std::uint8_t& byte : b) {
            if (Chance(f.flipBit)) {
                byte ^= static_cast<std::uint8_t>(1u << Between(0, 7));
                mark("bit flipped");
            }
        }
        if (f.dropByte > 0) {
            Bytes kept;
            for (std::uint8_t byte : b) {
                if (Chance(f.dropByte))
                    mark("byte dropped");
                else
                    kept.push_back(byte);
            }
            b.swap(kept);
        }
        if (Chance(f.noiseByte)) {
            b.insert(b.begin() + Between(0, static_cast<int>(b.size())), static_cast<std::uint8_t>(Between(0, 255)));
            mark("noise byte");
        }
        if (b.size() >= 2 && Chance(f.truncate)) {
            b.resize(static_cast<std::size_t>(Between(1, static_cast<int>(b.size()) - 1)));
            mark("truncated");
        }
        int gapMs = 0;
        if (b.size() >= 2 && Chance(f.split)) {
            gapMs = Between(std::max(f.splitMinMs, 1), std::max(f.splitMaxMs, 1));
            mark("split " + std::to_string(gapMs) + " ms");
        }
        std::vector<Cut> cuts = CutsFor(b.size(), gapMs);
        TimePoint start = now + milliseconds(opt.turnaroundMs);
        if (Chance(f.delay)) {
            // Held back in order: every later reply waits behind it.
            int ms = Between(f.delayMs, std::max(f.delayMs, f.delayMaxMs));
            start += milliseconds(ms);
            mark("delayed " + std::to_string(ms) + " ms");
        }
        bool late = Chance(f.late);
        if (late) {
            int ms = Between(f.lateMinMs, f.lateMaxMs);
            start += milliseconds(ms);
            mark("late " + std::to_string(ms) + " ms");
        }
        if (!marks.empty()) marks += "]";
        Count([&](Stats& s) {
            ++s.repliesOut;
            s.faultsInjected += injected;
            if (late) ++s.lateReplies;
        });

        std::string note = reply.note + marks;
        if (b.empty()) {
            Trace("sim>", {}, note);
        } else if (late) {
            held.push_back(Held{start, std::move(b), note, std::move(cuts)});
        } else {
            QueueOnLine(b, start, note, cuts);
        }
    }

    Bytes Read(std::uint32_t address, std::size_t count) const {
        std::lock_guard<std::mutex> lock(memMutex);
        Bytes out(count, 0);
        for (std::size_t i = 0; i < count; ++i) {
            auto it = memory.find((address + static_cast<std::uint32_t>(i)) & AddressMask);
            if (it != memory.end()) out[i] = it->second;
        }
        return out;
    }

    void Write(std::uint32_t address, const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(memMutex);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            memory[(address + static_cast<std::uint32_t>(i)) & AddressMask] = bytes[i];
        }
    }
};

PanelSim::PanelSim(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

PanelSim::~PanelSim() {
    Stop();
    if (impl_->wakeRead >= 0) close(impl_->wakeRead);
    if (impl_->wakeWrite >= 0) close(impl_->wakeWrite);
}

bool PanelSim::Start(std::string* error) {
    std::lock_guard<std::mutex> lock(impl_->lifeMutex);
    if (impl_->serving) return Fail(error, "already serving");
    if (!impl_->OpenLine(error)) return false;
    if (!impl_->StartWorker(error)) {
        impl_->ClosePty();
        return false;
    }
    return true;
}

void PanelSim::Stop() {
    std::lock_guard<std::mutex> lock(impl_->lifeMutex);
    impl_->StopWorker();
    impl_->ClosePty();
    impl_->RemoveLink();
}

const std::string& PanelSim::DevicePath() const { return impl_->devicePath; }

void PanelSim::SetSilent(bool silent) { impl_->silentNow = silent; }

void PanelSim::SetBytes(std::uint32_t address, const std::vector<std::uint8_t>& bytes) { impl_->Write(address, bytes); }

std::vector<std::uint8_t> PanelSim::GetBytes(std::uint32_t address, std::size_t count) const {
    return impl_->Read(address, count);
}

bool PanelSim::LoadMemoryFile(const std::string& path, std::string* error) {
    std::ifstream in(path);
    if (!in) return Fail(error, "cannot open " + path);
    // All or nothing: a file with an error leaves the memory as it was.
    std::vector<std::pair<std::uint32_t, Bytes>> assignments;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        std::string content = Trim(text.substr(0, text.find('#')));
        if (content.empty()) continue;
        std::uint32_t address = 0;
        Bytes bytes;
        std::string why;
        if (!ParseMemoryAssignment(content, &address, &bytes, &why)) {
            return Fail(error, path + ":" + std::to_string(number) + ": " + why);
        }
        assignments.emplace_back(address, std::move(bytes));
    }
    for (const auto& a : assignments) impl_->Write(a.first, a.second);
    return true;
}

Stats PanelSim::GetStats() const {
    std::lock_guard<std::mutex> lock(impl_->statsMutex);
    return impl_->stats;
}

void PanelSim::Disconnect() {
    std::lock_guard<std::mutex> lock(impl_->lifeMutex);
    impl_->StopWorker();
    impl_->ClosePty();
}

bool PanelSim::Reconnect(std::string* error) {
    std::lock_guard<std::mutex> lock(impl_->lifeMutex);
    impl_->StopWorker();
    impl_->ClosePty();
    if (!impl_->OpenLine(error)) return false;
    if (!impl_->StartWorker(error)) {
        impl_->ClosePty();
        return false;
    }
    return true;
}

} // namespace zulsim
