#include "gateway/bacnet/object_table.h"

#include <cmath>

namespace zulgate::bacnet {
namespace {

std::string Named(const ObjectSpec& spec) {
    return "object " + std::to_string(static_cast<int>(spec.type)) + ":" + std::to_string(spec.instance) + " ('" +
           spec.name + "')";
}

bool TakesCommands(ObjectType type) {
    return type == ObjectType::AnalogValue || type == ObjectType::BinaryValue || type == ObjectType::MultiStateValue;
}

std::string Check(const ObjectSpec& spec) {
    switch (spec.type) {
    case ObjectType::AnalogInput:
    case ObjectType::AnalogValue:
    case ObjectType::BinaryInput:
    case ObjectType::BinaryValue:
    case ObjectType::MultiStateValue:
        break;
    default:
        return "an object type that is not served";
    }
    if (spec.instance > MaxInstance) return "an instance beyond " + std::to_string(MaxInstance);
    if (spec.name.empty()) return "no name";
    if (spec.commandable && !TakesCommands(spec.type)) return "commandable, but its type takes no commands";
    if (spec.type == ObjectType::MultiStateValue && spec.states.empty()) return "multi-state without states";
    if (IsBinary(spec.type) && !spec.states.empty() && spec.states.size() != 2)
        return "binary with other than two state texts";
    if (!std::isfinite(spec.covIncrement) || spec.covIncrement < 0) return "a COV increment below 0";
    if (spec.min && spec.max && *spec.min > *spec.max) return "min above max";
    return "";
}

} // namespace

bool IsAnalog(ObjectType type) { return type == ObjectType::AnalogInput || type == ObjectType::AnalogValue; }
bool IsBinary(ObjectType type) { return type == ObjectType::BinaryInput || type == ObjectType::BinaryValue; }

bool ObjectTable::Build(const DeviceSpec& device, std::vector<ObjectSpec> objects, ObjectTable& table,
                        std::string& problem) {
    table = ObjectTable{};
    if (device.instance > MaxInstance) {
        problem = "device instance " + std::to_string(device.instance) + " beyond " + std::to_string(MaxInstance);
        return false;
    }
    if (device.name.empty()) {
        problem = "the device has no name";
        return false;
    }
    table.device_ = device;
    table.byName_[device.name] = table.DeviceId();
    for (ObjectSpec& spec : objects) {
        std::string wrong = Check(spec);
        if (wrong.empty() && table.byId_.count(ObjectId{spec.type, spec.instance}.Raw()))
            wrong = "an identifier taken twice";
        if (wrong.empty() && table.byName_.count(spec.name)) wrong = "a name taken twice";
        if (!wrong.empty()) {
            problem = Named(spec) + ": " + wrong;
            return false;
        }
        Object object;
        object.spec = std::move(spec);
        table.byId_[object.Id().Raw()] = table.objects_.size();
        table.byName_[object.spec.name] = object.Id();
        table.objects_.push_back(std::move(object));
    }
    return true;
}

Object* ObjectTable::Find(const ObjectId& id) {
    auto found = byId_.find(id.Raw());
    return found == byId_.end() ? nullptr : &objects_[found->second];
}

const Object* ObjectTable::Find(const ObjectId& id) const { return const_cast<ObjectTable*>(this)->Find(id); }

std::optional<ObjectId> ObjectTable::FindName(const std::string& name) const {
    auto found = byName_.find(name);
    if (found == byName_.end()) return std::nullopt;
    return found->second;
}

const std::string& ObjectTable::NameOf(const ObjectId& id) const {
    const Object* object = Find(id);
    return object ? object->spec.name : device_.name;
}

} // namespace zulgate::bacnet
