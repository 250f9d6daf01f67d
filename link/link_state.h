// What the link keeps of a channel from one request to the next, in the two
// bytes of the channel's context that are the driver's own: how long the
// link takes to answer, as learned, and what may still be on its way to the
// driver from requests whose replies it stopped waiting for.
#pragma once

#include <cstdint>

#include "serial/time_units.h"

struct LinkState {
    milliseconds delay{0}; // smoothed time from a request's departure to its reply's first byte
    // The panel answers in order, and a request is sent only when nothing
    // older can be taken for its reply (panel/in_step.h says how):
    bool outOfStep = false;       // replies to read or write requests may still come
    bool versionsBehind = false;  // and version replies sent before them
    bool versionsPending = false; // version replies may still come (after any read or write's)
    bool readsPending = false;    // replies to the one-byte reads of a fence may still come
};

// Two bytes, low byte first: bits 0-11 the delay (0 to 2047 in milliseconds,
// then in steps of 16 ms up to 34.8 s), bit 12 readsPending, bit 13
// versionsPending, bit 14 versionsBehind, bit 15 outOfStep. Two zero bytes:
// nothing learned, nothing on its way.
constexpr int LinkStateBytes = 2;
constexpr milliseconds MaxLearnedDelay{2048 + 2047 * 16};

LinkState LoadLinkState(const std::uint8_t* bytes);
void StoreLinkState(const LinkState& state, std::uint8_t* bytes);
