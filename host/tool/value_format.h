// Values by type letter: how a host slot reads as text and as a JSON number,
// and how a command-line value becomes a slot for a write.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/tool/host_client.h"

namespace zulhost {

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

} // namespace zulhost
