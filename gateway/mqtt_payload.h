// What goes over MQTT, apart from the connection: a point element's topic,
// its JSON ({"value", "raw", "quality", "time"}) and what a set message asks
// to write. The value is what the point means (raw x scale + offset, or
// its state's text); raw is the panel's own number. Quality is what a
// subscriber needs to know at once: "good" (read within stale_ms), "stale"
// (the last value read, but not current now) or "bad" (never read well:
// value and raw are null).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A set message's payload as the raw value the panel takes for the element
// (rw only, the value must fit); false with the reason in a few words. The
// payload is one complete value, with white space around it and nothing
// else (no NUL byte, nothing after it): a JSON number in the point's
// engineering units, rounded to the nearest raw number (halves away from
// zero) and refused outside min..max or outside what the element holds;
// true/false for a bit; for a point with states, a state's text (bare, as
// Home Assistant sends a select's option, or as a JSON string) or its raw
// number.
bool ParseSet(const MappedPoint& point, std::string_view payload, std::uint32_t& raw, std::string& why);

// The levels of a topic below the prefix ("<prefix>/a/b" gives a, b), or
// nothing when the topic is not below it.
std::optional<std::vector<std::string_view>> LevelsBelow(const std::string& prefix, std::string_view topic);
// An element's level as ElementTopic writes it: 1 or more, no leading zero.
std::optional<int> ElementLevel(std::string_view level);

// "<panel>/<point>/set" or "<panel>/<point>/N/set" below the prefix.
struct SetTopic {
    std::string panel;
    std::string point;
    int element = 0;
};
bool ParseSetTopic(const std::string& prefix, std::string_view topic, SetTopic& out);

} // namespace zulgate
