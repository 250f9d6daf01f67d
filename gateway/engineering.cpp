#include "gateway/engineering.h"

#include <charconv>
#include <cmath>

namespace zulgate {
namespace {

std::string Shown(double v) { return NumberText(v); }

} // namespace

double ValueMeaning::Number(std::uint32_t raw) const {
    if (bit) return raw & 1u;
    return NumberOf(*type, raw);
}

double ValueMeaning::Value(std::uint32_t raw) const {
    double number = Number(raw);
    if (!engineering || !engineering->Scaled()) return number;
    double value = number * engineering->scale + engineering->offset;
    // 210 x 0.1 is 21.000000000000004 in binary: the value has the
    // precision its scale and offset were written with.
    double unit = std::pow(10.0, engineering->decimals);
    return std::round(value * unit) / unit;
}

const std::string* ValueMeaning::State(std::uint32_t raw) const {
    if (!engineering || raw >= engineering->states.size()) return nullptr;
    return &engineering->states[raw];
}

double ValueMeaning::LowestRaw() const {
    if (bit) return 0;
    return type->kind == ValueKind::Signed ? -2147483648.0 : 0.0;
}

double ValueMeaning::HighestRaw() const {
    if (bit) return 1;
    return type->kind == ValueKind::Signed ? 2147483647.0 : static_cast<double>(type->Largest());
}

std::pair<double, double> ValueMeaning::ValueRange() const {
    double low = Value(static_cast<std::uint32_t>(static_cast<std::int64_t>(LowestRaw())));
    double high = Value(static_cast<std::uint32_t>(static_cast<std::int64_t>(HighestRaw())));
    if (low > high) std::swap(low, high);
    return {low, high};
}

std::optional<std::uint32_t> RawForValue(const ValueMeaning& meaning, double value, std::string& why) {
    const Engineering* e = meaning.engineering;
    if (!std::isfinite(value)) {
        why = "not a finite number";
        return std::nullopt;
    }
    if (e && e->min && value < *e->min) {
        why = Shown(value) + " is below min " + Shown(*e->min);
        return std::nullopt;
    }
    if (e && e->max && value > *e->max) {
        why = Shown(value) + " is above max " + Shown(*e->max);
        return std::nullopt;
    }
    double raw = e ? (value - e->offset) / e->scale : value;
    // Halves away from zero; 21.35 / 0.1 is 213.49999999999997 in binary,
    // so the quotient is first taken to a millionth of a raw step.
    double rounded = std::round(std::round(raw * 1e6) / 1e6);
    if (!(rounded >= meaning.LowestRaw() && rounded <= meaning.HighestRaw())) {
        auto [low, high] = meaning.ValueRange();
        why = Shown(value) + " is outside what the point holds (" + Shown(low) + " to " + Shown(high) + ")";
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(rounded));
}

std::optional<std::uint32_t> RawForState(const ValueMeaning& meaning, std::string_view text) {
    if (!meaning.engineering) return std::nullopt;
    const std::vector<std::string>& states = meaning.engineering->states;
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (states[i] == text) return static_cast<std::uint32_t>(i);
    }
    return std::nullopt;
}

std::string NumberText(double value) {
    if (!std::isfinite(value)) return "null"; // JSON has no NaN or infinity
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<std::int64_t>(value));
    }
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return ec == std::errc() ? std::string(text, end) : std::string("null");
}

} // namespace zulgate
