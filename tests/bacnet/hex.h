// Octets written as the standard's examples write them: "0C 00 00 00 01".
#pragma once

#include <cstdio>
#include <string>

#include "gateway/bacnet/encoding.h"

namespace bacnet_test {

inline zulgate::bacnet::Bytes Hex(const std::string& text) {
    zulgate::bacnet::Bytes out;
    for (std::size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

inline std::string HexOf(const zulgate::bacnet::Bytes& bytes) {
    std::string out;
    char octet[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(octet, sizeof octet, out.empty() ? "%02X" : " %02X", b);
        out += octet;
    }
    return out;
}

} // namespace bacnet_test
