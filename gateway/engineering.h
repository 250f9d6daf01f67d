// What a point's raw number means to a person and to the systems the
// gateway serves: engineering value = raw x scale + offset, in its units,
// or a state's text; and the way back, from what a client asks to write to
// the raw number the panel takes. From the point list's optional columns
// scale, offset, units, states, min, max, cov and description.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gateway/units.h"
#include "panel/type_letters.h"

namespace zulgate {

struct Engineering {
    double scale = 1;
    double offset = 0;
    int decimals = 0;                // of scale and offset as written: the engineering value's own precision
    const Unit* unit = nullptr;      // none given: no-units
    std::vector<std::string> states; // by raw value, from 0
    std::optional<double> min, max;  // what a write may ask, in engineering units
    std::optional<double> cov;       // the change a subscriber is told of
    std::string description;

    const Unit& Units() const { return unit ? *unit : NoUnits(); }
    bool Scaled() const { return scale != 1 || offset != 0; }
};

// How one element's raw number is read: its letter's table entry, whether
// the point names a bit, and its engineering.
struct ValueMeaning {
    const TypeLetterInfo* type = nullptr;
    bool bit = false;
    const Engineering* engineering = nullptr;

    // The raw number as the panel means it (signed for L and D, the float of
    // F, 0/1 for a bit), before scale and offset.
    double Number(std::uint32_t raw) const;
    // raw x scale + offset, rounded to the decimals of scale and offset.
    double Value(std::uint32_t raw) const;
    // The state's text, where the point has states and one for this raw.
    const std::string* State(std::uint32_t raw) const;
    // The raw numbers an element can hold: 0..1 for a bit, the letter's range.
    double LowestRaw() const;
    double HighestRaw() const;
    // The values those give, in engineering units, the lower first.
    std::pair<double, double> ValueRange() const;
};

// A value a client asks to write, back to the raw number: (value - offset) /
// scale rounded to the nearest whole number, halves away from zero; refused
// with the reason when it is outside min..max or outside what the element
// can hold.
std::optional<std::uint32_t> RawForValue(const ValueMeaning& meaning, double value, std::string& why);
// A state's text back to its raw number.
std::optional<std::uint32_t> RawForState(const ValueMeaning& meaning, std::string_view text);

// "21.5", "320", "-3": the shortest text that reads back as the value, as
// JSON and people write numbers; "null" for what JSON has no number for.
std::string NumberText(double value);

} // namespace zulgate
