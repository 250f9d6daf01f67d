/* zultrk: the host interface of the Trane Tracker panel driver.
 *
 * A host loads the driver (zultrk.dll on Windows, libzultrk.so.7 on Linux)
 * and calls its one export, ZulMain, with a DriverRequest; the records below
 * are shared with it byte for byte. This header compiles as C and as C++.
 * On 32-bit Windows every offset is part of the interface and is checked
 * below; elsewhere the records keep their natural layout (8-byte pointers on
 * a 64-bit Linux host).
 */
#ifndef ZULTRK_H
#define ZULTRK_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define ZULTRK_CALL __stdcall
#define ZULTRK_API
#else
#define ZULTRK_CALL
#define ZULTRK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Device name and line settings of a channel, as stored in its context. */
typedef struct PortSettings {
    char PortName[12];    /* NUL-terminated, at most 11 characters */
    uint16_t BaudRate;    /* bits per second */
    uint16_t ByteSize;    /* data bits (low byte used) */
    uint16_t StopBits;    /* 0 one, 1 one and a half, 2 two (low byte used) */
    uint16_t Parity;      /* 0 none, 1 odd, 2 even, 3 mark, 4 space (low byte used) */
    uint16_t LineOptions; /* modem-control option word */
} PortSettings;

/* Per-channel state: the host provides the storage (zeroed before the first
 * ColdStart), the driver fills it. */
typedef struct ChannelContext {
    int32_t ResponseTimeout; /* units of 10 ms */
    void* PortHandle;        /* the open device (a Win32 HANDLE); null while none is open */
    int32_t ActiveFlag;
    PortSettings Settings;
    /* StartByte and the byte after it are the driver's own: its link state
     * (the link's learned delay, and whether the line may still carry an
     * earlier reply). ColdStart clears both; a host leaves them alone. */
    uint8_t StartByte;
    uint8_t Reserved;
} ChannelContext;

typedef struct DriverRequest {
    ChannelContext* Channel;
    int32_t Code;          /* a request code, below */
    int32_t ChannelNumber; /* only printed in log lines */
    uint8_t HostWord[4];   /* the host's own; never touched */
    void* Params;          /* parameter block, by code */
} DriverRequest;

/* Request codes. 8, 9 and anything outside 1..15 run nothing and return -1. */
enum RequestCode {
    ColdStartCode = 1,          /* ColdStartParams */
    WarmStartCode = 2,          /* no parameters */
    CheckAddressCode = 3,       /* AddressDefinition */
    CheckAddressSyntaxCode = 4, /* AddressDefinition */
    ReadValuesCode = 5,         /* PointRequest, as BlockRead */
    BlockReadCode = 6,          /* PointRequest */
    WriteValuesCode = 7,        /* PointRequest, as BlockWrite */
    BlockWriteCode = 10,        /* PointRequest */
    StopChannelCode = 11,       /* no parameters, as ClosePort */
    ClosePortCode = 12,         /* no parameters */
    OpenPortCode = 13,          /* no parameters */
    GetInfoCode = 14,           /* DriverInfo */
    ReopenPortCode = 15,        /* ReopenParams */
    HighestRequestCode = 15
};

typedef struct DriverInfo {
    int32_t Version; /* tenths: 70 is 7.0 */
    const char* DeviceName;
    const char* Banner; /* code page 437 */
    int32_t ContextSize;
    int32_t HostValueA;
    uint16_t DefaultBaudRate;
    uint16_t DefaultByteSize;
    uint16_t DefaultStopBits;
    uint16_t DefaultParity;
    int32_t HostValueB;
} DriverInfo;

typedef struct ColdStartParams {
    char PortName[12];
    int32_t ActiveFlag;      /* 0: the channel is not in use, nothing is opened */
    int32_t ResponseTimeout; /* units of 10 ms */
    uint16_t BaudRate;
    uint16_t ByteSize;
    uint16_t StopBits;
    uint16_t Parity;
} ColdStartParams;

typedef struct ReopenParams {
    char PortName[12];
    int32_t ResponseTimeout; /* 0 keeps the stored one */
    uint16_t BaudRate;
    uint16_t ByteSize;
    uint16_t StopBits;
    uint16_t Parity;
} ReopenParams;

/* Parameter block of the address checks (codes 3 and 4). */
typedef struct AddressDefinition {
    const char* AddressText;
    int32_t Unused4;
    int32_t HostDataType;
    int32_t Unused12;
    int32_t Cleared16; /* written 0 */
    int32_t TypeLetter;
    int32_t PointAddress;
    int32_t BitNumber; /* NoBit: none */
    int32_t ElementLength;
} AddressDefinition;

/* Parameter block of the point reads and writes (codes 5, 6, 7, 10). */
typedef struct PointRequest {
    int32_t Unused0;
    int32_t Unused4;
    int32_t Unused8;
    int32_t TypeLetter;
    int32_t PointAddress;
    int32_t BitNumber;     /* 0..15, or NoBit */
    int32_t ElementLength; /* bytes per element, letters A and S only */
    int32_t Unused28;
    int32_t ElementCount;
    int32_t Unused36;
    void* ValueBuffer; /* ElementCount slots of 4 bytes */
} PointRequest;

/* The library's one export (ordinal 1 on Windows), and its type for hosts
 * that look it up at run time. */
ZULTRK_API int32_t ZULTRK_CALL ZulMain(DriverRequest* request);
typedef int32_t(ZULTRK_CALL* ZulMainFunction)(DriverRequest* request);

#ifdef __cplusplus
}
#endif

/* The bit number that means "no bit". */
#ifdef __cplusplus
constexpr int32_t NoBit = 255;
#else
enum { NoBit = 255 };
#endif

#if defined(_WIN32) && !defined(_WIN64)
#ifdef __cplusplus
#define ZULTRK_ASSERT(condition, what) static_assert(condition, what)
#else
#define ZULTRK_ASSERT(condition, what) _Static_assert(condition, what)
#endif
#define ZULTRK_PIN(type, field, offset) ZULTRK_ASSERT(offsetof(type, field) == (offset), #type "." #field)
ZULTRK_ASSERT(sizeof(PortSettings) == 22, "PortSettings");
ZULTRK_PIN(PortSettings, PortName, 0);
ZULTRK_PIN(PortSettings, BaudRate, 12);
ZULTRK_PIN(PortSettings, ByteSize, 14);
ZULTRK_PIN(PortSettings, StopBits, 16);
ZULTRK_PIN(PortSettings, Parity, 18);
ZULTRK_PIN(PortSettings, LineOptions, 20);
ZULTRK_ASSERT(sizeof(ChannelContext) == 36, "ChannelContext");
ZULTRK_PIN(ChannelContext, ResponseTimeout, 0);
ZULTRK_PIN(ChannelContext, PortHandle, 4);
ZULTRK_PIN(ChannelContext, ActiveFlag, 8);
ZULTRK_PIN(ChannelContext, Settings, 12);
ZULTRK_PIN(ChannelContext, StartByte, 34);
ZULTRK_PIN(ChannelContext, Reserved, 35);
ZULTRK_ASSERT(sizeof(DriverRequest) == 20, "DriverRequest");
ZULTRK_PIN(DriverRequest, Channel, 0);
ZULTRK_PIN(DriverRequest, Code, 4);
ZULTRK_PIN(DriverRequest, ChannelNumber, 8);
ZULTRK_PIN(DriverRequest, HostWord, 12);
ZULTRK_PIN(DriverRequest, Params, 16);
ZULTRK_ASSERT(sizeof(DriverInfo) == 32, "DriverInfo");
ZULTRK_PIN(DriverInfo, Version, 0);
ZULTRK_PIN(DriverInfo, DeviceName, 4);
ZULTRK_PIN(DriverInfo, Banner, 8);
ZULTRK_PIN(DriverInfo, ContextSize, 12);
ZULTRK_PIN(DriverInfo, HostValueA, 16);
ZULTRK_PIN(DriverInfo, DefaultBaudRate, 20);
ZULTRK_PIN(DriverInfo, DefaultByteSize, 22);
ZULTRK_PIN(DriverInfo, DefaultStopBits, 24);
ZULTRK_PIN(DriverInfo, DefaultParity, 26);
ZULTRK_PIN(DriverInfo, HostValueB, 28);
ZULTRK_ASSERT(sizeof(ColdStartParams) == 28, "ColdStartParams");
ZULTRK_PIN(ColdStartParams, ActiveFlag, 12);
ZULTRK_PIN(ColdStartParams, ResponseTimeout, 16);
ZULTRK_PIN(ColdStartParams, BaudRate, 20);
ZULTRK_PIN(ColdStartParams, ByteSize, 22);
ZULTRK_PIN(ColdStartParams, StopBits, 24);
ZULTRK_PIN(ColdStartParams, Parity, 26);
ZULTRK_ASSERT(sizeof(ReopenParams) == 24, "ReopenParams");
ZULTRK_PIN(ReopenParams, ResponseTimeout, 12);
ZULTRK_PIN(ReopenParams, BaudRate, 16);
ZULTRK_PIN(ReopenParams, Parity, 22);
ZULTRK_ASSERT(sizeof(AddressDefinition) == 36, "AddressDefinition");
ZULTRK_PIN(AddressDefinition, AddressText, 0);
ZULTRK_PIN(AddressDefinition, HostDataType, 8);
ZULTRK_PIN(AddressDefinition, Cleared16, 16);
ZULTRK_PIN(AddressDefinition, TypeLetter, 20);
ZULTRK_PIN(AddressDefinition, PointAddress, 24);
ZULTRK_PIN(AddressDefinition, BitNumber, 28);
ZULTRK_PIN(AddressDefinition, ElementLength, 32);
ZULTRK_ASSERT(sizeof(PointRequest) == 44, "PointRequest");
ZULTRK_PIN(PointRequest, TypeLetter, 12);
ZULTRK_PIN(PointRequest, PointAddress, 16);
ZULTRK_PIN(PointRequest, BitNumber, 20);
ZULTRK_PIN(PointRequest, ElementLength, 24);
ZULTRK_PIN(PointRequest, ElementCount, 32);
ZULTRK_PIN(PointRequest, ValueBuffer, 40);
#undef ZULTRK_PIN
#undef ZULTRK_ASSERT
#endif

#endif /* ZULTRK_H */
