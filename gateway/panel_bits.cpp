#include "gateway/panel_bits.h"

#include "host/client/slots.h"
#include "panel/type_letters.h"

namespace zulgate {
namespace {

struct Place {
    int offset; // byte of the element
    int bit;    // in that byte
};

// Value bit i of an element is at these panel bits; empty for the letters
// the driver converts (D, F).
std::vector<Place> BitsOf(char letter, int bit) {
    std::vector<Place> places;
    if (bit >= 0) {
        places.push_back({bit / 8, bit % 8});
        return places;
    }
    const TypeLetterInfo* type = FindTypeLetter(static_cast<unsigned char>(letter));
    if (type == nullptr || !type->BitForBit()) return places;
    for (int i = type->firstBit; i < type->firstBit + type->valueBits; ++i) places.push_back({i / 8, i % 8});
    return places;
}

} // namespace

void AddWrite(char letter, std::int32_t address, int bit, std::uint32_t value, PanelChanges& changes) {
    std::vector<Place> places = BitsOf(letter, bit);
    for (std::size_t i = 0; i < places.size(); ++i) {
        ByteChange& c = changes[address + places[i].offset];
        auto mask = static_cast<std::uint8_t>(1u << places[i].bit);
        c.mask |= mask;
        c.bits = static_cast<std::uint8_t>(((value >> i) & 1u) ? c.bits | mask : c.bits & ~mask);
    }
}

bool Touches(char letter, std::int32_t address, const PanelChanges& changes) {
    auto it = changes.lower_bound(address);
    return it != changes.end() && it->first < address + zulclient::BytesPerElement(letter);
}

std::optional<std::uint32_t> AfterChanges(char letter, std::int32_t address, int bit, std::uint32_t value,
                                          const PanelChanges& changes) {
    std::vector<Place> places = BitsOf(letter, bit);
    if (places.empty()) return std::nullopt;
    for (std::size_t i = 0; i < places.size(); ++i) {
        auto it = changes.find(address + places[i].offset);
        if (it == changes.end() || !(it->second.mask & (1u << places[i].bit))) continue;
        std::uint32_t one = (it->second.bits >> places[i].bit) & 1u;
        value = (value & ~(1u << i)) | (one << i);
    }
    return value;
}

} // namespace zulgate
