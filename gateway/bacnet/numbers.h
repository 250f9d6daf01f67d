// The numbers of BACnet (ASHRAE 135) that this server speaks: PDU types,
// service choices, object types, property identifiers, the enumerations its
// properties hold, and the error, reject and abort vocabularies. Only what
// is served is listed; the values are the standard's.
#pragma once

#include <cstdint>

namespace zulgate::bacnet {

enum class PduType : std::uint8_t {
    ConfirmedRequest = 0,
    UnconfirmedRequest = 1,
    SimpleAck = 2,
    ComplexAck = 3,
    SegmentAck = 4,
    Error = 5,
    Reject = 6,
    Abort = 7,
};

enum class ConfirmedService : std::uint8_t {
    SubscribeCov = 5,
    ReadProperty = 12,
    ReadPropertyMultiple = 14,
    WriteProperty = 15,
};

enum class UnconfirmedService : std::uint8_t {
    IAm = 0,
    IHave = 1,
    CovNotification = 2,
    WhoHas = 7,
    WhoIs = 8,
};

// Bits of Protocol_Services_Supported: the services this device executes.
// Confirmed services keep their choice number; the unconfirmed ones follow.
constexpr int ServicesSupportedBits = 40;
constexpr int ServiceBitWhoHas = 33;
constexpr int ServiceBitWhoIs = 34;

enum class ObjectType : std::uint16_t {
    AnalogInput = 0,
    AnalogValue = 2,
    BinaryInput = 3,
    BinaryValue = 5,
    Device = 8,
    MultiStateValue = 19,
};
constexpr int ObjectTypesSupportedBits = 55;

// Instances run 0..4194302; 4194303 is "any" in requests.
constexpr std::uint32_t MaxInstance = 4194302;
constexpr std::uint32_t AnyInstance = 4194303;

enum class Property : std::uint32_t {
    ActiveText = 4,
    All = 8,
    ApduTimeout = 11,
    ApplicationSoftwareVersion = 12,
    CovIncrement = 22,
    Description = 28,
    DeviceAddressBinding = 30,
    EventState = 36,
    FirmwareRevision = 44,
    InactiveText = 46,
    MaxApduLengthAccepted = 62,
    MaxPresValue = 65,
    MinPresValue = 69,
    ModelName = 70,
    NumberOfApduRetries = 73,
    NumberOfStates = 74,
    ObjectIdentifier = 75,
    ObjectList = 76,
    ObjectName = 77,
    ObjectType = 79,
    Optional = 80,
    OutOfService = 81,
    Polarity = 84,
    PresentValue = 85,
    PriorityArray = 87,
    ProtocolObjectTypesSupported = 96,
    ProtocolServicesSupported = 97,
    ProtocolVersion = 98,
    Reliability = 103,
    RelinquishDefault = 104,
    Required = 105,
    SegmentationSupported = 107,
    StateText = 110,
    StatusFlags = 111,
    SystemStatus = 112,
    Units = 117,
    VendorIdentifier = 120,
    VendorName = 121,
    ProtocolRevision = 139,
    DatabaseRevision = 155,
    PropertyList = 371,
};

enum class Reliability : std::uint32_t {
    NoFaultDetected = 0,
    MultiStateFault = 9, // the panel holds a state the object has no text for
    CommunicationFailure = 12,
};
constexpr std::uint32_t EventStateNormal = 0;
constexpr std::uint32_t PolarityNormal = 0;
constexpr std::uint32_t SystemStatusOperational = 0;
constexpr std::uint32_t NoSegmentation = 3;
constexpr std::uint32_t BinaryInactive = 0;
constexpr std::uint32_t BinaryActive = 1;
// Status_Flags: in-alarm, fault, overridden, out-of-service.
constexpr int StatusFlagBits = 4;
constexpr int StatusFlagFault = 1;

constexpr std::uint32_t ProtocolVersion = 1;
constexpr std::uint32_t ProtocolRevision = 14;
constexpr std::uint16_t MaxApduAccepted = 1476; // what B/IP carries in one datagram
// What a confirmed request's "max APDU accepted" code means, in octets.
constexpr std::uint16_t MaxApduOfCode[] = {50, 128, 206, 480, 1024, 1476};

enum class ErrorClass : std::uint8_t {
    Device = 0,
    Object = 1,
    Property = 2,
    Resources = 3,
    Security = 4,
    Services = 5,
    Vt = 6,
    Communication = 7,
};

enum class ErrorCode : std::uint16_t {
    Other = 0,
    DeviceBusy = 3,
    InvalidDataType = 9,
    NoSpaceToAddListElement = 19,
    OperationalProblem = 25,
    ServiceRequestDenied = 29,
    Timeout = 30,
    UnknownObject = 31,
    UnknownProperty = 32,
    ValueOutOfRange = 37,
    WriteAccessDenied = 40,
    InvalidArrayIndex = 42,
    OptionalFunctionalityNotSupported = 45,
    PropertyIsNotAnArray = 50,
};

struct Error {
    ErrorClass errorClass;
    ErrorCode code;
    bool operator==(const Error& other) const { return errorClass == other.errorClass && code == other.code; }
};

enum class RejectReason : std::uint8_t {
    Other = 0,
    InconsistentParameters = 2,
    InvalidParameterDataType = 3,
    InvalidTag = 4,
    MissingRequiredParameter = 5,
    ParameterOutOfRange = 6,
    TooManyArguments = 7,
    UndefinedEnumeration = 8,
    UnrecognizedService = 9,
};

enum class AbortReason : std::uint8_t {
    Other = 0,
    SegmentationNotSupported = 4,
};

} // namespace zulgate::bacnet
