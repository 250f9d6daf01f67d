#include "link/link_state.h"

#include <algorithm>

namespace {
constexpr std::uint16_t OutOfStepBit = 0x8000;
}

LinkState LoadLinkState(const std::uint8_t* bytes) {
    LinkState state;
    if (bytes == nullptr) return state;
    auto word = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
    state.delay = milliseconds(word & ~OutOfStepBit);
    state.outOfStep = (word & OutOfStepBit) != 0;
    return state;
}

void StoreLinkState(const LinkState& state, std::uint8_t* bytes) {
    if (bytes == nullptr) return;
    auto delay = static_cast<std::uint16_t>(std::clamp(state.delay, milliseconds(0), MaxLearnedDelay).count());
    auto word = static_cast<std::uint16_t>(delay | (state.outOfStep ? OutOfStepBit : 0));
    bytes[0] = static_cast<std::uint8_t>(word & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(word >> 8);
}
