// The panels' points as BACnet objects, one per point element: its type by
// the point's table (holding: Analog Value, or Multi-state Value with
// states; input: Analog Input; coil: Binary Value; discrete: Binary
// Input), its instance the panel's unit x 10000 + the element's register or
// bit (stable while the point list is, and no new column), its name
// "<panel>.<point>", or "<panel>.<point>.<k>" for element k >= 1 (as the
// MQTT topics), and the point list's units, states, min, max, cov and
// description. `rw` points are commandable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/bacnet/object_spec.h"
#include "gateway/checked_config.h"
#include "gateway/diagnostics.h"
#include "gateway/served_panel.h"

namespace zulgate {

// Registers and bits 0..9999 of each unit; beyond them an instance would be the next unit's.
constexpr int BacnetInstancesPerUnit = 10000;

struct BacnetObject {
    bacnet::ObjectSpec spec;
    std::size_t panel = 0; // in the store
    std::size_t point = 0; // in the panel's map
    int element = 0;
    std::size_t value = 0; // in the panel's store
};

bacnet::ObjectType BacnetTypeOf(const MappedPoint& point);
// Register (or bit) of element k.
int ElementRegister(const MappedPoint& point, int element);
std::string BacnetName(const std::string& panel, const MappedPoint& point, int element);

// Every element of every panel, in the panels' and point lists' order.
std::vector<BacnetObject> BacnetObjects(const std::vector<ServedPanel>& panels);

// The Device object: the configured instance and name, this program's
// version, and Database_Revision from the digest of the texts read.
bacnet::DeviceSpec BacnetDevice(const CheckedConfig& checked);

// What --check refuses with [bacnet], each at its point's line: a register
// or bit of 10000 or more, and an object name taken twice (or the device's).
void CheckBacnetObjects(const CheckedConfig& checked, Diagnostics& diagnostics);

} // namespace zulgate
