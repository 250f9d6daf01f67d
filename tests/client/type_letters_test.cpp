// The type letters' table read against the protocol's own tables: element
// sizes, where the value sits in the slot, what a read makes of the panel's
// bytes and what a nibble write sends.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "panel/type_letters.h"

namespace {

struct LetterCase {
    char letter;
    int bytes, registers;
    SlotPart slot;
    std::vector<std::uint8_t> panel; // an element's bytes in the panel
    double number;                   // what a read of them stands for (bit-for-bit letters)
    std::uint32_t largest;
    bool roundTrips;
};

TEST(TypeLetters, EachLetterAsTheProtocolDefinesIt) {
    const LetterCase cases[] = {
        {'B', 1, 1, SlotPart::Half, {0xA3}, 0xA3, 0xFF, true},
        {'E', 1, 1, SlotPart::Half, {0xA3}, 0x3, 0xF, true},
        {'M', 1, 1, SlotPart::Half, {0xA3}, 0xA, 0xF, true},
        {'T', 2, 1, SlotPart::Half, {0x34, 0x12}, 0x1234, 0xFFFF, true},
        {'W', 2, 1, SlotPart::Half, {0x34, 0x12}, 0x1234, 0xFFFF, true},
        {'L', 4, 2, SlotPart::Whole, {0xFE, 0xFF, 0xFF, 0xFF}, -2, 0xFFFFFFFF, true},
        {'F', 4, 2, SlotPart::Whole, {}, 0, 0xFFFFFFFF, false},
        {'D', 3, 2, SlotPart::Whole, {}, 0, 0xFFFFFFFF, false},
    };
    EXPECT_EQ(std::size(TypeLetters), std::size(cases));
    for (const LetterCase& c : cases) {
        SCOPED_TRACE(std::string(1, c.letter));
        const TypeLetterInfo* type = FindTypeLetter(c.letter);
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->bytes, c.bytes);
        EXPECT_EQ(type->registers, c.registers);
        EXPECT_EQ(type->slot, c.slot);
        EXPECT_EQ(type->Largest(), c.largest);
        EXPECT_EQ(type->RoundTrips(), c.roundTrips);
        if (!c.panel.empty()) {
            EXPECT_EQ(NumberOf(*type, ValueFromBytes(*type, c.panel.data())), c.number);
        }
    }
    for (char other : {'A', 'S', 'Q', 'b', '\0'}) EXPECT_EQ(FindTypeLetter(other), nullptr) << other;
}

TEST(TypeLetters, SlotsHoldTheHalfOrTheWhole) {
    std::uint8_t slot[4] = {0xAA, 0xBB, 0, 0};
    const TypeLetterInfo& w = *FindTypeLetter('W');
    SetSlotValue(w, 0x1234, slot);
    EXPECT_EQ(std::vector<std::uint8_t>(slot, slot + 4), (std::vector<std::uint8_t>{0xAA, 0xBB, 0x34, 0x12}));
    EXPECT_EQ(SlotValue(w, slot), 0x1234u);
    const TypeLetterInfo& l = *FindTypeLetter('L');
    SetSlotValue(l, 0x12345678, slot);
    EXPECT_EQ(std::vector<std::uint8_t>(slot, slot + 4), (std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(SlotValue(l, slot), 0x12345678u);
    // F holds the float's own bits; D a signed count of seconds.
    float one = 1.0f;
    std::uint32_t bits = 0;
    std::memcpy(&bits, &one, sizeof bits);
    EXPECT_EQ(NumberOf(*FindTypeLetter('F'), bits), 1.0);
    EXPECT_EQ(NumberOf(*FindTypeLetter('D'), 0xFFFFFFFFu), -1.0);
}

TEST(TypeLetters, NibbleWritesMergeIntoThePanelsByte) {
    // Host value 7 where the panel holds A3: E sends A7, M sends 73.
    EXPECT_EQ(MergeIntoByte(*FindTypeLetter('E'), 0xA3, 7), 0xA7);
    EXPECT_EQ(MergeIntoByte(*FindTypeLetter('M'), 0xA3, 7), 0x73);
    // Only the nibble's own bits of the value count.
    EXPECT_EQ(MergeIntoByte(*FindTypeLetter('E'), 0xA3, 0x1F), 0xAF);
    EXPECT_EQ(MergeIntoByte(*FindTypeLetter('M'), 0xA3, 0x1F), 0xF3);
    EXPECT_TRUE(FindTypeLetter('E')->Nibble());
    EXPECT_FALSE(FindTypeLetter('B')->Nibble());
    EXPECT_EQ(FindTypeLetter('D')->write, WriteRule::None);
}

} // namespace
