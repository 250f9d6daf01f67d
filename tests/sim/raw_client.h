// The test's end of the line: the simulator's device opened raw, as a driver
// would, with arrival times for what comes back.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "link/msg_buffer.h" // control byte names
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

// A panel that announces nothing unless the test asks for it.
inline zulsim::Options Quiet() {
    zulsim::Options o;
    o.enqIdleMs = 0;
    return o;
}

struct TimedByte {
    std::uint8_t byte;
    double ms; // since the receive's start
};

inline Bytes ValuesOf(const std::vector<TimedByte>& timed) {
    Bytes out;
    for (const TimedByte& t : timed) out.push_back(t.byte);
    return out;
}

class RawClient {
public:
    explicit RawClient(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~RawClient() {
        if (fd_ >= 0) close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Ok() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Send(const Bytes& b) { (void)!write(fd_, b.data(), b.size()); }

    // Bytes until idleMs pass after the last one, or none within firstMs;
    // a positive totalMs ends the receive then in any case.
    std::vector<TimedByte> ReceiveTimed(int firstMs, int idleMs, Clock::time_point start = Clock::now(),
                                        int totalMs = 0) {
        std::vector<TimedByte> out;
        for (;;) {
            double limit = out.empty() ? firstMs : out.back().ms + idleMs;
            if (totalMs > 0 && limit > totalMs) limit = totalMs;
            double now = MsSince(start);
            if (now >= limit) return out;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(limit - now) + 1) <= 0) continue;
            std::uint8_t buffer[1024];
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) return out;
            for (ssize_t i = 0; i < n; ++i) out.push_back({buffer[i], MsSince(start)});
        }
    }
    Bytes Receive(int firstMs = 150, int idleMs = 40) { return ValuesOf(ReceiveTimed(firstMs, idleMs)); }
    Bytes Exchange(const Bytes& request, int firstMs = 150, int idleMs = 40) {
        Send(request);
        return Receive(firstMs, idleMs);
    }

private:
    int fd_;
};

} // namespace simtest
