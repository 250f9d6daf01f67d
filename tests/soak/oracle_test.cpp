// The soak's oracle on the driver's documented examples, so that a wrong
// value counted by the soak is the driver's and not the oracle's.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tests/soak/oracle.h"

namespace soak {
namespace {

class OracleTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Central European time with its summer time: no tz database needed.
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
    }
    static std::int32_t Midnight(int y, int m, int d) {
        std::tm tm;
        std::memset(&tm, 0, sizeof tm);
        tm.tm_year = y - 1900;
        tm.tm_mon = m - 1;
        tm.tm_mday = d;
        tm.tm_isdst = -1;
        return static_cast<std::int32_t>(std::mktime(&tm));
    }
    static PointOp Op(char letter, int bit = NoBit, int count = 1) {
        PointOp op;
        op.letter = letter;
        op.bit = bit;
        op.count = count;
        return op;
    }
    static void SetHalf(std::uint8_t* slot, std::uint16_t v) {
        slot[2] = static_cast<std::uint8_t>(v & 0xFF);
        slot[3] = static_cast<std::uint8_t>(v >> 8);
    }
};

TEST_F(OracleTest, PanelDates) {
    EXPECT_EQ(DayNumberToTime(1), Midnight(1977, 1, 1));
    EXPECT_EQ(DayNumberToTime(1461), Midnight(1980, 12, 31));
    EXPECT_EQ(DayNumberToTime(1155), Midnight(1980, 2, 29));
    EXPECT_EQ(DayNumberToTime(8401), Midnight(2000, 1, 1));
    EXPECT_EQ(DayNumberToTime(0), Midnight(1976, 12, 31));
    // 19 January 2038 is day 22299; local midnight of the 19th still fits,
    // the 20th does not.
    EXPECT_EQ(DayNumberToTime(22299), Midnight(2038, 1, 19));
    EXPECT_EQ(DayNumberToTime(22300), -1);
    EXPECT_EQ(DayNumberToTime(65535), -1);
    // Local midnight in summer time is an hour earlier in UTC than in winter.
    EXPECT_EQ(Midnight(2000, 7, 1) % 86400, 86400 - 2 * 3600);
    EXPECT_EQ(Midnight(2000, 1, 1) % 86400, 86400 - 3600);
}

TEST_F(OracleTest, ReadValuesByLetter) {
    const std::uint8_t a5[] = {0xA5};
    EXPECT_EQ(ReadValue(Op('E'), a5), 5u);
    EXPECT_EQ(ReadValue(Op('M'), a5), 10u);
    const std::uint8_t eight[] = {0x08}, f7[] = {0xF7}, ff[] = {0xFF};
    EXPECT_EQ(ReadValue(Op('B', 3), eight), 1u);
    EXPECT_EQ(ReadValue(Op('B', 3), f7), 0u);
    EXPECT_EQ(ReadValue(Op('B'), f7), 247u);
    EXPECT_EQ(ReadValue(Op('B', 9), ff), 0u);
    const std::uint8_t word[] = {0x34, 0x12};
    EXPECT_EQ(ReadValue(Op('W'), word), 0x1234u);
    EXPECT_EQ(ReadValue(Op('T'), word), 0x1234u);
    const std::uint8_t l[] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(ReadValue(Op('L'), l), 0x12345678u);
    const std::uint8_t f[] = {0x10, 0x27, 0xAA, 0xBB};
    float tenThousand = 10000.0f;
    std::uint32_t bits;
    std::memcpy(&bits, &tenThousand, 4);
    EXPECT_EQ(ReadValue(Op('F'), f), bits);
    const std::uint8_t d[] = {0xD1, 0x20, 0x99}; // day 8401; the third byte plays no part
    EXPECT_EQ(static_cast<std::int32_t>(ReadValue(Op('D'), d)), Midnight(2000, 1, 1));
}

TEST_F(OracleTest, MergedWrites) {
    std::uint8_t slots[2][4] = {};
    SetHalf(slots[0], 7);
    EXPECT_EQ(IntendedBytes(Op('E'), slots, {0xA3}), (Bytes{0xA7}));
    EXPECT_EQ(IntendedBytes(Op('M'), slots, {0xA3}), (Bytes{0x73}));
    SetHalf(slots[0], 1);
    EXPECT_EQ(IntendedBytes(Op('W', 5), slots, {0x00, 0x0F}), (Bytes{0x20, 0x0F}));
    SetHalf(slots[0], 2); // bit 0 clear: bit 5 is cleared
    EXPECT_EQ(IntendedBytes(Op('W', 5), slots, {0x20, 0x0F}), (Bytes{0x00, 0x0F}));
    SetHalf(slots[0], 0);
    EXPECT_EQ(IntendedBytes(Op('B', 3), slots, {0xFF}), (Bytes{0xF7}));
    EXPECT_EQ(IntendedBytes(Op('B', 9), slots, {0xFF}), (Bytes{0xFF}));
    SetHalf(slots[0], 1);
    EXPECT_EQ(IntendedBytes(Op('E', 2), slots, {0xA3}), (Bytes{0xA7}));
    EXPECT_EQ(IntendedBytes(Op('M', 2), slots, {0xA3}), (Bytes{0xE3}));
    EXPECT_EQ(IntendedBytes(Op('T', 15), slots, {0x00, 0x00}), (Bytes{0x00, 0x80}));
}

TEST_F(OracleTest, WholeValueWrites) {
    std::uint8_t slots[2][4] = {{0xAA, 0xBB, 0x41, 0x99}, {0xCC, 0xDD, 0x10, 0x00}};
    EXPECT_EQ(IntendedBytes(Op('B', NoBit, 2), slots, {0, 0}), (Bytes{0x41, 0x10}));
    EXPECT_EQ(IntendedBytes(Op('W', NoBit, 2), slots, Bytes(4)), (Bytes{0x41, 0x99, 0x10, 0x00}));
    EXPECT_EQ(IntendedBytes(Op('L', NoBit, 1), slots, Bytes(4)), (Bytes{0xAA, 0xBB, 0x41, 0x99}));
    EXPECT_EQ(IntendedBytes(Op('F', NoBit, 2), slots, Bytes(8)),
              (Bytes{0xAA, 0xBB, 0x41, 0x99, 0xCC, 0xDD, 0x10, 0x00}));
}

} // namespace
} // namespace soak
