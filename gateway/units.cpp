#include "gateway/units.h"

namespace zulgate {
namespace {

// The HVAC set first, then what air handlers and plant rooms also measure.
// Home Assistant's classes only where its units match the symbol.
const Unit Units[] = {
    {"no-units", 95, "", ""},
    {"degrees-celsius", 62, "°C", "temperature"},
    {"degrees-fahrenheit", 64, "°F", "temperature"},
    {"degrees-kelvin", 63, "K", "temperature"},
    {"delta-degrees-fahrenheit", 120, "Δ°F", ""},
    {"delta-degrees-kelvin", 121, "ΔK", ""},
    {"percent", 98, "%", ""},
    {"percent-relative-humidity", 29, "%", "humidity"},
    {"parts-per-million", 96, "ppm", ""},
    {"pascals", 53, "Pa", "pressure"},
    {"hectopascals", 133, "hPa", "pressure"},
    {"kilopascals", 54, "kPa", "pressure"},
    {"bars", 55, "bar", "pressure"},
    {"pounds-force-per-square-inch", 56, "psi", "pressure"},
    {"inches-of-water", 58, "inH₂O", ""},
    {"cubic-feet-per-minute", 84, "ft³/min", "volume_flow_rate"},
    {"cubic-meters-per-hour", 135, "m³/h", "volume_flow_rate"},
    {"liters-per-second", 87, "L/s", ""},
    {"liters-per-minute", 88, "L/min", "volume_flow_rate"},
    {"us-gallons-per-minute", 89, "gal/min", "volume_flow_rate"},
    {"watts", 47, "W", "power"},
    {"kilowatts", 48, "kW", "power"},
    {"kilowatt-hours", 19, "kWh", "energy"},
    {"btus-per-hour", 50, "BTU/h", ""},
    {"tons-refrigeration", 52, "TR", ""},
    {"volts", 5, "V", "voltage"},
    {"amperes", 3, "A", "current"},
    {"hertz", 27, "Hz", "frequency"},
    {"revolutions-per-minute", 104, "rpm", ""},
    {"hours", 71, "h", "duration"},
    {"minutes", 72, "min", "duration"},
    {"seconds", 73, "s", "duration"},
    {"meters-per-second", 74, "m/s", "speed"},
    {"feet-per-minute", 77, "ft/min", ""},
};

} // namespace

const Unit* FindUnit(std::string_view name) {
    for (const Unit& unit : Units) {
        if (name == unit.name) return &unit;
    }
    return nullptr;
}

const Unit& NoUnits() { return Units[0]; }

} // namespace zulgate
