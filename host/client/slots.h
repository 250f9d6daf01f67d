// A point's elements on the panel and in the host's value slots, as the
// type letters' table gives them: how many bytes an element takes, how many
// fit one transfer, and the value a slot holds (bytes 2-3 for 16-bit
// values, all four for L, F and D).
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
// A write of a bit or a nibble is merged into what the panel holds, so it
// goes one element at a time; other points write as many as fit.
bool MergedWrite(const Point& point);
int MaxElementsPerWrite(const Point& point);

// The value in one element's slot after a read of `read`: its part of the
// slot; with bit 0..15, that bit of it alone (a bit of an element read whole).
std::uint32_t SlotValueOf(const Point& read, const Slot& slot, int bit = -1);
// The slot that writes the value to the point.
Slot SlotFor(const Point& point, std::uint32_t value);

// A slot holding a 16-bit half (bytes 2-3), or a whole word, little-endian.
Slot HalfSlot(std::uint16_t value);
Slot WordSlot(std::uint32_t value);
Slot FloatSlot(float value);

} // namespace zulclient
