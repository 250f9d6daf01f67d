// What comes in over MQTT, through zulgate's readers of it: a set message's
// payload against each kind of point (ParseSet), its topic (ParseSetTopic)
// and the start-up scan's test of a retained topic as its own (OwnTopics).
// The input: a byte choosing the point, a byte giving the topic's length,
// the topic, and the payload (the rest, NUL bytes and all).
// A set taken must be one whole value with nothing around it but white
// space and no NUL: a JSON number whose raw number reads back within half a
// scale step of it, inside min..max and inside what the element holds;
// true/false for a bit; one of a point's states, by its text or its number.
// A refusal says why and that nothing was written. A topic taken must be the one the gateway would
// write for what it names, and a topic the scan takes for its own must be
// a point topic whose set topic the gateway takes.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <optional>
#include <vector>

#include "gateway/ha_discovery.h"

#include "fuzz/fuzz_support.h"
#include "gateway/mqtt_payload.h"
#include "gateway/retained_scan.h"

using namespace fuzz;
using namespace zulgate;

namespace {

struct Kind {
    char letter = 'W';
    std::int32_t bit = NoBit;
    bool writable = true;
    double scale = 1, offset = 0;
    int decimals = 0;
    std::optional<double> min, max;
    std::vector<std::string> states;
};
Kind Plain(char letter, std::int32_t bit, bool writable = true) {
    Kind k;
    k.letter = letter;
    k.bit = bit;
    k.writable = writable;
    return k;
}
Kind Scaled(char letter, double scale, double offset, int decimals, std::optional<double> min = {},
            std::optional<double> max = {}) {
    Kind k = Plain(letter, NoBit);
    k.scale = scale;
    k.offset = offset;
    k.decimals = decimals;
    k.min = min;
    k.max = max;
    return k;
}
Kind WithStates(char letter, std::int32_t bit, std::vector<std::string> states) {
    Kind k = Plain(letter, bit);
    k.states = std::move(states);
    return k;
}
const Kind Kinds[] = {
    Plain('B', NoBit),
    Plain('E', NoBit),
    Plain('M', NoBit),
    Plain('T', NoBit),
    Plain('W', NoBit),
    Plain('L', NoBit),
    Plain('B', 7),
    Plain('W', 15),
    Plain('W', NoBit, false),
    Scaled('W', 0.1, -40, 1),
    Scaled('W', 0.5, 0, 1, 15.0, 30.0),
    Scaled('L', -0.25, 100, 2),
    WithStates('B', NoBit, {"Off", "Auto", "On"}),
    WithStates('B', 3, {"closed", "open"}),
};

bool JsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && JsonSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && JsonSpace(s.back())) s.remove_suffix(1);
    return s;
}

bool EndsWith(const std::string& s, const char* end) {
    std::size_t n = std::strlen(end);
    return s.size() >= n && s.compare(s.size() - n, n, end) == 0;
}

void CheckSet(const Kind& kind, std::string_view payload) {
    MappedPoint point;
    point.name = "p";
    point.point.letter = kind.letter;
    point.point.bitNumber = kind.bit;
    point.writable = kind.writable;
    point.engineering.scale = kind.scale;
    point.engineering.offset = kind.offset;
    point.engineering.decimals = kind.decimals;
    point.engineering.min = kind.min;
    point.engineering.max = kind.max;
    point.engineering.states = kind.states;
    std::uint32_t raw = 0xDEADBEEF;
    std::string why;
    bool ok = ParseSet(point, payload, raw, why);
    if (!ok) {
        Check(EndsWith(why, "not written"), "a refusal that does not say nothing was written");
        return;
    }
    Check(why.empty(), "a set taken with a reason");
    Check(kind.writable, "a read-only point's set taken");
    Check(payload.find('\0') == std::string_view::npos, "a set with a NUL byte taken");
    const ValueMeaning meaning = point.Meaning();
    Check(meaning.Number(raw) >= meaning.LowestRaw() && meaning.Number(raw) <= meaning.HighestRaw(),
          "a raw number beyond the element taken");
    std::string value(Trimmed(payload));
    if (value == "true" || value == "false") {
        Check(kind.bit != NoBit, "true/false taken for a point that is not a bit");
        Check(raw == (value == "true" ? 1u : 0u), "true/false taken as another value");
        return;
    }
    if (!kind.states.empty()) {
        Check(raw < kind.states.size(), "a point with states set to no state");
        std::string text = value.size() >= 2 && value.front() == '"' ? value.substr(1, value.size() - 2) : value;
        bool named = text == kind.states[raw];
        bool numbered = !text.empty() && std::strtod(text.c_str(), nullptr) == raw &&
                        text.find_first_not_of("-+.0123456789eE") == std::string::npos;
        Check(named || numbered || value.front() == '"', "a state taken that the payload does not name");
        return;
    }
    Check(!value.empty() && (value[0] == '-' || (value[0] >= '0' && value[0] <= '9')), "not a JSON number taken");
    char* end = nullptr;
    double d = std::strtod(value.c_str(), &end);
    Check(end == value.c_str() + value.size(), "a set with more than one value taken");
    Check(!kind.min || d >= *kind.min, "a value below min taken");
    Check(!kind.max || d <= *kind.max, "a value above max taken");
    // The nearest raw number: what it reads back as is within half a step.
    double back = meaning.Number(raw) * kind.scale + kind.offset;
    Check(std::fabs(back - d) <= std::fabs(kind.scale) * (0.5 + 1e-6) + 1e-9 * std::fabs(d),
          "a value taken as another raw number than its nearest");
}

void CheckTopic(const std::string& topic, std::string_view payload) {
    const std::string prefix = "zt/s";
    SetTopic set;
    if (ParseSetTopic(prefix, topic, set)) {
        Check(ElementTopic(prefix, set.panel, set.point, set.element) + "/set" == topic,
              "a set topic taken for another point's");
    }
    if (OurDiscoveryConfig(topic, payload, "ha", prefix)) {
        Check(topic.rfind("ha/", 0) == 0 && EndsWith(topic, "/config"), "a discovery config taken elsewhere");
        return;
    }
    if (OwnTopics(prefix, "ha").Ours(topic, payload)) {
        SetTopic named;
        Check(ParseSetTopic(prefix, topic + "/set", named) &&
                  ElementTopic(prefix, named.panel, named.point, named.element) == topic,
              "a retained topic taken as the gateway's that is not a point topic");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const Kind& kind = Kinds[data[0] % (sizeof Kinds / sizeof Kinds[0])];
    std::size_t topicLength = std::min<std::size_t>(data[1], size - 2);
    const char* text = reinterpret_cast<const char*>(data + 2);
    std::string topic(text, topicLength);
    std::string_view payload(text + topicLength, size - 2 - topicLength);
    CheckSet(kind, payload);
    CheckTopic(topic, payload);
    return 0;
}
