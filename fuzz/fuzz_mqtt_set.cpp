// What comes in over MQTT, through zulgate's readers of it: a set message's
// payload against each kind of point (ParseSet), its topic (ParseSetTopic)
// and the start-up scan's test of a retained topic as its own (OwnTopics).
// The input: a byte choosing the point, a byte giving the topic's length,
// the topic, and the payload (the rest, NUL bytes and all).
// A set taken must be one whole JSON number (or true/false for a bit) with
// nothing around it but white space, no NUL, within the point's range and
// read back as the same value by strtod; a refusal says why and that
// nothing was written. A topic taken must be the one the gateway would
// write for what it names, and a topic the scan takes for its own must be
// a point topic whose set topic the gateway takes.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "gateway/mqtt_payload.h"
#include "gateway/retained_scan.h"

using namespace fuzz;
using namespace zulgate;

namespace {

struct Kind {
    char letter;
    std::int32_t bit;
    std::uint32_t largest;
    bool writable;
};
constexpr Kind Kinds[] = {
    {'B', NoBit, 255, true},   {'E', NoBit, 15, true},    {'M', NoBit, 15, true},
    {'T', NoBit, 65535, true}, {'W', NoBit, 65535, true}, {'L', NoBit, 0xFFFFFFFFu, true},
    {'B', 7, 1, true},         {'W', 15, 1, true},        {'W', NoBit, 65535, false},
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
    point.largest = kind.largest;
    point.writable = kind.writable;
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
    std::string value(Trimmed(payload));
    if (value == "true" || value == "false") {
        Check(kind.bit != NoBit, "true/false taken for a point that is not a bit");
        Check(raw == (value == "true" ? 1u : 0u), "true/false taken as another value");
        return;
    }
    Check(!value.empty() && (value[0] == '-' || (value[0] >= '0' && value[0] <= '9')), "not a JSON number taken");
    char* end = nullptr;
    double d = std::strtod(value.c_str(), &end);
    Check(end == value.c_str() + value.size(), "a set with more than one value taken");
    Check(d == std::floor(d), "a fraction taken");
    if (kind.letter == 'L' && kind.bit == NoBit) {
        Check(d >= -2147483648.0 && d <= 4294967295.0, "an L value out of range taken");
        Check(raw == static_cast<std::uint32_t>(static_cast<std::int64_t>(d)), "an L value taken as another");
    } else {
        Check(d >= 0 && d <= kind.largest, "a value beyond the point taken");
        Check(raw == static_cast<std::uint32_t>(d), "a value taken as another");
    }
}

void CheckTopic(const std::string& topic, std::string_view payload) {
    const std::string prefix = "zt/s";
    SetTopic set;
    if (ParseSetTopic(prefix, topic, set)) {
        Check(ElementTopic(prefix, set.panel, set.point, set.element) + "/set" == topic,
              "a set topic taken for another point's");
    }
    if (OwnTopics(prefix).Ours(topic, payload)) {
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
