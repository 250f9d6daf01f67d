// The test's end of the line: opens the simulator's device raw, as a driver
// would, and exchanges bytes with timing.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "link/msg_buffer.h"
#include "sim/panel_sim.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline Bytes H(const std::string& hex) {
    Bytes out;
    std::istringstream in(hex);
    std::string token;
    while (in >> token) out.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    return out;
}

inline std::string Hex(const Bytes& bytes) {
    std::string text;
    char two[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X ", b);
        text += two;
    }
    if (!text.empty()) text.pop_back();
    return text;
}

inline double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// Options for a quiet panel: no announcements unless a test asks for them.
inline zulsim::Options Quiet() {
    zulsim::Options o;
    o.enqIdleMs = 0;
    return o;
}

struct TimedByte {
    std::uint8_t byte;
    double ms; // after the start of the receive
};

inline Bytes ValuesOf(const std::vector<TimedByte>& timed) {
    Bytes out;
    for (const TimedByte& t : timed) out.push_back(t.byte);
    return out;
}

class RawClient {
public:
    explicit RawClient(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~RawClient() {
        if (fd_ >= 0) close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    void Send(const Bytes& bytes) {
        ssize_t n = write(fd_, bytes.data(), bytes.size());
        (void)n;
    }

    // Bytes until the line has been idle for idleMs after the first byte, or
    // nothing when none arrives within firstMs.
    Bytes Receive(int firstMs = 150, int idleMs = 40) {
        return ValuesOf(ReceiveTimed(firstMs, idleMs));
    }

    // As Receive, with arrival times counted from `start`; a positive
    // totalMs ends the receive then, whatever still arrives.
    std::vector<TimedByte> ReceiveTimed(int firstMs, int idleMs, Clock::time_point start = Clock::now(),
                                        int totalMs = 0) {
        std::vector<TimedByte> out;
        for (;;) {
            double now = MsSince(start);
            double limit = out.empty() ? firstMs : out.back().ms + idleMs;
            if (totalMs > 0 && limit > totalMs) limit = totalMs;
            if (now >= limit) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(limit - now) + 1) <= 0) continue;
            std::uint8_t buffer[1024];
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            double at = MsSince(start);
            for (ssize_t i = 0; i < n; ++i) out.push_back({buffer[i], at});
        }
        return out;
    }

    // Everything that arrives within totalMs of `start`.
    std::vector<TimedByte> Collect(int totalMs, Clock::time_point start = Clock::now()) {
        return ReceiveTimed(totalMs, totalMs, start, totalMs);
    }

    Bytes Exchange(const Bytes& request, int firstMs = 150, int idleMs = 40) {
        Send(request);
        return Receive(firstMs, idleMs);
    }

private:
    int fd_ = -1;
};

// The reply frame the codec makes of a payload.
inline Bytes FrameOf(const Bytes& payload) {
    MsgBuffer b;
    ClearMsgBuffer(b);
    for (std::size_t i = 0; i < payload.size(); ++i) b.data[i] = payload[i];
    b.length = static_cast<std::int32_t>(payload.size());
    BuildFrame(b);
    return Bytes(b.data, b.data + b.length);
}

// What the driver's reply check would see: the unstuffed payload, or false
// when no frame is found or its CRC does not match.
inline bool PayloadOf(const Bytes& received, Bytes* payload) {
    MsgBuffer b;
    ClearMsgBuffer(b);
    if (received.size() > static_cast<std::size_t>(MsgBufferSize)) return false;
    for (std::size_t i = 0; i < received.size(); ++i) b.data[i] = received[i];
    BreakIt(b);
    if (b.length == 0) return false;
    std::uint16_t got = b.crc;
    CalcCRC(b);
    if (got != b.crc) return false;
    DLEScanAndDel(b);
    payload->assign(b.data + 2, b.data + b.length - 2);
    return true;
}

} // namespace simtest
