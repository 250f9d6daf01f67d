// Point addresses (type letter, 24-bit panel address, optional bit number),
// the host's data-type check, and the byte count of a transfer.
#pragma once

#include <cstdint>

#include "driver/zultrk.h"

constexpr int AddressWorkingSize = 32;
constexpr int AllowedSetCount = 9;
extern const char* const AllowedChars[AllowedSetCount];

// The check's own copy of the text, upper-cased, with room for its NUL.
using AddressWorkingCopy = char[AddressWorkingSize + 1];

// Whether the host's data type is compared with the letter and bit
// (CheckAddress) or not (CheckAddressSyntax).
enum class TypeCheck { On, Off };

// The request operations (codes 3 and 4).
std::int32_t CheckAddress(DriverRequest* request);
std::int32_t CheckAddressSyntax(DriverRequest* request);

// Parses the definition's text into its fields and, with TypeCheck::On,
// checks them against its HostDataType: AddressAccepted or AddressRefused.
std::int32_t CheckPointAddress(AddressDefinition& definition, TypeCheck typeCheck);

bool NameToUpper(const char* text, char* destination);
// 0 when every character of the copy lies in the set of its position, else 1.
int CheckChars(const AddressWorkingCopy& copy, const char* const (&allowed)[AllowedSetCount]);
bool TypeCheckPasses(std::int32_t hostDataType, char letter, std::int32_t bitNumber);

// Bytes per element of a letter, or 0 for A and S (whose size the request gives).
int BytesPerElement(std::int32_t letter);
// Bytes per element times ElementCount, as a signed 32-bit product.
std::int32_t GetDataSize(const PointRequest& request);
// The same, or -1 when it is negative, above 255 or overflows.
std::int32_t TransferByteCount(const PointRequest& request);
