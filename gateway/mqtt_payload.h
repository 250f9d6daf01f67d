// What goes over MQTT, apart from the connection: a point element's topic,
// its JSON ({"value", "quality", "time"}) and what a set message asks to
// write. Quality is what a subscriber needs to know at once: "good" (read
// within stale_ms), "stale" (the last value read, but not current now) or
// "bad" (never read well: the value is null).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "gateway/point_map.h"
#include "gateway/point_store.h"

namespace zulgate {

enum class Published { Good, Stale, Bad };
const char* PublishedName(Published quality);
Published PublishedOf(const StoredValue& value, bool current);

// "<prefix>/<panel>/<point>" for element 0, ".../<point>/N" for element N.
std::string ElementTopic(const std::string& prefix, const std::string& panel, const std::string& point, int element);

// The JSON of one element; `readAt` is the read's wall-clock time.
std::string ValueJson(const MappedPoint& point, const StoredValue& value, Published quality,
                      std::chrono::system_clock::time_point readAt);
// "2026-12-10T03:04:58.123Z".
std::string IsoUtc(std::chrono::system_clock::time_point at);

// A set message's payload as the value the store keeps for the element
// (the same checks as a Modbus write: rw only, the value must fit); false
// with the reason in a few words. The payload is one JSON number (or
// true/false for a bit), with white space around it and nothing else: no
// NUL byte, nothing after it.
bool ParseSet(const MappedPoint& point, std::string_view payload, std::uint32_t& raw, std::string& why);

// "<panel>/<point>/set" or "<panel>/<point>/N/set" below the prefix.
struct SetTopic {
    std::string panel;
    std::string point;
    int element = 0;
};
bool ParseSetTopic(const std::string& prefix, std::string_view topic, SetTopic& out);

} // namespace zulgate
