// The panel's type letters: what one element of each is in the panel's
// memory, in the host's 4-byte value slot and in a gateway's registers, and
// how a write puts it back. The one place that knows what a letter means:
// the driver's reads and writes, the host side, the gateway and the tool all
// read this table instead of branching on letters of their own.
//
// Pure: no input or output, no allocation, usable in the driver.
#pragma once

#include <cstdint>
#include <cstring>

// What the host's value of an element is.
enum class ValueKind : std::uint8_t {
    Unsigned, // the element's bits as an unsigned number
    Signed,   // the same, as a two's-complement number of all 32 bits
    Float,    // an IEEE 754 single in the slot
    Date,     // seconds since 1970 (signed), -1 when out of range
};

// Where the value sits in the host's slot (little-endian).
enum class SlotPart : std::uint8_t {
    Half,  // bytes 2-3, an unsigned 16-bit number; bytes 0-1 untouched
    Whole, // bytes 0-3
};

// How a write puts one element into the panel's memory.
enum class WriteRule : std::uint8_t {
    Copy,       // the element's bytes from the slot, lowest first
    LowNibble,  // merged into bits 0-3 of the panel's current byte
    HighNibble, // merged into bits 4-7 of the panel's current byte
    None,       // the driver has no encoding for it: refused, nothing sent
};

struct TypeLetterInfo {
    char letter;
    std::uint8_t bytes;     // of one element in the panel's memory
    std::uint8_t registers; // Modbus registers one element takes
    ValueKind kind;
    SlotPart slot;
    // Where the value's bits lie in the element's bytes (little-endian),
    // for the letters whose value is those bits one for one; valueBits 0
    // where the driver converts the bytes (F, D).
    std::uint8_t firstBit;
    std::uint8_t valueBits;
    WriteRule write;
    // How many bit numbers a point may name as a value of its own (B 0-7,
    // T and W 0-15); 0 where bits are not points.
    std::uint8_t namedBits;
    // The driver's read gives the named bit alone (B); other letters give
    // the whole element and leave the bit to the host.
    bool readPicksBit;

    constexpr bool BitForBit() const { return valueBits != 0; }
    // A value written reads back as itself: the write copies or merges the
    // very bits that the read gives.
    constexpr bool RoundTrips() const { return BitForBit() && write != WriteRule::None; }
    constexpr bool Nibble() const { return write == WriteRule::LowNibble || write == WriteRule::HighNibble; }
    constexpr std::uint32_t Largest() const {
        return valueBits == 0 || valueBits >= 32 ? 0xFFFFFFFFu : (1u << valueBits) - 1u;
    }
};

inline constexpr TypeLetterInfo TypeLetters[] = {
    // letter bytes regs kind             slot             bits   write                  named  picks
    {'B', 1, 1, ValueKind::Unsigned, SlotPart::Half, 0, 8, WriteRule::Copy, 8, true},
    {'E', 1, 1, ValueKind::Unsigned, SlotPart::Half, 0, 4, WriteRule::LowNibble, 0, false},
    {'M', 1, 1, ValueKind::Unsigned, SlotPart::Half, 4, 4, WriteRule::HighNibble, 0, false},
    {'T', 2, 1, ValueKind::Unsigned, SlotPart::Half, 0, 16, WriteRule::Copy, 16, false},
    {'W', 2, 1, ValueKind::Unsigned, SlotPart::Half, 0, 16, WriteRule::Copy, 16, false},
    {'L', 4, 2, ValueKind::Signed, SlotPart::Whole, 0, 32, WriteRule::Copy, 0, false},
    // F reads the panel's two low bytes as a whole number and hands it over
    // as a float; a write sends the float's own four bytes.
    {'F', 4, 2, ValueKind::Float, SlotPart::Whole, 0, 0, WriteRule::Copy, 0, false},
    // D reads a panel day number (two bytes of three) as a calendar time.
    {'D', 3, 2, ValueKind::Date, SlotPart::Whole, 0, 0, WriteRule::None, 0, false},
};

// The entry of a letter (upper case), or null for any other.
constexpr const TypeLetterInfo* FindTypeLetter(std::int32_t letter) {
    for (const TypeLetterInfo& info : TypeLetters) {
        if (info.letter == letter) return &info;
    }
    return nullptr;
}

// The value a slot holds, as a 32-bit number (the half widened).
inline std::uint32_t SlotValue(const TypeLetterInfo& type, const std::uint8_t* slot) {
    if (type.slot == SlotPart::Half) return static_cast<std::uint32_t>(slot[2] | (slot[3] << 8));
    return static_cast<std::uint32_t>(slot[0]) | (static_cast<std::uint32_t>(slot[1]) << 8) |
           (static_cast<std::uint32_t>(slot[2]) << 16) | (static_cast<std::uint32_t>(slot[3]) << 24);
}

// Stores a value into its part of the slot; a half's bytes 0-1 stay as they are.
inline void SetSlotValue(const TypeLetterInfo& type, std::uint32_t value, std::uint8_t* slot) {
    if (type.slot == SlotPart::Whole) {
        for (int i = 0; i < 4; ++i) slot[i] = static_cast<std::uint8_t>(value >> (8 * i));
    } else {
        slot[2] = static_cast<std::uint8_t>(value);
        slot[3] = static_cast<std::uint8_t>(value >> 8);
    }
}

// A bit-for-bit letter's value from the element's bytes in the panel.
inline std::uint32_t ValueFromBytes(const TypeLetterInfo& type, const std::uint8_t* bytes) {
    std::uint32_t all = 0;
    for (int i = type.bytes - 1; i >= 0; --i) all = (all << 8) | bytes[i];
    return (all >> type.firstBit) & type.Largest();
}

// A nibble merged into the panel's current byte, as the write sends it.
inline std::uint8_t MergeIntoByte(const TypeLetterInfo& type, std::uint8_t current, std::uint32_t value) {
    auto mask = static_cast<std::uint8_t>(type.Largest() << type.firstBit);
    auto bits = static_cast<std::uint8_t>((value << type.firstBit) & mask);
    return static_cast<std::uint8_t>((current & ~mask) | bits);
}

// The number a stored value stands for: unsigned, signed 32-bit (L, D), or
// the float of its bits (F).
inline double NumberOf(const TypeLetterInfo& type, std::uint32_t value) {
    switch (type.kind) {
    case ValueKind::Signed:
    case ValueKind::Date:
        return static_cast<double>(static_cast<std::int32_t>(value));
    case ValueKind::Float: {
        float f = 0;
        std::memcpy(&f, &value, sizeof f);
        return static_cast<double>(f);
    }
    case ValueKind::Unsigned:
        break;
    }
    return static_cast<double>(value);
}
