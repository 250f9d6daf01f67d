// The line a port is opened with: speed, character format and the
// modem-control option word, in the codes of the Win32 DCB; and how long one
// character takes on it.
#pragma once

#include <chrono>
#include <cstdint>

struct LineSettings {
    std::uint32_t baudRate = 9600;
    std::uint8_t byteSize = 8; // data bits
    std::uint8_t stopBits = 0; // 0 one, 1 one and a half, 2 two
    std::uint8_t parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint16_t lineOptions = 0;
};

// The time one character takes on the line: a start bit, the data bits, a
// parity bit unless there is none, and the stop bits; rounded up to whole
// microseconds. 0 for a speed of 0 (a device without a line, such as NUL).
// Speeds below 50 baud, which no port here can run, count as 50, and data
// bits outside 5..8 as the nearest of those, so the time stays bounded.
inline std::chrono::microseconds CharacterTime(const LineSettings& line) {
    if (line.baudRate == 0) return std::chrono::microseconds{0};
    std::uint64_t baud = line.baudRate < 50 ? 50 : line.baudRate;
    std::uint64_t dataBits = line.byteSize < 5 ? 5 : (line.byteSize > 8 ? 8 : line.byteSize);
    std::uint64_t stopHalfBits = line.stopBits == 1 ? 3 : (line.stopBits == 2 ? 4 : 2);
    std::uint64_t halfBits = 2 + 2 * dataBits + (line.parity != 0 ? 2 : 0) + stopHalfBits;
    std::uint64_t divisor = 2 * baud;
    return std::chrono::microseconds{static_cast<std::int64_t>((halfBits * 1000000 + divisor - 1) / divisor)};
}
