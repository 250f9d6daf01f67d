// Which panel bits an element's value is made of, so that a write to some
// bytes can be carried into every other point that shares them: a nibble
// write changes four bits of the byte that a B point reads whole, a bit
// write one bit of a word. A write is answered when the driver has written
// it, and the values served change then, also those of the points around it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace zulgate {

struct ByteChange {
    std::uint8_t mask = 0; // the bits written
    std::uint8_t bits = 0;
};
using PanelChanges = std::map<std::int32_t, ByteChange>; // by panel address

// What writing `value` to an element (letter, address, bit number or -1)
// does to the panel's bytes. Letters that are not written (D, F) change none.
void AddWrite(char letter, std::int32_t address, int bit, std::uint32_t value, PanelChanges& changes);

// Whether the element's bytes are touched by the changes.
bool Touches(char letter, std::int32_t address, const PanelChanges& changes);

// The element's value after the changes, or nothing where its value is not
// its bits one for one (D and F, which the driver converts).
std::optional<std::uint32_t> AfterChanges(char letter, std::int32_t address, int bit, std::uint32_t value,
                                          const PanelChanges& changes);

} // namespace zulgate
