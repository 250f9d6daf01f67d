// The device's objects: their descriptions, checked once, found by
// identifier and by name, in Object_List's order; and for each commandable
// one its priority array, the commands in force (slot 0 is priority 1).
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gateway/bacnet/object_spec.h"

namespace zulgate::bacnet {

constexpr int Priorities = 16;
constexpr int ReservedPriority = 6; // minimum on/off time: never written by a client
constexpr int DefaultPriority = 16;
using PriorityArray = std::array<std::optional<PointValue>, Priorities>;

struct Object {
    ObjectSpec spec;
    PriorityArray priority;
    ObjectId Id() const { return {spec.type, spec.instance}; }
};

bool IsAnalog(ObjectType type);
bool IsBinary(ObjectType type);

class ObjectTable {
public:
    // False with the first thing wrong in the description (a duplicate
    // identifier or name, an instance beyond 4194302, a multi-state object
    // without states, a command on a type that takes none, ...).
    static bool Build(const DeviceSpec& device, std::vector<ObjectSpec> objects, ObjectTable& table,
                      std::string& problem);

    const DeviceSpec& Device() const { return device_; }
    ObjectId DeviceId() const { return {ObjectType::Device, device_.instance}; }
    bool IsDevice(const ObjectId& id) const { return id == DeviceId(); }
    // The object with this identifier, or null (also for the device).
    Object* Find(const ObjectId& id);
    const Object* Find(const ObjectId& id) const;
    // Whichever object (the device included) has this name.
    std::optional<ObjectId> FindName(const std::string& name) const;
    const std::string& NameOf(const ObjectId& id) const;

    // Object_List: the device first, then the objects as given.
    std::size_t ListSize() const { return objects_.size() + 1; }
    ObjectId ListEntry(std::size_t i) const { return i == 0 ? DeviceId() : objects_[i - 1].Id(); }

private:
    DeviceSpec device_;
    std::vector<Object> objects_;
    std::map<std::uint32_t, std::size_t> byId_;
    std::map<std::string, ObjectId> byName_;
};

} // namespace zulgate::bacnet
