#include "gateway/bacnet_points.h"

#include <map>

#include "zultrk_version.h"

namespace zulgate {
namespace {

using bacnet::ObjectType;

// A REAL carries a float: a limit of 21.7 is 21.700000762939453 as the
// client sends it. The object's Min/Max_Pres_Value are the limits as REALs,
// so that a client's 21.7 is not refused for the float's last bit; the
// written value is then checked against the limits themselves.
std::optional<double> AsReal(const std::optional<double>& limit) {
    if (!limit) return std::nullopt;
    return static_cast<double>(static_cast<float>(*limit));
}

bacnet::ObjectSpec SpecOf(const ServedPanel& panel, const MappedPoint& point, int element) {
    const Engineering& e = point.engineering;
    bacnet::ObjectSpec spec;
    spec.type = BacnetTypeOf(point);
    spec.instance = static_cast<std::uint32_t>(panel.unit * BacnetInstancesPerUnit + ElementRegister(point, element));
    spec.name = BacnetName(panel.name, point, element);
    spec.description = e.description;
    spec.units = e.Units().bacnet;
    spec.commandable = point.writable;
    switch (spec.type) {
    case ObjectType::MultiStateValue:
        spec.states = e.states;
        break;
    case ObjectType::BinaryInput:
    case ObjectType::BinaryValue:
        if (e.states.size() == 2) spec.states = e.states; // inactive, active
        break;
    default:
        spec.covIncrement = static_cast<float>(e.cov.value_or(0));
        spec.min = AsReal(e.min);
        spec.max = AsReal(e.max);
        break;
    }
    return spec;
}

} // namespace

ObjectType BacnetTypeOf(const MappedPoint& point) {
    switch (point.table) {
    case Table::Input:
        return ObjectType::AnalogInput;
    case Table::Coil:
        return ObjectType::BinaryValue;
    case Table::Discrete:
        return ObjectType::BinaryInput;
    case Table::Holding:
        break;
    }
    return point.engineering.states.empty() ? ObjectType::AnalogValue : ObjectType::MultiStateValue;
}

int ElementRegister(const MappedPoint& point, int element) {
    return point.firstRegister + element * point.registersPerElement;
}

std::string BacnetName(const std::string& panel, const MappedPoint& point, int element) {
    std::string name = panel + "." + point.name;
    if (element > 0) name += "." + std::to_string(element);
    return name;
}

std::vector<BacnetObject> BacnetObjects(const std::vector<ServedPanel>& panels) {
    std::vector<BacnetObject> objects;
    for (const ServedPanel& panel : panels) {
        const std::vector<MappedPoint>& points = panel.map->Points();
        for (std::size_t p = 0; p < points.size(); ++p) {
            for (int k = 0; k < points[p].count; ++k) {
                objects.push_back(BacnetObject{SpecOf(panel, points[p], k), panel.index, p, k,
                                               points[p].firstValue + static_cast<std::size_t>(k)});
            }
        }
    }
    return objects;
}

bacnet::DeviceSpec BacnetDevice(const CheckedConfig& checked) {
    const BacnetConfig& b = checked.config.bacnet;
    bacnet::DeviceSpec device;
    device.instance = b.deviceInstance;
    device.name = b.deviceName;
    std::size_t panels = checked.config.panels.size();
    device.description = "zulgate: the points of " + std::to_string(panels) + " Trane Tracker panel" +
                         (panels == 1 ? "" : "s");
    device.firmwareRevision = ZULTRK_VERSION_TEXT;
    device.applicationSoftwareVersion = ZULTRK_VERSION_TEXT;
    device.databaseRevision = checked.digest;
    return device;
}

void CheckBacnetObjects(const CheckedConfig& checked, Diagnostics& d) {
    const GatewayConfig& config = checked.config;
    struct Owner {
        std::string file;
        int line;
    };
    std::map<std::string, Owner> names{{config.bacnet.deviceName, {config.path, config.bacnet.line}}};
    for (std::size_t i = 0; i < config.panels.size() && i < checked.maps.size(); ++i) {
        const PanelConfig& panel = config.panels[i];
        for (const MappedPoint& point : checked.maps[i].Points()) {
            int last = ElementRegister(point, point.count - 1);
            if (last >= BacnetInstancesPerUnit) {
                d.Add(panel.points, point.line,
                      "point " + point.name + ": with [bacnet], a register or bit must be below " +
                          std::to_string(BacnetInstancesPerUnit) + ", not " + std::to_string(last) +
                          " (its BACnet instance, unit x 10000 + register, would be the next unit's)");
            }
            for (int k = 0; k < point.count; ++k) {
                std::string name = BacnetName(panel.name, point, k);
                auto [taken, fresh] = names.emplace(name, Owner{panel.points, point.line});
                if (fresh) continue;
                bool device = taken->second.file == config.path;
                d.Add(panel.points, point.line,
                      "point " + point.name + ": its BACnet object name '" + name + "' is taken by " +
                          (device ? "the device (device_name, " : "another point (") + taken->second.file + ":" +
                          std::to_string(taken->second.line) + ")");
                break; // once a point
            }
        }
    }
}

} // namespace zulgate
