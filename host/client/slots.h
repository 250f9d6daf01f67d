// A point's elements on the panel and in the host's value slots: how many
// bytes an element takes, how many fit one transfer, and the two halves of
// a slot that the driver fills (bytes 2-3 for 16-bit values, all four for
// L, F and D).
#pragma once

#include <cstdint>

#include "host/client/driver_client.h"

namespace zulclient {

// Panel bytes per element of a letter (B E M 1, T W 2, D 3, L F 4).
int BytesPerElement(char letter);

// One transfer moves at most this many bytes.
constexpr int MaxTransferBytes = 255;

// At most this many elements of the point fit one transfer.
int MaxElements(const Point& point);

// The 16-bit half (bytes 2-3) and the whole slot, little-endian.
std::uint16_t SlotHalf(const Slot& slot);
std::uint32_t SlotWord(const Slot& slot);
Slot HalfSlot(std::uint16_t value);
Slot WordSlot(std::uint32_t value);
Slot FloatSlot(float value);

} // namespace zulclient
