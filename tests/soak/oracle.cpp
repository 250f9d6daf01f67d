#include "tests/soak/oracle.h"

#include <cstring>
#include <ctime>

namespace soak {
namespace {

// Days from 1970-01-01 to a proleptic Gregorian date, and back.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

std::uint16_t Half(const std::uint8_t* slot) { return static_cast<std::uint16_t>(slot[2] | (slot[3] << 8)); }

std::uint16_t WithBit(std::uint16_t value, int bit, bool set) {
    auto mask = static_cast<std::uint16_t>(1u << bit);
    return static_cast<std::uint16_t>(set ? (value | mask) : (value & ~mask));
}

std::uint8_t MergeNibble(char letter, std::uint8_t current, std::uint8_t value) {
    if (letter == 'E') return static_cast<std::uint8_t>((current & 0xF0) | (value & 0x0F));
    return static_cast<std::uint8_t>((current & 0x0F) | ((value << 4) & 0xF0));
}

} // namespace

int BytesPer(char letter) {
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

bool HalfSlot(char letter) { return letter != 'L' && letter != 'F' && letter != 'D'; }

std::int32_t DayNumberToTime(std::uint16_t day) {
    std::int64_t y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(DaysFromCivil(1977, 1, 1) + static_cast<std::int64_t>(day) - 1, y, m, d);
    std::tm tm;
    std::memset(&tm, 0, sizeof tm);
    tm.tm_year = static_cast<int>(y - 1900);
    tm.tm_mon = static_cast<int>(m) - 1;
    tm.tm_mday = static_cast<int>(d);
    tm.tm_isdst = -1;
    std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return -1;
    if (t > INT32_MAX || t < INT32_MIN) return -1;
    return static_cast<std::int32_t>(t);
}

std::uint32_t ReadValue(const PointOp& op, const std::uint8_t* e) {
    switch (op.letter) {
    case 'B':
        // A bit number of 8 or more shifts every bit of the byte away.
        return op.bit == NoBit ? e[0] : (op.bit >= 8 ? 0u : (e[0] >> op.bit) & 1u);
    case 'E':
        return e[0] & 0x0Fu;
    case 'M':
        return e[0] >> 4;
    case 'L':
        return e[0] | (e[1] << 8) | (e[2] << 16) | (static_cast<std::uint32_t>(e[3]) << 24);
    case 'F': {
        float value = static_cast<float>(e[0] | (e[1] << 8));
        std::uint32_t bits;
        std::memcpy(&bits, &value, 4);
        return bits;
    }
    case 'D':
        return static_cast<std::uint32_t>(DayNumberToTime(static_cast<std::uint16_t>(e[0] | (e[1] << 8))));
    default: // T, W
        return static_cast<std::uint32_t>(e[0] | (e[1] << 8));
    }
}

Bytes IntendedBytes(const PointOp& op, const std::uint8_t (*slots)[4], const Bytes& before) {
    Bytes out = before;
    if (op.bit != NoBit) {
        // One element: the point's whole value with bit `bit` set to bit 0
        // of the host's 16-bit value.
        bool set = (Half(slots[0]) & 1) != 0;
        switch (op.letter) {
        case 'B':
            out[0] = static_cast<std::uint8_t>(WithBit(before[0], op.bit, set) & 0xFF);
            break;
        case 'E':
        case 'M': {
            std::uint16_t nibble = op.letter == 'E' ? (before[0] & 0x0F) : (before[0] >> 4);
            std::uint16_t v = WithBit(nibble, op.bit, set);
            out[0] = MergeNibble(op.letter, before[0], static_cast<std::uint8_t>(v & 0xFF));
            break;
        }
        default: { // T, W
            std::uint16_t word = WithBit(static_cast<std::uint16_t>(before[0] | (before[1] << 8)), op.bit, set);
            out[0] = static_cast<std::uint8_t>(word & 0xFF);
            out[1] = static_cast<std::uint8_t>(word >> 8);
            break;
        }
        }
        return out;
    }
    for (int i = 0; i < op.count; ++i) {
        const std::uint8_t* slot = slots[i];
        switch (op.letter) {
        case 'B':
            out[i] = slot[2];
            break;
        case 'E':
        case 'M':
            out[i] = MergeNibble(op.letter, before[i], slot[2]);
            break;
        case 'L':
        case 'F':
            for (int k = 0; k < 4; ++k) out[4 * i + k] = slot[k];
            break;
        default: // T, W
            out[2 * i] = slot[2];
            out[2 * i + 1] = slot[3];
            break;
        }
    }
    return out;
}

} // namespace soak
