// Which properties each object has, and their values. One table says, for
// every property served, whether the standard requires it and which object
// types have it; Property_List, ReadPropertyMultiple's ALL, REQUIRED and
// OPTIONAL and the unknown-property error all come from it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "gateway/bacnet/object_table.h"

namespace zulgate::bacnet {

struct Listed {
    Property id;
    bool required;
};
// The properties of an object (or of the device), in the order served.
std::vector<Listed> PropertiesOf(const ObjectTable& table, const ObjectId& id);

// What the quality of a reading makes of Status_Flags and Reliability.
struct Condition {
    bool fault = false;
    Reliability reliability = Reliability::NoFaultDetected;
    bool operator==(const Condition& o) const { return fault == o.fault && reliability == o.reliability; }
};
Condition ConditionOf(const ObjectSpec& spec, const Reading& reading);

// Present_Value's encoding for the object's type: REAL, ENUMERATED
// inactive/active, or the state counted from 1 (Unsigned).
AppValue PresentValueOf(ObjectType type, const PointValue& value);
AppValue StatusFlagsOf(const Condition& condition);

// The property's value, appended as its application-tagged elements; or the
// error that answers for it. `index` picks an array element (0: the count).
std::optional<Error> ReadValue(const ObjectTable& table, ValueSource& source, const ObjectId& id, Property property,
                               std::optional<std::uint32_t> index, Bytes& out);

} // namespace zulgate::bacnet
