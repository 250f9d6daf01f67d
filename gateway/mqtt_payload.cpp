#include "gateway/mqtt_payload.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

namespace zulgate {

const char* PublishedName(Published quality) {
    switch (quality) {
    case Published::Good:
        return "good";
    case Published::Stale:
        return "stale";
    case Published::Bad:
        return "bad";
    }
    return "bad";
}

Published PublishedOf(const StoredValue& value, bool current) {
    if (current) return Published::Good;
    return value.readAt == Clock::time_point{} ? Published::Bad : Published::Stale;
}

std::string ElementTopic(const std::string& prefix, const std::string& panel, const std::string& point, int element) {
    std::string topic = prefix + "/" + panel + "/" + point;
    if (element > 0) topic += "/" + std::to_string(element);
    return topic;
}

std::string IsoUtc(std::chrono::system_clock::time_point at) {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(at.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
    return text;
}

std::string ValueJson(const MappedPoint& point, const StoredValue& value, Published quality,
                      std::chrono::system_clock::time_point readAt) {
    bool known = quality != Published::Bad;
    std::string shown = "null", raw = "null";
    if (known) {
        shown = value.state
                    ? nlohmann::json(*value.state).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                    : NumberText(value.value);
        raw = NumberText(point.Meaning().Number(value.raw));
    }
    return "{\"value\":" + shown + ",\"raw\":" + raw + ",\"quality\":\"" + PublishedName(quality) +
           "\",\"time\":" + (known ? "\"" + IsoUtc(readAt) + "\"" : "null") + "}";
}

namespace {

std::string_view Trimmed(std::string_view text) {
    const char* space = " \t\r\n";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

} // namespace

bool ParseSet(const MappedPoint& point, std::string_view payload, std::uint32_t& raw, std::string& why) {
    if (!point.writable) {
        why = "read-only: not written";
        return false;
    }
    // The JSON reader takes a NUL byte for the end of its input: "33\0 9" would be 33.
    if (payload.find('\0') != std::string_view::npos) {
        why = "not a JSON number (it holds a NUL byte): not written";
        return false;
    }
    const ValueMeaning meaning = point.Meaning();
    const bool states = !point.engineering.states.empty();
    nlohmann::json v = nlohmann::json::parse(payload.begin(), payload.end(), nullptr, false);
    if (states && (v.is_discarded() || v.is_string())) {
        // A state by its text: bare (Home Assistant's select), or as a JSON string.
        std::string text = v.is_string() ? v.get<std::string>() : std::string(Trimmed(payload));
        if (std::optional<std::uint32_t> state = RawForState(meaning, text)) {
            raw = *state;
            return true;
        }
        why = "not one of its states (" + [&] {
            std::string all;
            for (const std::string& s : point.engineering.states) all += (all.empty() ? "" : ", ") + s;
            return all;
        }() + ") or a number: not written";
        return false;
    }
    if (v.is_discarded() || !(v.is_number() || v.is_boolean())) {
        why = "not a JSON number" + std::string(point.point.HasBit() ? " or true/false" : "") + ": not written";
        return false;
    }
    if (v.is_boolean()) {
        if (!point.point.HasBit()) {
            why = "true/false is for bits; this point takes a number: not written";
            return false;
        }
        raw = v.get<bool>() ? 1u : 0u;
        return true;
    }
    double d = v.get<double>();
    // A point with states takes the state's raw number, not scaled.
    std::optional<std::uint32_t> written;
    if (states && d != std::floor(d)) {
        why = NumberText(d) + " is no state's number (a whole number from 0): not written";
        return false;
    }
    if (states) {
        ValueMeaning unscaled = meaning;
        unscaled.engineering = nullptr;
        written = RawForValue(unscaled, d, why);
        if (written && *written >= point.engineering.states.size()) {
            why = NumberText(d) + " is no state's number (0 to " + std::to_string(point.engineering.states.size() - 1) +
                  ")";
            written.reset();
        }
    } else {
        written = RawForValue(meaning, d, why);
    }
    if (!written) {
        why += ": not written";
        return false;
    }
    raw = *written;
    return true;
}

std::optional<std::vector<std::string_view>> LevelsBelow(const std::string& prefix, std::string_view topic) {
    if (topic.size() <= prefix.size() + 1 || topic.compare(0, prefix.size(), prefix) != 0 ||
        topic[prefix.size()] != '/')
        return std::nullopt;
    std::string_view rest = topic.substr(prefix.size() + 1);
    std::vector<std::string_view> levels;
    for (std::size_t start = 0;;) {
        std::size_t slash = rest.find('/', start);
        levels.push_back(rest.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return levels;
}

std::optional<int> ElementLevel(std::string_view level) {
    int element = 0;
    auto [end, ec] = std::from_chars(level.data(), level.data() + level.size(), element);
    if (ec != std::errc() || end != level.data() + level.size() || element < 1 || level[0] == '0') return std::nullopt;
    return element;
}

bool ParseSetTopic(const std::string& prefix, std::string_view topic, SetTopic& out) {
    std::optional<std::vector<std::string_view>> below = LevelsBelow(prefix, topic);
    if (!below) return false;
    const std::vector<std::string_view>& levels = *below;
    if ((levels.size() != 3 && levels.size() != 4) || levels.back() != "set") return false;
    out = SetTopic{std::string(levels[0]), std::string(levels[1]), 0};
    if (levels.size() == 4) {
        std::optional<int> element = ElementLevel(levels[2]);
        if (!element) return false;
        out.element = *element;
    }
    return !out.panel.empty() && !out.point.empty();
}

} // namespace zulgate
