// What a read must return and what a write must leave in the panel's
// memory, worked out from the simulator's memory bytes alone: the soak's
// oracle, written apart from the driver's own conversions.
#pragma once

#include <cstdint>
#include <vector>

namespace soak {

using Bytes = std::vector<std::uint8_t>;
constexpr int NoBit = 255;

struct PointOp {
    char letter = 'W';
    int bit = NoBit;
    std::uint32_t address = 0;
    int count = 1;
};

// Bytes one element occupies in the panel's memory (B E M 1, T W 2, D 3, L F 4).
int BytesPer(char letter);
// Bytes the whole transfer covers.
inline int TransferBytes(const PointOp& op) { return BytesPer(op.letter) * op.count; }
// True for the letters whose host value is the 16-bit half (bytes 2-3) of
// the slot; false for L, F and D, which fill all four bytes.
bool HalfSlot(char letter);

// Seconds since 1970 of local midnight of a panel day number (1 is
// 1 January 1977), through mktime; -1 when it does not fit 32 bits.
std::int32_t DayNumberToTime(std::uint16_t day);

// The host value of one element read from `element` (its bytes in memory
// order): the 16-bit value for half-slot letters, the whole slot otherwise.
std::uint32_t ReadValue(const PointOp& op, const std::uint8_t* element);

// The bytes that a write of `op` with the host's value slots must leave at
// op.address, given `before`, the TransferBytes(op) bytes there before it.
// Bit and nibble writes merge into `before`; whole values replace it.
Bytes IntendedBytes(const PointOp& op, const std::uint8_t (*slots)[4], const Bytes& before);

} // namespace soak
