#include "host/tool/value_format.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace zulhost {
namespace {

// Decimal, or hexadecimal after 0x; the whole text must be the number.
bool ParseInteger(const std::string& text, long long& value) {
    if (text.empty()) return false;
    const char* begin = text.c_str();
    bool negative = *begin == '-';
    const char* digits = negative || *begin == '+' ? begin + 1 : begin;
    int base = 10;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits += 2;
    }
    if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long magnitude = std::strtoull(digits, &end, base);
    if (errno != 0 || *end != '\0' || magnitude > 0xFFFFFFFFull) return false;
    value = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return true;
}

Encoded Range(const Point& point, const std::string& text, long long low, long long high, const char* what) {
    long long v = 0;
    Encoded e;
    if (!ParseInteger(text, v) || v < low || v > high) {
        e.error = "value '" + text + "' for " + PointText(point) + ": " + what;
        return e;
    }
    e.slot = HalfSlot(static_cast<std::uint16_t>(v));
    return e;
}

} // namespace

Value DecodeSlot(const Point& point, const Slot& slot) {
    const TypeLetterInfo& type = point.Type();
    std::uint32_t raw = SlotValue(type, slot.data());
    Value v;
    switch (type.kind) {
    case ValueKind::Signed:
        v.kind = Value::Signed;
        v.unsignedValue = raw;
        break;
    case ValueKind::Float:
        v.kind = Value::Float;
        std::memcpy(&v.floatValue, &raw, sizeof raw);
        break;
    case ValueKind::Date:
        v.kind = Value::Time;
        v.timeValue = static_cast<std::int32_t>(raw);
        break;
    case ValueKind::Unsigned:
        v.unsignedValue = raw;
        break;
    }
    return v;
}

std::string FormatTime(std::int32_t seconds) {
    if (seconds == -1) return "out of range";
    std::time_t t = static_cast<std::time_t>(seconds);
    const std::tm* local = std::localtime(&t);
    if (local == nullptr) return "invalid time";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    return text;
}

std::string FormatValue(const Point& point, const Value& value) {
    char text[64];
    switch (value.kind) {
    case Value::Signed:
        std::snprintf(text, sizeof text, "%ld (0x%08lX)",
                      static_cast<long>(static_cast<std::int32_t>(value.unsignedValue)),
                      static_cast<unsigned long>(value.unsignedValue));
        break;
    case Value::Float:
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value.floatValue));
        break;
    case Value::Time:
        std::snprintf(text, sizeof text, "%s (%ld)", FormatTime(value.timeValue).c_str(),
                      static_cast<long>(value.timeValue));
        break;
    case Value::Unsigned:
        if (point.HasBit() || point.Type().Nibble()) {
            std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value.unsignedValue));
        } else {
            // As many hex digits as the element has bytes.
            std::snprintf(text, sizeof text, "%u (0x%0*X)", static_cast<unsigned>(value.unsignedValue),
                          2 * point.Type().bytes, static_cast<unsigned>(value.unsignedValue));
        }
        break;
    }
    return text;
}

Encoded EncodeValue(const Point& point, const std::string& text) {
    const TypeLetterInfo& type = point.Type();
    if (point.HasBit()) return Range(point, text, 0, 1, "a bit takes 0 or 1");
    if (type.write == WriteRule::None) {
        Encoded e;
        e.error = std::string(PointText(point)) + ": " + point.letter +
                  " points are read-only (the driver has no encoding for them)";
        return e;
    }
    switch (type.kind) {
    case ValueKind::Unsigned: {
        std::string what = type.Nibble()     ? "a nibble takes 0.."
                           : type.bytes == 1 ? "a byte takes 0.."
                                             : "a word takes 0..";
        return Range(point, text, 0, type.Largest(), (what + std::to_string(type.Largest())).c_str());
    }
    case ValueKind::Signed: {
        long long v = 0;
        Encoded e;
        if (!ParseInteger(text, v) || v < INT32_MIN || v > static_cast<long long>(UINT32_MAX)) {
            e.error = "value '" + text + "' for " + PointText(point) + ": a long takes a 32-bit integer";
        } else {
            e.slot = WordSlot(static_cast<std::uint32_t>(v));
        }
        return e;
    }
    case ValueKind::Float: {
        Encoded e;
        errno = 0;
        char* end = nullptr;
        float f = std::strtof(text.c_str(), &end);
        if (text.empty() || errno != 0 || *end != '\0' || !std::isfinite(f)) {
            e.error = "value '" + text + "' for " + PointText(point) + ": a float takes a finite number";
        } else {
            e.slot = FloatSlot(f);
        }
        return e;
    }
    case ValueKind::Date:
        break;
    }
    Encoded e;
    e.error = std::string(PointText(point)) + ": cannot be written";
    return e;
}

} // namespace zulhost
