// The Win32 read timeouts as a read on Linux keeps them, for every kind of
// port the backend opens: the total (multiplier x count + constant, none
// when both are 0) counts from the start of the read; the interval counts
// from the last byte received. An interval of MAXDWORD with no total
// returns at once with what is waiting.
#pragma once

#include <climits>
#include <cstdint>
#include <ctime>

#include "platform/win32_api.h"

inline std::int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Rounded up, so that a poll never wakes just short of its deadline and spins.
inline int PollMs(std::int64_t ns) {
    std::int64_t ms = (ns + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

class ReadTimer {
public:
    ReadTimer(const COMMTIMEOUTS& t, DWORD toRead) : t_(t) {
        hasTotal_ = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
        immediate_ = !hasTotal_ && t.ReadIntervalTimeout == MaxDword;
        hasInterval_ = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MaxDword;
        std::uint64_t totalMs = static_cast<std::uint64_t>(t.ReadTotalTimeoutMultiplier) * toRead +
                                t.ReadTotalTimeoutConstant;
        if (totalMs > MaxTotalMs) totalMs = MaxTotalMs;
        deadline_ = NowNs() + static_cast<std::int64_t>(totalMs) * 1000000;
    }
    bool Immediate() const { return immediate_; }
    void ByteCame() { lastByte_ = NowNs(); }
    // After a look that found nothing: false when the read is over, else
    // how long to wait for more (negative: no limit).
    bool NextWait(DWORD got, std::int64_t& wait) const {
        std::int64_t now = NowNs();
        wait = -1;
        if (hasTotal_) {
            wait = deadline_ - now;
            if (wait <= 0) return false;
        }
        if (hasInterval_ && got > 0) {
            std::int64_t gap = lastByte_ + static_cast<std::int64_t>(t_.ReadIntervalTimeout) * 1000000 - now;
            if (gap <= 0) return false;
            if (wait < 0 || gap < wait) wait = gap;
        }
        return true;
    }

private:
    static constexpr DWORD MaxDword = 0xFFFFFFFFu;
    static constexpr std::uint64_t MaxTotalMs = 1ull << 40; // decades; keeps the deadline in range
    COMMTIMEOUTS t_;
    bool hasTotal_ = false, immediate_ = false, hasInterval_ = false;
    std::int64_t deadline_ = 0;
    std::int64_t lastByte_ = 0;
};
