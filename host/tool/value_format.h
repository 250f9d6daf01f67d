// Values by type letter: how many bytes an element takes on the panel, how a
// host slot reads as text and as a JSON number, and how a command-line value
// becomes a slot for a write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/tool/driver_client.h"

namespace zulhost {

// Panel bytes per element of a letter (B E M 1, T W 2, D 3, L F 4).
int BytesPerElement(char letter);

// At most this many elements of the point fit one transfer (255 bytes).
int MaxElements(const Point& point);

// A slot as the driver filled it for this point.
struct Value {
    enum Kind { Unsigned, Signed, Float, Time } kind = Unsigned;
    std::uint32_t unsignedValue = 0; // B E M T W (16-bit half), L (whole slot)
    std::int32_t timeValue = 0;      // D: seconds since 1970, -1 out of range
    float floatValue = 0;            // F
};
Value DecodeSlot(const Point& point, const Slot& slot);
std::string FormatValue(const Point& point, const Value& value); // e.g. "4660 (0x1234)"
std::string FormatTime(std::int32_t seconds);                    // local "YYYY-MM-DD HH:MM:SS"

// A value from the command line for a write, or an error message.
struct Encoded {
    std::optional<Slot> slot;
    std::string error;
};
Encoded EncodeValue(const Point& point, const std::string& text);

// Slot helpers: the 16-bit half (bytes 2-3) and the whole slot, little-endian.
Slot HalfSlot(std::uint16_t value);
Slot WordSlot(std::uint32_t value);
Slot FloatSlot(float value);

// "W01A2F3" for a point; with a bit digit when it has one.
std::string PointText(const Point& point);

} // namespace zulhost
