// Address texts through CheckAddress (code 3) and CheckAddressSyntax (code 4)
// with any host data type: the first 4 input bytes are the data type, the
// rest is the text (a NUL-terminated copy on the heap, so any read past its
// end is caught). The driver's answer is compared with the address rules
// worked out here on their own.
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"

using namespace fuzz;

namespace {

struct Expected {
    bool syntax = false;
    char letter = 0;
    std::int32_t address = 0;
    std::int32_t bit = NoBit;
};

int Hex(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Expected Syntax(const char* text) {
    Expected e;
    std::size_t n = std::strlen(text);
    if (n != 7 && n != 8) return e;
    unsigned char up[8];
    for (std::size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        up[i] = static_cast<unsigned char>(c >= 97 ? c - 32 : c);
    }
    if (std::strchr("BDFWLTEM", up[0]) == nullptr || up[0] == 0) return e;
    int digits[8];
    for (std::size_t i = 1; i < n; ++i) {
        digits[i] = Hex(up[i]);
        if (digits[i] < 0) return e;
    }
    e.syntax = true;
    e.letter = static_cast<char>(up[0]);
    e.address = 0;
    for (int i = 1; i <= 6; ++i) e.address = e.address * 16 + digits[i];
    if (n == 8) e.bit = digits[7];
    return e;
}

bool TypeFits(std::int32_t hostDataType, const Expected& e) {
    auto type = static_cast<std::uint32_t>(hostDataType);
    auto among = [&](const char* letters) { return std::strchr(letters, e.letter) != nullptr; };
    if (type <= 2) return among("WDBTEM");
    if (type <= 5) return among("LFD") && e.bit == NoBit;
    if (type == 6) return among("WB") && e.bit != NoBit;
    return true;
}

void Run(std::int32_t code, std::int32_t hostDataType, const char* text, const Expected& e) {
    Guarded<sizeof(AddressDefinition)> block;
    auto* definition = reinterpret_cast<AddressDefinition*>(block.Body());
    definition->AddressText = text;
    definition->HostDataType = hostDataType;
    AddressDefinition before = *definition;

    ChannelContext channel;
    std::memset(&channel, 0, sizeof channel);
    DriverRequest request;
    std::memset(&request, 0, sizeof request);
    request.Channel = &channel;
    request.Code = code;
    request.Params = definition;
    DriverRequest requestBefore = request;

    std::int32_t rc = ZulMain(&request);
    Check(rc == 0 || rc == 1, "address check result is neither 0 nor 1");
    Check(block.GuardsIntact(), "address check wrote outside the AddressDefinition");
    Check(std::memcmp(&request, &requestBefore, sizeof request) == 0, "address check changed the request");
    Check(definition->AddressText == before.AddressText && definition->HostDataType == before.HostDataType &&
              definition->Unused4 == before.Unused4 && definition->Unused12 == before.Unused12,
          "address check changed a field it only reads");

    if (code == CheckAddressSyntaxCode && hostDataType == 7) {
        Check(rc == 1, "syntax check with data type 7 not refused");
        Check(std::memcmp(definition, &before, sizeof before) == 0, "syntax check with data type 7 wrote");
        return;
    }
    bool accept = e.syntax && (code == CheckAddressSyntaxCode || TypeFits(hostDataType, e));
    Check((rc == 0) == accept, "address accepted or refused against the rules");
    Check(definition->ElementLength == 32 && definition->Cleared16 == 0, "defaults not written");
    if (rc == 0) {
        Check(definition->TypeLetter != 0 && std::strchr("BDFWLTEM", definition->TypeLetter) != nullptr,
              "accepted letter is not a type letter");
        Check(definition->PointAddress >= 0 && definition->PointAddress <= 0xFFFFFF, "address beyond 24 bits");
        Check(definition->BitNumber == NoBit || (definition->BitNumber >= 0 && definition->BitNumber <= 15),
              "bit number out of range");
    }
    if (e.syntax) {
        Check(definition->TypeLetter == e.letter && definition->PointAddress == e.address &&
                  definition->BitNumber == e.bit,
              "parsed fields differ");
    } else {
        Check(definition->TypeLetter == 0 && definition->BitNumber == NoBit &&
                  definition->PointAddress == before.PointAddress,
              "a refused text left more than the defaults");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QuietLog();
    if (size < 4) return 0;
    std::int32_t hostDataType = static_cast<std::int32_t>(static_cast<std::uint32_t>(data[0]) | (data[1] << 8) |
                                                          (data[2] << 16) |
                                                          (static_cast<std::uint32_t>(data[3]) << 24));
    std::size_t n = size - 4;
    std::unique_ptr<char[]> text(new char[n + 1]);
    std::memcpy(text.get(), data + 4, n);
    text[n] = '\0';
    Expected e = Syntax(text.get());
    Run(CheckAddressCode, hostDataType, text.get(), e);
    Run(CheckAddressSyntaxCode, hostDataType, text.get(), e);
    return 0;
}
