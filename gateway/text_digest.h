// A digest of texts (FNV-1a, 32 bits): what tells one configuration's texts
// from another's where the gateway keeps no file to count changes in (the
// BACnet Database_Revision), and a short stable tag of a name.
#pragma once

#include <cstdint>
#include <string_view>

namespace zulgate {

constexpr std::uint32_t EmptyDigest = 2166136261u;

// The digest of `text` after whatever `digest` was made of.
constexpr std::uint32_t Digest(std::string_view text, std::uint32_t digest = EmptyDigest) {
    for (unsigned char c : text) digest = (digest ^ c) * 16777619u;
    return digest;
}

} // namespace zulgate
