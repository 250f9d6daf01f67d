#include "panel/address.h"

#include <cstring>

#include "panel/results.h"
#include "panel/type_letters.h"

const char* const AllowedChars[AllowedSetCount] = {
    "BDFWLTEM",         "1234567890ABCDEF", "1234567890ABCDEF",
    "1234567890ABCDEF", "1234567890ABCDEF", "1234567890ABCDEF",
    "1234567890ABCDEF", "1234567890ABCDEF", " ",
};

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsOneOf(char c, const char* letters) { return c != '\0' && std::strchr(letters, c) != nullptr; }

// Only these letters are ever written into the AddressDefinition's TypeLetter.
bool LetterAllowedFor(std::uint32_t hostDataType, char letter) {
    if (hostDataType <= 2) return IsOneOf(letter, "WDBTEM");
    if (hostDataType <= 5) return IsOneOf(letter, "LFD");
    if (hostDataType == 6) return IsOneOf(letter, "WB");
    return true;
}

} // namespace

bool NameToUpper(const char* text, char* destination) {
    std::size_t length = 0;
    while (length <= AddressWorkingSize && text[length] != '\0') ++length;
    if (length < 1 || length > AddressWorkingSize) return false;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        destination[i] = static_cast<char>(c >= 97 ? c - 32 : c);
    }
    return true;
}

int CheckChars(const AddressWorkingCopy& copy, const char* const (&allowed)[AllowedSetCount]) {
    for (int i = 0; i < AddressWorkingSize && copy[i] != '\0'; ++i) {
        if (i >= AllowedSetCount || !IsOneOf(copy[i], allowed[i])) return 1;
    }
    return 0;
}

bool TypeCheckPasses(std::int32_t hostDataType, char letter, std::int32_t bitNumber) {
    auto type = static_cast<std::uint32_t>(hostDataType);
    if (!LetterAllowedFor(type, letter)) return false;
    if (type >= 3 && type <= 5) return bitNumber == NoBit;
    if (type == 6) return bitNumber >= 0 && bitNumber <= 15;
    return true;
}

std::int32_t CheckPointAddress(AddressDefinition& definition, TypeCheck typeCheck) {
    definition.ElementLength = 32;
    definition.BitNumber = NoBit;
    definition.Cleared16 = 0;
    definition.TypeLetter = 0;

    // A copy of the call's own: nothing of one check outlives it.
    AddressWorkingCopy text;
    std::memset(text, 0, sizeof text);
    if (definition.AddressText != nullptr) NameToUpper(definition.AddressText, text);
    if (CheckChars(text, AllowedChars) != 0) return AddressRefused;
    if (text[8] != '\0' || text[6] == '\0') return AddressRefused;

    // The sets above already admit only a letter and hexadecimal digits, so
    // the fields are taken digit by digit, the same on every platform.
    int digits[7];
    for (int i = 1; i < 7; ++i) digits[i] = HexValue(text[i]);
    definition.TypeLetter = static_cast<unsigned char>(text[0]);
    int high = digits[1] * 16 + digits[2];
    int middle = digits[3] * 16 + digits[4];
    int low = digits[5] * 16 + digits[6];
    if (text[7] != '\0') definition.BitNumber = HexValue(text[7]);
    definition.PointAddress = high * 65536 + middle * 256 + low;

    if (typeCheck == TypeCheck::Off) return AddressAccepted;
    return TypeCheckPasses(definition.HostDataType, text[0], definition.BitNumber) ? AddressAccepted : AddressRefused;
}

std::int32_t CheckAddress(DriverRequest* request) {
    auto* definition = static_cast<AddressDefinition*>(request->Params);
    if (definition == nullptr) return AddressRefused;
    return CheckPointAddress(*definition, TypeCheck::On);
}

std::int32_t CheckAddressSyntax(DriverRequest* request) {
    auto* definition = static_cast<AddressDefinition*>(request->Params);
    if (definition == nullptr || definition->HostDataType == 7) return AddressRefused;
    return CheckPointAddress(*definition, TypeCheck::Off);
}

int BytesPerElement(std::int32_t letter) {
    if (const TypeLetterInfo* type = FindTypeLetter(letter)) return type->bytes;
    // Letters no address carries: A and S take the request's element
    // length, every other one counts two bytes.
    return letter == 'A' || letter == 'S' ? 0 : 2;
}

std::int32_t GetDataSize(const PointRequest& request) {
    std::int64_t size = BytesPerElement(request.TypeLetter);
    if (size == 0) size = request.ElementLength;
    // Wraps like the 32-bit product it stands for, without undefined behaviour.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(size * request.ElementCount));
}

std::int32_t TransferByteCount(const PointRequest& request) {
    std::int64_t size = BytesPerElement(request.TypeLetter);
    if (size == 0) size = request.ElementLength;
    std::int64_t total = size * request.ElementCount;
    return (size < 0 || request.ElementCount < 0 || total > 255) ? -1 : static_cast<std::int32_t>(total);
}
