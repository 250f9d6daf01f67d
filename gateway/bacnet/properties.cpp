#include "gateway/bacnet/properties.h"

#include <cmath>

namespace zulgate::bacnet {
namespace {

// Object types, as bits of a row's mask.
enum Types : std::uint8_t {
    AI = 1 << 0,
    AV = 1 << 1,
    BI = 1 << 2,
    BV = 1 << 3,
    MSV = 1 << 4,
    Dev = 1 << 5,
    Analog = AI | AV,
    Binary = BI | BV,
    Points = AI | AV | BI | BV | MSV,
    Values = AV | BV | MSV,
    Every = Points | Dev,
};

std::uint8_t TypeBit(ObjectType type) {
    switch (type) {
    case ObjectType::AnalogInput:
        return AI;
    case ObjectType::AnalogValue:
        return AV;
    case ObjectType::BinaryInput:
        return BI;
    case ObjectType::BinaryValue:
        return BV;
    case ObjectType::MultiStateValue:
        return MSV;
    case ObjectType::Device:
        return Dev;
    }
    return 0;
}

// When an object of the row's types has the property.
enum class When : std::uint8_t { Always, Commandable, WithMin, WithMax, WithTexts };

struct Row {
    Property id;
    bool required;
    std::uint8_t types;
    When when;
};

constexpr bool R = true, O = false;

constexpr Row Table[] = {
    {Property::ObjectIdentifier, R, Every, When::Always},
    {Property::ObjectName, R, Every, When::Always},
    {Property::ObjectType, R, Every, When::Always},
    {Property::PresentValue, R, Points, When::Always},
    {Property::Description, O, Every, When::Always},
    {Property::StatusFlags, R, Points, When::Always},
    {Property::EventState, R, Points, When::Always},
    {Property::Reliability, O, Points, When::Always},
    {Property::OutOfService, R, Points, When::Always},
    {Property::Units, R, Analog, When::Always},
    {Property::MinPresValue, O, Analog, When::WithMin},
    {Property::MaxPresValue, O, Analog, When::WithMax},
    {Property::CovIncrement, O, Analog, When::Always},
    {Property::Polarity, R, BI, When::Always},
    {Property::InactiveText, O, Binary, When::WithTexts},
    {Property::ActiveText, O, Binary, When::WithTexts},
    {Property::NumberOfStates, R, MSV, When::Always},
    {Property::StateText, O, MSV, When::Always},
    {Property::PriorityArray, R, Values, When::Commandable},
    {Property::RelinquishDefault, R, Values, When::Commandable},
    {Property::SystemStatus, R, Dev, When::Always},
    {Property::VendorName, R, Dev, When::Always},
    {Property::VendorIdentifier, R, Dev, When::Always},
    {Property::ModelName, R, Dev, When::Always},
    {Property::FirmwareRevision, R, Dev, When::Always},
    {Property::ApplicationSoftwareVersion, R, Dev, When::Always},
    {Property::ProtocolVersion, R, Dev, When::Always},
    {Property::ProtocolRevision, R, Dev, When::Always},
    {Property::ProtocolServicesSupported, R, Dev, When::Always},
    {Property::ProtocolObjectTypesSupported, R, Dev, When::Always},
    {Property::ObjectList, R, Dev, When::Always},
    {Property::MaxApduLengthAccepted, R, Dev, When::Always},
    {Property::SegmentationSupported, R, Dev, When::Always},
    {Property::ApduTimeout, R, Dev, When::Always},
    {Property::NumberOfApduRetries, R, Dev, When::Always},
    {Property::DeviceAddressBinding, R, Dev, When::Always},
    {Property::DatabaseRevision, R, Dev, When::Always},
    {Property::PropertyList, R, Every, When::Always},
};

bool Applies(When when, const Object* object) {
    switch (when) {
    case When::Always:
        return true;
    case When::Commandable:
        return object && object->spec.commandable;
    case When::WithMin:
        return object && object->spec.min.has_value();
    case When::WithMax:
        return object && object->spec.max.has_value();
    case When::WithTexts:
        return object && object->spec.states.size() == 2;
    }
    return false;
}

double AsNumber(const PointValue& v) {
    if (auto d = std::get_if<double>(&v)) return *d;
    if (auto b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    return std::get<std::uint32_t>(v);
}

bool AsBit(const PointValue& v) {
    if (auto b = std::get_if<bool>(&v)) return *b;
    return AsNumber(v) != 0;
}

std::uint64_t AsStateFromOne(const PointValue& v) {
    if (auto u = std::get_if<std::uint32_t>(&v)) return std::uint64_t{*u} + 1;
    double d = AsNumber(v);
    if (!(d >= 0)) return 1;
    return d >= 4294967295.0 ? 4294967296ULL : static_cast<std::uint64_t>(d) + 1;
}

BitString Bits(int count, std::initializer_list<int> set) {
    BitString bits;
    bits.bits.assign(static_cast<std::size_t>(count), false);
    for (int i : set) bits.bits[static_cast<std::size_t>(i)] = true;
    return bits;
}

// An array property: whole, its size (index 0), or one element.
template <typename Element>
std::optional<Error> Array(std::size_t size, std::optional<std::uint32_t> index, Writer& w, Element element) {
    if (!index) {
        for (std::size_t i = 0; i < size; ++i) element(i);
    } else if (*index == 0) {
        w.Unsigned(size);
    } else if (*index > size) {
        return Error{ErrorClass::Property, ErrorCode::InvalidArrayIndex};
    } else {
        element(*index - 1);
    }
    return std::nullopt;
}

bool IsArray(Property p) {
    return p == Property::ObjectList || p == Property::PropertyList || p == Property::PriorityArray ||
           p == Property::StateText;
}

std::optional<Error> DeviceValue(const ObjectTable& table, Property p, std::optional<std::uint32_t> index, Writer& w) {
    const DeviceSpec& d = table.Device();
    switch (p) {
    case Property::SystemStatus:
        w.Enumerated(SystemStatusOperational);
        break;
    case Property::VendorName:
        w.Text(d.vendorName);
        break;
    case Property::VendorIdentifier:
        w.Unsigned(d.vendorIdentifier);
        break;
    case Property::ModelName:
        w.Text(d.modelName);
        break;
    case Property::FirmwareRevision:
        w.Text(d.firmwareRevision);
        break;
    case Property::ApplicationSoftwareVersion:
        w.Text(d.applicationSoftwareVersion);
        break;
    case Property::ProtocolVersion:
        w.Unsigned(ProtocolVersion);
        break;
    case Property::ProtocolRevision:
        w.Unsigned(ProtocolRevision);
        break;
    case Property::ProtocolServicesSupported:
        w.Application(
            Bits(ServicesSupportedBits,
                 {static_cast<int>(ConfirmedService::SubscribeCov), static_cast<int>(ConfirmedService::ReadProperty),
                  static_cast<int>(ConfirmedService::ReadPropertyMultiple),
                  static_cast<int>(ConfirmedService::WriteProperty), ServiceBitWhoHas, ServiceBitWhoIs}));
        break;
    case Property::ProtocolObjectTypesSupported:
        w.Application(Bits(ObjectTypesSupportedBits,
                           {static_cast<int>(ObjectType::AnalogInput), static_cast<int>(ObjectType::AnalogValue),
                            static_cast<int>(ObjectType::BinaryInput), static_cast<int>(ObjectType::BinaryValue),
                            static_cast<int>(ObjectType::Device), static_cast<int>(ObjectType::MultiStateValue)}));
        break;
    case Property::ObjectList:
        return Array(table.ListSize(), index, w, [&](std::size_t i) { w.Object(table.ListEntry(i)); });
    case Property::MaxApduLengthAccepted:
        w.Unsigned(MaxApduAccepted);
        break;
    case Property::SegmentationSupported:
        w.Enumerated(NoSegmentation);
        break;
    case Property::ApduTimeout: // it sends no confirmed requests of its own: the standard's default
        w.Unsigned(3000);
        break;
    case Property::NumberOfApduRetries:
        w.Unsigned(0);
        break;
    case Property::DeviceAddressBinding: // an empty list: it binds to no other device
        break;
    case Property::DatabaseRevision:
        w.Unsigned(d.databaseRevision);
        break;
    default:
        return Error{ErrorClass::Property, ErrorCode::UnknownProperty};
    }
    return std::nullopt;
}

std::optional<Error> PointProperty(const Object& o, ValueSource& source, Property p, std::optional<std::uint32_t> index,
                                   Writer& w) {
    const ObjectSpec& s = o.spec;
    switch (p) {
    case Property::PresentValue:
        w.Application(PresentValueOf(s.type, source.Read(o.Id()).value));
        break;
    case Property::StatusFlags:
        w.Application(StatusFlagsOf(ConditionOf(s, source.Read(o.Id()))));
        break;
    case Property::Reliability:
        w.Enumerated(static_cast<std::uint32_t>(ConditionOf(s, source.Read(o.Id())).reliability));
        break;
    case Property::EventState:
        w.Enumerated(EventStateNormal);
        break;
    case Property::OutOfService:
        w.Boolean(false);
        break;
    case Property::Units:
        w.Enumerated(s.units);
        break;
    case Property::MinPresValue:
        w.Real(static_cast<float>(*s.min));
        break;
    case Property::MaxPresValue:
        w.Real(static_cast<float>(*s.max));
        break;
    case Property::CovIncrement:
        w.Real(s.covIncrement);
        break;
    case Property::Polarity:
        w.Enumerated(PolarityNormal);
        break;
    case Property::InactiveText:
        w.Text(s.states[0]);
        break;
    case Property::ActiveText:
        w.Text(s.states[1]);
        break;
    case Property::NumberOfStates:
        w.Unsigned(s.states.size());
        break;
    case Property::StateText:
        return Array(s.states.size(), index, w, [&](std::size_t i) { w.Text(s.states[i]); });
    case Property::PriorityArray:
        return Array(o.priority.size(), index, w, [&](std::size_t i) {
            if (o.priority[i]) {
                w.Application(PresentValueOf(s.type, *o.priority[i]));
            } else {
                w.Null();
            }
        });
    case Property::RelinquishDefault: // all commands relinquished, the panel keeps what it holds
        w.Application(PresentValueOf(s.type, source.Read(o.Id()).value));
        break;
    default:
        return Error{ErrorClass::Property, ErrorCode::UnknownProperty};
    }
    return std::nullopt;
}

} // namespace

std::vector<Listed> PropertiesOf(const ObjectTable& table, const ObjectId& id) {
    const Object* object = table.Find(id);
    std::vector<Listed> out;
    if (!object && !table.IsDevice(id)) return out;
    std::uint8_t bit = TypeBit(id.type);
    for (const Row& row : Table) {
        if ((row.types & bit) && Applies(row.when, object)) out.push_back({row.id, row.required});
    }
    return out;
}

Condition ConditionOf(const ObjectSpec& spec, const Reading& reading) {
    if (!reading.current) return {true, Reliability::CommunicationFailure};
    if (spec.type == ObjectType::MultiStateValue && AsStateFromOne(reading.value) > spec.states.size())
        return {true, Reliability::MultiStateFault};
    return {};
}

AppValue PresentValueOf(ObjectType type, const PointValue& value) {
    if (IsAnalog(type)) return static_cast<float>(AsNumber(value));
    if (IsBinary(type)) return Enumerated{AsBit(value) ? BinaryActive : BinaryInactive};
    return AsStateFromOne(value);
}

AppValue StatusFlagsOf(const Condition& condition) {
    if (condition.fault) return Bits(StatusFlagBits, {StatusFlagFault});
    return Bits(StatusFlagBits, {});
}

std::optional<Error> ReadValue(const ObjectTable& table, ValueSource& source, const ObjectId& id, Property property,
                               std::optional<std::uint32_t> index, Bytes& out) {
    const Object* object = table.Find(id);
    if (!object && !table.IsDevice(id)) return Error{ErrorClass::Object, ErrorCode::UnknownObject};
    std::vector<Listed> listed = PropertiesOf(table, id);
    bool has = false;
    for (const Listed& l : listed) has = has || l.id == property;
    if (!has) return Error{ErrorClass::Property, ErrorCode::UnknownProperty};
    if (index && !IsArray(property)) return Error{ErrorClass::Property, ErrorCode::PropertyIsNotAnArray};

    Writer w(out);
    switch (property) {
    case Property::ObjectIdentifier:
        w.Object(id);
        return std::nullopt;
    case Property::ObjectName:
        w.Text(table.NameOf(id));
        return std::nullopt;
    case Property::ObjectType:
        w.Enumerated(static_cast<std::uint32_t>(id.type));
        return std::nullopt;
    case Property::Description:
        w.Text(object ? object->spec.description : table.Device().description);
        return std::nullopt;
    case Property::PropertyList: { // every property but these four
        std::vector<Property> listedIds;
        for (const Listed& l : listed) {
            if (l.id != Property::ObjectIdentifier && l.id != Property::ObjectName && l.id != Property::ObjectType &&
                l.id != Property::PropertyList)
                listedIds.push_back(l.id);
        }
        return Array(listedIds.size(), index, w,
                     [&](std::size_t i) { w.Enumerated(static_cast<std::uint32_t>(listedIds[i])); });
    }
    default:
        return object ? PointProperty(*object, source, property, index, w) : DeviceValue(table, property, index, w);
    }
}

} // namespace zulgate::bacnet
