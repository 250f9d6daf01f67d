// Serial port access: open and configure the device, change its read
// timeout, drain its input, raw writes and reads, close. Thin synchronous
// layers over the platform calls; none of them logs.
#pragma once

#include <cstdint>

#include "driver/zul.h"

// Result codes of the port operations.
constexpr int PortOk = 0;
constexpr int PortOpenFailed = 1;      // open or timeouts failed (OpenComm); drain read failed (FlushInput)
constexpr int PortShortWrite = 2;      // WriteComm wrote fewer bytes than asked
constexpr int PortStateReadFailed = 4; // OpenComm could not read the line state
constexpr int PortStateSetFailed = 5;  // OpenComm could not apply the line state
constexpr int PortCallFailed = 7;      // a platform call failed, or a read returned nothing

constexpr std::uint32_t OpenReadTimeoutMs = 1000;
constexpr std::uint32_t PortQueueSize = 1200;

int OpenComm(const PortSettings& settings, HANDLE& handle);
int CloseComm(HANDLE handle);
// Returns the previous read timeout in units of 10 ms, or 0 on failure.
int SetReadTimeout(HANDLE handle, std::int32_t tenMs);
int FlushInput(HANDLE handle);
int WriteComm(HANDLE handle, const void* bytes, std::uint32_t count, std::uint32_t* written);
int ReadComm(HANDLE handle, void* destination, std::uint32_t count, std::uint32_t* gathered);

// The DCB control modes that a LineOptions word selects.
DWORD DtrControlFor(std::uint16_t lineOptions);
DWORD RtsControlFor(std::uint16_t lineOptions);
