// The engineering units a point list may name, as BACnet writes them (lower
// case with hyphens): each with its number in BACnet's engineering-units
// enumeration, the symbol people read, and the Home Assistant device class
// the unit implies, where it implies one.
#pragma once

#include <cstdint>
#include <string_view>

namespace zulgate {

struct Unit {
    const char* name;     // "degrees-celsius"
    std::uint16_t bacnet; // 62
    const char* symbol;   // "°C"; empty for no-units
    const char* haClass;  // "temperature"; empty where none fits
};

// Null for a name the table does not hold.
const Unit* FindUnit(std::string_view name);
const Unit& NoUnits();

} // namespace zulgate
