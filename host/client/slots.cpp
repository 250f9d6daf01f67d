#include "host/client/slots.h"

#include <cstring>

namespace zulclient {

int BytesPerElement(char letter) {
    const TypeLetterInfo* type = FindTypeLetter(static_cast<unsigned char>(letter));
    return type ? type->bytes : 2;
}

int MaxElements(const Point& point) { return MaxTransferBytes / point.Type().bytes; }

bool MergedWrite(const Point& point) { return point.HasBit() || point.Type().Nibble(); }

int MaxElementsPerWrite(const Point& point) { return MergedWrite(point) ? 1 : MaxElements(point); }

std::uint32_t SlotValueOf(const Point& read, const Slot& slot, int bit) {
    std::uint32_t value = SlotValue(read.Type(), slot.data());
    return bit >= 0 ? (value >> bit) & 1u : value;
}

Slot SlotFor(const Point& point, std::uint32_t value) {
    Slot slot{};
    SetSlotValue(point.Type(), point.HasBit() ? value & 1u : value, slot.data());
    return slot;
}

Slot HalfSlot(std::uint16_t value) {
    return Slot{0, 0, static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)};
}

Slot WordSlot(std::uint32_t value) {
    return Slot{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Slot FloatSlot(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return WordSlot(bits);
}

} // namespace zulclient
