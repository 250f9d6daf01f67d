// Point addresses (type letter, 24-bit panel address, optional bit number),
// the host's data-type check, and the byte count of a transfer.
#pragma once

#include <cstdint>

#include "driver/zul.h"

constexpr int AddressWorkingSize = 32;
constexpr int AllowedSetCount = 9;
extern const char* const AllowedChars[AllowedSetCount];

// Module-wide, shared by all channels: address checks must not overlap.
extern char AddressWorkingCopy[AddressWorkingSize + 1];
extern bool TypeCheckOff;

bool NameToUpper(const char* text, char* destination);
int CheckChars(const char* const (&allowed)[AllowedSetCount]);
bool TypeCheckPasses(std::int32_t hostDataType, char letter, std::int32_t bitNumber);

// Bytes per element of a letter, or 0 for A and S (whose size the request gives).
int BytesPerElement(std::int32_t letter);
// Bytes per element times ElementCount, as a signed 32-bit product.
std::int32_t GetDataSize(const PointRequest& request);
// The same, or -1 when it is negative, above 255 or overflows.
std::int32_t TransferByteCount(const PointRequest& request);
