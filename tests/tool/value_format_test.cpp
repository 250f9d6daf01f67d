// The tool's value rules without a process: command-line values to host
// slots, slots to text, and the banner's code page.
#include <gtest/gtest.h>

#include "host/tool/cp437.h"
#include "host/tool/value_format.h"

namespace zulhost {
namespace {

Point P(char letter, std::int32_t bit = NoBit) { return Point{letter, 0x01A2F3, bit}; }

Slot Encode(char letter, const std::string& text, std::int32_t bit = NoBit) {
    Encoded e = EncodeValue(P(letter, bit), text);
    EXPECT_TRUE(e.slot.has_value()) << text << ": " << e.error;
    return e.slot.value_or(Slot{});
}

TEST(EncodeValue, SixteenBitValuesGoToBytesTwoAndThree) {
    EXPECT_EQ(Encode('W', "0x1234"), (Slot{0, 0, 0x34, 0x12}));
    EXPECT_EQ(Encode('T', "65535"), (Slot{0, 0, 0xFF, 0xFF}));
    EXPECT_EQ(Encode('B', "0XfF"), (Slot{0, 0, 0xFF, 0}));
    EXPECT_EQ(Encode('E', "15"), (Slot{0, 0, 15, 0}));
    EXPECT_EQ(Encode('B', "1", 7), (Slot{0, 0, 1, 0}));
}

TEST(EncodeValue, LongsAndFloatsFillTheWholeSlot) {
    EXPECT_EQ(Encode('L', "0x12345678"), (Slot{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(Encode('L', "-1"), (Slot{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Encode('L', "4294967295"), (Slot{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Encode('F', "1.0"), (Slot{0x00, 0x00, 0x80, 0x3F}));
    EXPECT_EQ(Encode('F', "-2.5e1"), (Slot{0x00, 0x00, 0xC8, 0xC1}));
}

TEST(EncodeValue, LeadingZerosAreDecimalNotOctal) { EXPECT_EQ(Encode('W', "010"), (Slot{0, 0, 10, 0})); }

TEST(EncodeValue, OutOfRangeOrMalformedValuesAreRefusedWithAReason) {
    struct Bad {
        char letter;
        std::int32_t bit;
        const char* text;
        const char* reason;
    } cases[] = {
        {'B', NoBit, "256", "0..255"},    {'W', NoBit, "65536", "0..65535"}, {'W', NoBit, "-1", "0..65535"},
        {'M', NoBit, "16", "0..15"},      {'W', 3, "2", "0 or 1"},           {'L', NoBit, "4294967296", "32-bit"},
        {'L', NoBit, "0x", "32-bit"},     {'W', NoBit, "12abc", "0..65535"}, {'W', NoBit, "", "0..65535"},
        {'F', NoBit, "inf", "finite"},    {'F', NoBit, "1.5x", "finite"},    {'D', NoBit, "1", "read-only"},
        {'W', NoBit, "0x-5", "0..65535"}, {'T', NoBit, " 5", "0..65535"},
    };
    for (const Bad& bad : cases) {
        Encoded e = EncodeValue(P(bad.letter, bad.bit), bad.text);
        EXPECT_FALSE(e.slot.has_value()) << bad.letter << " " << bad.text;
        EXPECT_NE(e.error.find(bad.reason), std::string::npos) << e.error;
    }
}

TEST(DecodeSlot, ReadsTheHalfOrTheWholeSlotByLetter) {
    Slot s{0xAA, 0xBB, 0x34, 0x12};
    EXPECT_EQ(DecodeSlot(P('W'), s).unsignedValue, 0x1234u) << "bytes 0-1 belong to the host";
    EXPECT_EQ(DecodeSlot(P('L'), s).unsignedValue, 0x1234BBAAu);
    EXPECT_EQ(DecodeSlot(P('D'), WordSlot(946684800)).timeValue, 946684800);
    EXPECT_FLOAT_EQ(DecodeSlot(P('F'), FloatSlot(10000.0f)).floatValue, 10000.0f);
}

TEST(FormatValue, ShowsEachLetterItsOwnWay) {
    EXPECT_EQ(FormatValue(P('W'), DecodeSlot(P('W'), HalfSlot(0x1234))), "4660 (0x1234)");
    EXPECT_EQ(FormatValue(P('B'), DecodeSlot(P('B'), HalfSlot(0x41))), "65 (0x41)");
    EXPECT_EQ(FormatValue(P('B', 7), DecodeSlot(P('B', 7), HalfSlot(1))), "1");
    EXPECT_EQ(FormatValue(P('L'), DecodeSlot(P('L'), WordSlot(0xFFFFFFFE))), "-2 (0xFFFFFFFE)");
    EXPECT_EQ(FormatValue(P('F'), DecodeSlot(P('F'), FloatSlot(0.5f))), "0.5");
    EXPECT_EQ(FormatTime(-1), "out of range");
}

TEST(PointText, NamesTheElementWithItsBitDigit) {
    EXPECT_EQ(PointText(Point{'W', 0x01A2F3, NoBit}), "W01A2F3");
    EXPECT_EQ(PointText(Point{'B', 0x004002, 10}), "B004002A");
    EXPECT_EQ(MaxElements(Point{'W', 0, NoBit}), 127);
    EXPECT_EQ(MaxElements(Point{'D', 0, NoBit}), 85);
    EXPECT_EQ(MaxElements(Point{'B', 0, 3}), 255);
}

TEST(Cp437ToUtf8, MapsTheBoxDrawingAndShadingBytes) {
    EXPECT_EQ(Cp437ToUtf8("\xDA\xC4\xBF"), "\u250C\u2500\u2510");
    EXPECT_EQ(Cp437ToUtf8("\xB3\xDB\xB2\xB1\xB0\xC0\xD9"), "\u2502\u2588\u2593\u2592\u2591\u2514\u2518");
    EXPECT_EQ(Cp437ToUtf8("\x80\xE1\xFF"), "\u00C7\u00DF\u00A0");
    EXPECT_EQ(Cp437ToUtf8("a\tb\n"), "a\tb\n");
    EXPECT_EQ(Cp437ToUtf8(nullptr), "");
}

} // namespace
} // namespace zulhost
