#include "link/link_state.h"

#include <algorithm>

namespace {

constexpr std::uint16_t DelayBits = 0x0FFF;
constexpr std::uint16_t ReadsPendingBit = 0x1000;
constexpr std::uint16_t VersionsPendingBit = 0x2000;
constexpr std::uint16_t VersionsBehindBit = 0x4000;
constexpr std::uint16_t OutOfStepBit = 0x8000;

// Milliseconds up to 2047, then 16 ms steps: the wait has a margin of half
// the delay, so a coarser step costs nothing on the long links that need it.
constexpr std::int64_t FineLimit = 2048;
constexpr std::int64_t CoarseStep = 16;

std::uint16_t DelayCode(milliseconds delay) {
    std::int64_t ms = std::clamp(delay, milliseconds(0), MaxLearnedDelay).count();
    if (ms < FineLimit) return static_cast<std::uint16_t>(ms);
    return static_cast<std::uint16_t>(FineLimit + (ms - FineLimit + CoarseStep / 2) / CoarseStep);
}

milliseconds DelayOf(std::uint16_t code) {
    if (code < FineLimit) return milliseconds(code);
    return milliseconds(FineLimit + (code - FineLimit) * CoarseStep);
}

} // namespace

LinkState LoadLinkState(const std::uint8_t* bytes) {
    LinkState state;
    if (bytes == nullptr) return state;
    auto word = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
    state.delay = DelayOf(word & DelayBits);
    state.readsPending = (word & ReadsPendingBit) != 0;
    state.versionsPending = (word & VersionsPendingBit) != 0;
    state.versionsBehind = (word & VersionsBehindBit) != 0;
    state.outOfStep = (word & OutOfStepBit) != 0;
    return state;
}

void StoreLinkState(const LinkState& state, std::uint8_t* bytes) {
    if (bytes == nullptr) return;
    auto word = static_cast<std::uint16_t>(DelayCode(state.delay) | (state.readsPending ? ReadsPendingBit : 0) |
                                           (state.versionsPending ? VersionsPendingBit : 0) |
                                           (state.versionsBehind ? VersionsBehindBit : 0) |
                                           (state.outOfStep ? OutOfStepBit : 0));
    bytes[0] = static_cast<std::uint8_t>(word & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(word >> 8);
}
