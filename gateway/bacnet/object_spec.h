// What the gateway tells the BACnet server: the device, its objects, and
// where their values come from and writes go to. Nothing here knows of
// panels or point lists; the gateway fills it in.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "gateway/bacnet/encoding.h"

namespace zulgate::bacnet {

struct DeviceSpec {
    std::uint32_t instance = 0; // 0..4194302, unique on the site's network
    std::string name = "zulgate";
    std::string description;
    std::string vendorName = "zultrk";
    // No vendor identifier has been assigned to this project; 65535, the
    // highest Unsigned16, is not assigned to anyone. A site that has its own
    // sets it here.
    std::uint16_t vendorIdentifier = 65535;
    std::string modelName = "zulgate";
    std::string firmwareRevision;
    std::string applicationSoftwareVersion;
    std::uint32_t databaseRevision = 0; // changes whenever the objects may have
};

struct ObjectSpec {
    ObjectType type = ObjectType::AnalogValue;
    std::uint32_t instance = 0;
    std::string name; // unique in the device
    std::string description;
    std::uint32_t units = 95; // analog: BACnet's engineering-units number; 95 no-units
    // Multi-state: the texts of states 1..N. Binary: none, or the inactive
    // and the active text.
    std::vector<std::string> states;
    float covIncrement = 0;         // analog: the change that is notified; 0 any change
    bool commandable = false;       // Analog, Binary and Multi-state Value only
    std::optional<double> min, max; // analog: what a write may ask
};

// A point's value: an engineering value (analog), a bit (binary), or a
// state counted from 0 (multi-state; BACnet counts from 1).
using PointValue = std::variant<double, bool, std::uint32_t>;

struct Reading {
    PointValue value = 0.0; // the last value read, current or not
    bool current = false;   // false: never read, too old, its read failed, or its panel is away
};

// What became of a write the server handed over.
enum class WriteOutcome {
    Written,    // the panel took it
    Refused,    // the panel refused it
    OutOfRange, // the point cannot hold the value
    TimedOut,   // not taken in time (the write may still land)
    PanelAway,  // its panel does not answer: nothing sent
    Stopping,   // the gateway stops: nothing sent
};
const char* WriteOutcomeName(WriteOutcome outcome);

// Implemented by the gateway. Read is called from the server's thread and
// must not wait for the line; Write must return at once and call `done`
// exactly once, from any thread, when the write's fate is known.
class ValueSource {
public:
    using WriteDone = std::function<void(WriteOutcome)>;
    virtual ~ValueSource() = default;
    virtual Reading Read(const ObjectId& object) = 0;
    virtual void Write(const ObjectId& object, const PointValue& value, WriteDone done) = 0;
};

} // namespace zulgate::bacnet
