#include "host/client/slots.h"

#include <cstring>

namespace zulclient {

int BytesPerElement(char letter) {
    switch (letter) {
    case 'B':
    case 'E':
    case 'M':
        return 1;
    case 'D':
        return 3;
    case 'L':
    case 'F':
        return 4;
    default:
        return 2;
    }
}

int MaxElements(const Point& point) { return MaxTransferBytes / BytesPerElement(point.letter); }

std::uint16_t SlotHalf(const Slot& s) { return static_cast<std::uint16_t>(s[2] | (s[3] << 8)); }

std::uint32_t SlotWord(const Slot& s) {
    return static_cast<std::uint32_t>(s[0]) | (static_cast<std::uint32_t>(s[1]) << 8) |
           (static_cast<std::uint32_t>(s[2]) << 16) | (static_cast<std::uint32_t>(s[3]) << 24);
}

Slot HalfSlot(std::uint16_t value) {
    return Slot{0, 0, static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
}

Slot WordSlot(std::uint32_t value) {
    return Slot{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Slot FloatSlot(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return WordSlot(bits);
}

} // namespace zulclient
