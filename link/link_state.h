// What the link keeps of a channel from one request to the next, in the two
// bytes of the channel's context that are the driver's own: how long the
// link takes to answer, as learned, and whether the line may still carry a
// reply to an earlier request.
#pragma once

#include <cstdint>

#include "serial/time_units.h"

struct LinkState {
    milliseconds delay{0};  // smoothed time from a request's departure to its reply's first byte
    bool outOfStep = false; // an earlier exchange ended uncleanly, and no fence has been answered since
};

// The two bytes, low byte first: bits 0-14 the delay in milliseconds (at
// most 32.767 s), bit 15 out of step. Two zero bytes: nothing learned, in step.
constexpr int LinkStateBytes = 2;
constexpr milliseconds MaxLearnedDelay{0x7FFF};

LinkState LoadLinkState(const std::uint8_t* bytes);
void StoreLinkState(const LinkState& state, std::uint8_t* bytes);
