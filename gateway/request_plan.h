// A poll cycle's requests: the elements of a panel's points merged into as
// few block reads as the line allows.
//
// The rule: elements of one letter are read together when their addresses
// are on one grid of the element size (a W at an odd address is not in a
// block that starts at an even one). Neighbours join one block, and so do
// elements with a gap of unread bytes between them, as long as the gap's
// bytes take less line time than a request of their own would cost on top
// of its values: its request frame (11 bytes), the reply's frame around the
// values (7) and the ACK (1), 19 bytes in all, plus the host's turn of about
// 2 ms between the reply's end and the driver's return. At 9600 baud, 8N1,
// that spans gaps of up to 20 bytes. No block carries more than 255 bytes.
// Bits are read as the B, T or W element that holds them, once for all of
// its bits; nibbles (E, M) as their own letter, which the driver decodes.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/point_map.h"

namespace zulgate {

// Where a block's slot goes: a value of the store, the whole element or one bit of it.
struct ReadTarget {
    int slot = 0;
    int bit = -1; // -1: the element itself
    std::size_t value = 0;
};

struct BlockRead {
    char letter = 'W';
    std::int32_t address = 0;
    int count = 0;
    std::vector<ReadTarget> targets; // by slot
    int ValueBytes() const;
    std::string Text() const; // "W000100 x20"
};

// The longest gap of unread bytes a block spans on a line whose characters
// take this long each.
int MaxGapBytes(std::chrono::nanoseconds characterTime);

std::vector<BlockRead> PlanReads(const PanelMap& map, int maxGapBytes);

// The least time a cycle of these reads takes on the line: each request's
// frame, its reply's frame around the values and the ACK, on this line.
// Values that hold DLE bytes (doubled in the frame), the panel's turnaround
// and a USB adapter's latency timer only add to it.
std::chrono::microseconds CycleLineTime(const std::vector<BlockRead>& plan, const zulclient::LineSettings& line);

// The block's runs of neighbouring read elements, each its own block: what
// takes a merged block's place when the panel refuses to read its gaps.
std::vector<BlockRead> SplitAtGaps(const BlockRead& block);

} // namespace zulgate
