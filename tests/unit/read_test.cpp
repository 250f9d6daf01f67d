// Block read: the request on the line, decoding by letter, refusals.
#include <cmath>
#include <cstring>

#include "panel/handshake.h"
#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

class ReadTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        Started();
        std::memset(slots, 0xEE, sizeof slots);
    }
    std::int32_t Read(char letter, std::uint32_t address, std::int32_t count, std::int32_t bit = NoBit) {
        PointRequest p = Points(letter, address, count, slots, bit);
        PointRequest copy = p;
        std::int32_t rc = Call(BlockReadCode, &p);
        EXPECT_EQ(std::memcmp(&p, &copy, sizeof p), 0) << "the request block is left as it was";
        return rc;
    }
    std::uint16_t Half(int slot) const { return static_cast<std::uint16_t>(slots[slot][2] | (slots[slot][3] << 8)); }
    std::uint32_t Whole(int slot) const {
        std::uint32_t v;
        std::memcpy(&v, slots[slot], 4);
        return v;
    }
    bool Untouched(int from) const {
        for (int s = from; s < 8; ++s) {
            for (int i = 0; i < 4; ++i) {
                if (slots[s][i] != 0xEE) return false;
            }
        }
        return true;
    }
    std::uint8_t slots[8][4];
};

TEST_F(ReadTest, TwoWordsOnTheLineAndInTheSlots) {
    panel.Set(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    ASSERT_EQ(Read('W', 0x01A2F3, 2), 0);
    EXPECT_EQ(device->Writes().front(), (Bytes{0x10, 0x02, 0x50, 0x01, 0xA2, 0xF3, 0x04, 0x10, 0x03, 0x55, 0x90}));
    EXPECT_EQ(Half(0), 0x1234);
    EXPECT_EQ(Half(1), 0x5678);
    EXPECT_EQ(slots[0][0], 0xEE) << "bytes 0-1 of a 16-bit slot keep the host's";
    EXPECT_EQ(slots[0][1], 0xEE);
    EXPECT_TRUE(Untouched(2));
    EXPECT_TRUE(log.empty());
}

TEST_F(ReadTest, DecodingTable) {
    struct Case {
        char letter;
        std::int32_t bit;
        Bytes values;
        std::uint32_t expected; // the 16-bit half, or the whole slot for L, F, D
        bool whole;
    };
    float tenThousand = 10000.0f;
    std::uint32_t tenThousandBits;
    std::memcpy(&tenThousandBits, &tenThousand, 4);
    const Case cases[] = {
        {'B', NoBit, {0xF7}, 247, false},
        {'B', 3, {0x08}, 1, false},
        {'B', 3, {0xF7}, 0, false},
        {'B', 7, {0x80}, 1, false},
        {'B', 9, {0xFF}, 0, false},
        {'B', 15, {0xFF}, 0, false},
        {'E', NoBit, {0xA5}, 5, false},
        {'M', NoBit, {0xA5}, 10, false},
        {'W', NoBit, {0xFF, 0xFF}, 0xFFFF, false},
        {'T', NoBit, {0x01, 0x80}, 0x8001, false},
        {'L', NoBit, {0x78, 0x56, 0x34, 0x12}, 0x12345678, true},
        {'F', NoBit, {0x10, 0x27, 0xAA, 0xBB}, tenThousandBits, true},
    };
    for (const auto& c : cases) {
        std::memset(slots, 0xEE, sizeof slots);
        panel.Set(0x000300, c.values);
        ASSERT_EQ(Read(c.letter, 0x000300, 1, c.bit), 0) << c.letter << c.bit;
        EXPECT_EQ(c.whole ? Whole(0) : Half(0), c.expected) << c.letter << " bit " << c.bit;
        EXPECT_TRUE(Untouched(1));
    }
}

TEST_F(ReadTest, DatesConsumeThreeBytesEach) {
    setenv("TZ", "UTC0", 1);
    tzset();
    panel.Set(0x000400, {0x01, 0x00, 0xAA, 0xD1, 0x20, 0xBB, 0x83, 0x04, 0xCC});
    ASSERT_EQ(Read('D', 0x000400, 3), 0);
    EXPECT_EQ(Whole(0), 220924800u); // 1977-01-01
    EXPECT_EQ(Whole(1), 946684800u); // day 8401, 2000-01-01
    EXPECT_EQ(Whole(2), 320630400u); // day 1155, 1980-02-29
    EXPECT_TRUE(Untouched(3));
    EXPECT_EQ(device->Writes().front()[6], 9) << "byte count 9";
    unsetenv("TZ");
    tzset();
}

TEST_F(ReadTest, ZeroElementsSendsCountZeroAndTouchesNothing) {
    ASSERT_EQ(Read('W', 0x000500, 0), 0);
    EXPECT_EQ(panel.requests.back(), (Bytes{0x50, 0x00, 0x05, 0x00, 0x00}));
    EXPECT_TRUE(Untouched(0));
}

TEST_F(ReadTest, NakGivesOneWithoutAHandshake) {
    panel.nak = true;
    EXPECT_EQ(Read('W', 0x000100, 1), 1);
    EXPECT_EQ(log, (std::vector<LogLine>{{64, "ERROR ChekReply:NAK recieved"},
                                         {64, "ZUL01: TRK: ERROR BlockRead(): Fail rc = 1"}}));
    EXPECT_EQ(device->RtsPulses(), 0);
    EXPECT_TRUE(Untouched(0));
}

TEST_F(ReadTest, SilentPanelGivesTwo) {
    panel.silent = true;
    EXPECT_EQ(Read('W', 0x000100, 1), 2);
    EXPECT_EQ(log.back(), (LogLine{64, "ZUL01: TRK: ERROR BlockRead(): Fail rc = 2"}));
    EXPECT_EQ(log[log.size() - 2], (LogLine{64, "ZUL01: TRK: ERROR HandleCommSendRecv(): rc = 2"}));
    EXPECT_TRUE(Untouched(0));
}

// A refused reply that is no NAK recovers the panel with the handshake, and
// the read still fails: no value was read.
TEST_F(ReadTest, RefusedRepliesRerunTheHandshakeAndFail) {
    struct Case {
        const char* what;
        void (*arrange)(FakePanel&);
        const char* checkLine;
    };
    const Case cases[] = {
        {"damaged CRC", [](FakePanel& p) { p.damageCrc = true; }, nullptr},
        {"status 5", [](FakePanel& p) { p.status = 5; }, "ERROR ChekReply():Status reply = 5"},
        {"short value area", [](FakePanel& p) { p.shortValue = 1; }, nullptr},
        {"long value area", [](FakePanel& p) { p.extraValue = 1; }, nullptr},
        {"split reply", [](FakePanel& p) { p.splitGap = 600 * fake::Ms; }, "ERROR ChekReply:BreakIt() Failed"},
    };
    for (const auto& c : cases) {
        FakePanel fresh;
        panel = fresh;
        c.arrange(panel);
        log.clear();
        device->events.clear();
        std::memset(slots, 0xEE, sizeof slots);
        channel.StartByte = channel.Reserved = 0; // each case on a channel in step
        panel.Set(0x000100, {0x11, 0x22});
        EXPECT_EQ(Read('W', 0x000100, 1), 2) << c.what;
        EXPECT_TRUE(Untouched(0)) << c.what;
        EXPECT_EQ(device->RtsPulses(), 1) << c.what;
        if (c.checkLine) {
            ASSERT_FALSE(log.empty()) << c.what;
            EXPECT_EQ(log.front().text, c.checkLine) << c.what;
        }
        EXPECT_EQ(log.back(), (LogLine{64, "ZUL01: TRK: ERROR BlockRead(): Fail rc = 2"})) << c.what;
    }
}

// A late status reply 11 00 is two payload bytes, like a one-byte read's
// answer: it must not pass for the value 0x00.
TEST_F(ReadTest, StatusReplyIsNoValue) {
    panel.status = 0;
    EXPECT_EQ(Read('B', 0x000100, 1), 2);
    EXPECT_TRUE(Untouched(0));
}

TEST_F(ReadTest, RefusedRequestsNeverReachTheLine) {
    struct Case {
        char letter;
        std::int32_t count;
        std::int32_t bit;
        std::int32_t elementLength;
    };
    const Case cases[] = {
        {'W', 128, NoBit, 0},        {'L', 64, NoBit, 0}, {'B', 256, NoBit, 0}, {'W', -1, NoBit, 0},
        {'L', 0x40000001, NoBit, 0}, {'A', 2, NoBit, 32}, {'S', 1, NoBit, 4},   {'Q', 1, NoBit, 0},
        {'w', 1, NoBit, 0},          {'B', 1, 16, 0},     {'B', 1, -1, 0},      {'W', 1, 254, 0},
    };
    for (const auto& c : cases) {
        log.clear();
        PointRequest p = Points(c.letter, 0x000100, c.count, slots, c.bit);
        p.ElementLength = c.elementLength;
        EXPECT_EQ(Call(BlockReadCode, &p), 1) << c.letter << " " << c.count << " " << c.bit;
        EXPECT_EQ(log, (std::vector<LogLine>{{64, "ZUL01: TRK: ERROR BlockRead(): Fail rc = 1"}}));
    }
    EXPECT_TRUE(device->Writes().empty());
    EXPECT_TRUE(Untouched(0));
    EXPECT_EQ(Call(BlockReadCode, nullptr), 1);
}

TEST_F(ReadTest, LargestBlocksFitTheBuffers) {
    std::uint8_t big[255][4];
    Bytes values(255);
    for (int i = 0; i < 255; ++i) values[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i ^ 0x5A);
    panel.Set(0x100000, values);
    PointRequest p = Points('B', 0x100000, 255, big);
    ASSERT_EQ(Call(BlockReadCode, &p), 0);
    for (int i = 0; i < 255; ++i) ASSERT_EQ(big[i][2], values[static_cast<std::size_t>(i)]);
    PointRequest w = Points('W', 0x100000, 127, big);
    ASSERT_EQ(Call(BlockReadCode, &w), 0);
    EXPECT_EQ(big[126][2], values[252]);
}

TEST_F(ReadTest, ClosedChannelFailsCleanly) {
    ASSERT_EQ(Call(ClosePortCode), 0);
    EXPECT_EQ(Read('W', 0x000100, 1), 2);
    EXPECT_TRUE(Untouched(0));
}

} // namespace
} // namespace test
