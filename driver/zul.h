// Host-facing records and request codes of the Trane Tracker driver.
// The host is built separately, so every offset here is part of the
// interface; the 32-bit build pins them below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/win32_api.h"

#if defined(_WIN32)
#define ZUL_STDCALL __stdcall
#define ZUL_EXPORT
#else
#define ZUL_STDCALL
#define ZUL_EXPORT __attribute__((visibility("default")))
#endif

// Device name and line settings of a channel, as stored in its context.
struct PortSettings {
    char PortName[12];         // NUL-terminated, at most 11 characters
    std::uint16_t BaudRate;    // bits per second
    std::uint16_t ByteSize;    // data bits (low byte used)
    std::uint16_t StopBits;    // 0 one, 1 one and a half, 2 two (low byte used)
    std::uint16_t Parity;      // 0 none, 1 odd, 2 even, 3 mark, 4 space (low byte used)
    std::uint16_t LineOptions; // modem-control option word
};

// Per-channel state; the host provides the storage, the driver fills it.
struct ChannelContext {
    std::int32_t ResponseTimeout; // units of 10 ms
    HANDLE PortHandle;            // null while no port is open
    std::int32_t ActiveFlag;
    PortSettings Settings;
    std::uint8_t StartByte;
    std::uint8_t Reserved;
};

struct DriverRequest {
    ChannelContext* Channel;
    std::int32_t Code;          // a RequestCode
    std::int32_t ChannelNumber; // only printed in log lines
    std::uint8_t HostWord[4];   // the host's own; never touched
    void* Params;               // parameter block, by code
};

enum RequestCode : std::int32_t {
    ColdStartCode = 1,
    WarmStartCode = 2,
    CheckAddressCode = 3,
    CheckAddressSyntaxCode = 4,
    ReadValuesCode = 5,
    BlockReadCode = 6,
    WriteValuesCode = 7,
    BlockWriteCode = 10,
    StopChannelCode = 11,
    ClosePortCode = 12,
    OpenPortCode = 13,
    GetInfoCode = 14,
    ReopenPortCode = 15,
};
constexpr std::int32_t HighestRequestCode = 15;

struct DriverInfo {
    std::int32_t Version; // tenths: 70 is 7.0
    const char* DeviceName;
    const char* Banner;
    std::int32_t ContextSize;
    std::int32_t HostValueA;
    std::uint16_t DefaultBaudRate;
    std::uint16_t DefaultByteSize;
    std::uint16_t DefaultStopBits;
    std::uint16_t DefaultParity;
    std::int32_t HostValueB;
};

struct ColdStartParams {
    char PortName[12];
    std::int32_t ActiveFlag;
    std::int32_t ResponseTimeout; // units of 10 ms
    std::uint16_t BaudRate;
    std::uint16_t ByteSize;
    std::uint16_t StopBits;
    std::uint16_t Parity;
};

struct ReopenParams {
    char PortName[12];
    std::int32_t ResponseTimeout; // 0 keeps the stored one
    std::uint16_t BaudRate;
    std::uint16_t ByteSize;
    std::uint16_t StopBits;
    std::uint16_t Parity;
};

// Parameter block of the address checks (codes 3 and 4).
struct AddressDefinition {
    const char* AddressText;
    std::int32_t Unused4;
    std::int32_t HostDataType;
    std::int32_t Unused12;
    std::int32_t Cleared16; // written 0
    std::int32_t TypeLetter;
    std::int32_t PointAddress;
    std::int32_t BitNumber; // 255: no bit
    std::int32_t ElementLength;
};

// Parameter block of the point reads and writes (codes 5, 6, 7, 10).
struct PointRequest {
    std::int32_t Unused0;
    std::int32_t Unused4;
    std::int32_t Unused8;
    std::int32_t TypeLetter;
    std::int32_t PointAddress;
    std::int32_t BitNumber;     // 0..15, or 255 for none
    std::int32_t ElementLength; // bytes per element, letters A and S only
    std::int32_t Unused28;
    std::int32_t ElementCount;
    std::int32_t Unused36;
    void* ValueBuffer; // ElementCount slots of 4 bytes
};

constexpr std::uint8_t NoBit = 255;

#if defined(_WIN32) && !defined(_WIN64)
#define ZUL_PIN(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)
static_assert(sizeof(PortSettings) == 22 && alignof(PortSettings) == 2, "PortSettings");
ZUL_PIN(PortSettings, PortName, 0);
ZUL_PIN(PortSettings, BaudRate, 12);
ZUL_PIN(PortSettings, ByteSize, 14);
ZUL_PIN(PortSettings, StopBits, 16);
ZUL_PIN(PortSettings, Parity, 18);
ZUL_PIN(PortSettings, LineOptions, 20);
static_assert(sizeof(ChannelContext) == 36, "ChannelContext");
ZUL_PIN(ChannelContext, ResponseTimeout, 0);
ZUL_PIN(ChannelContext, PortHandle, 4);
ZUL_PIN(ChannelContext, ActiveFlag, 8);
ZUL_PIN(ChannelContext, Settings, 12);
ZUL_PIN(ChannelContext, StartByte, 34);
static_assert(sizeof(DriverRequest) == 20, "DriverRequest");
ZUL_PIN(DriverRequest, Channel, 0);
ZUL_PIN(DriverRequest, Code, 4);
ZUL_PIN(DriverRequest, ChannelNumber, 8);
ZUL_PIN(DriverRequest, HostWord, 12);
ZUL_PIN(DriverRequest, Params, 16);
static_assert(sizeof(DriverInfo) == 32, "DriverInfo");
ZUL_PIN(DriverInfo, Version, 0);
ZUL_PIN(DriverInfo, DeviceName, 4);
ZUL_PIN(DriverInfo, Banner, 8);
ZUL_PIN(DriverInfo, ContextSize, 12);
ZUL_PIN(DriverInfo, HostValueA, 16);
ZUL_PIN(DriverInfo, DefaultBaudRate, 20);
ZUL_PIN(DriverInfo, DefaultByteSize, 22);
ZUL_PIN(DriverInfo, DefaultStopBits, 24);
ZUL_PIN(DriverInfo, DefaultParity, 26);
ZUL_PIN(DriverInfo, HostValueB, 28);
static_assert(sizeof(ColdStartParams) == 28, "ColdStartParams");
ZUL_PIN(ColdStartParams, ActiveFlag, 12);
ZUL_PIN(ColdStartParams, ResponseTimeout, 16);
ZUL_PIN(ColdStartParams, BaudRate, 20);
ZUL_PIN(ColdStartParams, ByteSize, 22);
ZUL_PIN(ColdStartParams, StopBits, 24);
ZUL_PIN(ColdStartParams, Parity, 26);
static_assert(sizeof(ReopenParams) == 24, "ReopenParams");
ZUL_PIN(ReopenParams, ResponseTimeout, 12);
ZUL_PIN(ReopenParams, BaudRate, 16);
ZUL_PIN(ReopenParams, Parity, 22);
static_assert(sizeof(AddressDefinition) == 36, "AddressDefinition");
ZUL_PIN(AddressDefinition, AddressText, 0);
ZUL_PIN(AddressDefinition, HostDataType, 8);
ZUL_PIN(AddressDefinition, Cleared16, 16);
ZUL_PIN(AddressDefinition, TypeLetter, 20);
ZUL_PIN(AddressDefinition, PointAddress, 24);
ZUL_PIN(AddressDefinition, BitNumber, 28);
ZUL_PIN(AddressDefinition, ElementLength, 32);
static_assert(sizeof(PointRequest) == 44, "PointRequest");
ZUL_PIN(PointRequest, TypeLetter, 12);
ZUL_PIN(PointRequest, PointAddress, 16);
ZUL_PIN(PointRequest, BitNumber, 20);
ZUL_PIN(PointRequest, ElementLength, 24);
ZUL_PIN(PointRequest, ElementCount, 32);
ZUL_PIN(PointRequest, ValueBuffer, 40);
#undef ZUL_PIN
#endif

// The library's one export (ordinal 1 on Windows).
extern "C" ZUL_EXPORT std::int32_t ZUL_STDCALL ZulMain(DriverRequest* request);
