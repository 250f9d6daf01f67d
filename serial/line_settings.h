// The line a port is opened with: speed, character format and the
// modem-control option word, in the codes of the Win32 DCB; and how long one
// character takes on it.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/line_time.h"

struct LineSettings {
    std::uint32_t baudRate = 9600;
    std::uint8_t byteSize = 8; // data bits
    std::uint8_t stopBits = 0; // 0 one, 1 one and a half, 2 two
    std::uint8_t parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint16_t lineOptions = 0;
};

inline CharacterFormat FormatOf(const LineSettings& line) {
    return CharacterFormat{line.baudRate, line.byteSize, line.stopBits, line.parity};
}

// The time one character takes on the line, rounded up to whole microseconds.
inline std::chrono::microseconds CharacterTime(const LineSettings& line) { return CharacterTime(FormatOf(line)); }
