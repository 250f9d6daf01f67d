// How long characters take on a serial line: each a start bit, the data
// bits, a parity bit unless there is none, and the stop bits (codes as in
// the Win32 DCB: stop 0 one, 1 one and a half, 2 two; parity 0 none). The
// one place that computes it: the port's waits, the driver's, the
// simulator's pacing and the gateway's plans all take it from here.
//
// 0 for a speed of 0 (a device without a line, such as NUL). Speeds below
// 50 baud, which no port here can run, count as 50, and data bits outside
// 5..8 as the nearest of those, so the time stays bounded.
#pragma once

#include <chrono>
#include <cstdint>

struct CharacterFormat {
    std::uint32_t baudRate = 9600;
    std::uint32_t dataBits = 8;
    std::uint32_t stopBitsCode = 0;
    std::uint32_t parityCode = 0;

    std::uint64_t HalfBits() const {
        std::uint64_t data = dataBits < 5 ? 5 : (dataBits > 8 ? 8 : dataBits);
        std::uint64_t stop = stopBitsCode == 1 ? 3 : (stopBitsCode == 2 ? 4 : 2);
        return 2 + 2 * data + (parityCode != 0 ? 2 : 0) + stop;
    }
    std::uint64_t Baud() const { return baudRate < 50 ? 50 : baudRate; }
};

inline std::chrono::nanoseconds LineTime(const CharacterFormat& format, std::uint64_t characters) {
    if (format.baudRate == 0) return std::chrono::nanoseconds{0};
    return std::chrono::nanoseconds{
        static_cast<std::int64_t>(characters * format.HalfBits() * 500000000 / format.Baud())};
}

// One character's time, rounded up to whole microseconds.
inline std::chrono::microseconds CharacterTime(const CharacterFormat& format) {
    if (format.baudRate == 0) return std::chrono::microseconds{0};
    std::uint64_t divisor = 2 * format.Baud();
    return std::chrono::microseconds{static_cast<std::int64_t>((format.HalfBits() * 1000000 + divisor - 1) / divisor)};
}
