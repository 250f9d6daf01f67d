// The line a port is opened with: speed, character format and the
// modem-control option word, in the codes of the Win32 DCB.
#pragma once

#include <cstdint>

struct LineSettings {
    std::uint32_t baudRate = 9600;
    std::uint8_t byteSize = 8; // data bits
    std::uint8_t stopBits = 0; // 0 one, 1 one and a half, 2 two
    std::uint8_t parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint16_t lineOptions = 0;
};
