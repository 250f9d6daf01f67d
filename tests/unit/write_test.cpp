// Block write: payloads by letter, read-modify-write of nibbles and bits,
// and the failure table.
#include <cstring>

#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

class WriteTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        Started();
    }
    // Writes one slot per value; 16-bit values go to bytes 2-3.
    std::int32_t Write(char letter, std::uint32_t address, std::vector<std::uint32_t> values, std::int32_t bit = NoBit,
                       bool whole = false) {
        std::memset(slots, 0, sizeof slots);
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (whole) {
                std::memcpy(slots[i], &values[i], 4);
            } else {
                slots[i][2] = static_cast<std::uint8_t>(values[i]);
                slots[i][3] = static_cast<std::uint8_t>(values[i] >> 8);
            }
        }
        std::uint8_t before[8][4];
        std::memcpy(before, slots, sizeof slots);
        PointRequest p = Points(letter, address, static_cast<std::int32_t>(values.size()), slots, bit);
        PointRequest copy = p;
        std::int32_t rc = Call(BlockWriteCode, &p);
        EXPECT_EQ(std::memcmp(&p, &copy, sizeof p), 0) << "the request block is left as it was";
        EXPECT_EQ(std::memcmp(before, slots, sizeof slots), 0) << "the value buffer is only read";
        return rc;
    }
    Bytes LastFrame() const {
        auto writes = device->Writes();
        for (auto it = writes.rbegin(); it != writes.rend(); ++it) {
            if (it->size() > 1) return *it;
        }
        return {};
    }
    std::uint8_t slots[8][4];
};

TEST_F(WriteTest, PayloadsAndLineBytes) {
    struct Case {
        const char* what;
        char letter;
        std::uint32_t address;
        std::vector<std::uint32_t> values;
        bool whole;
        Bytes payload;
        Bytes wire; // empty: not pinned
    };
    const Case cases[] = {
        {"one W",
         'W',
         0x01A2F3,
         {0x1234},
         false,
         {0x60, 0x01, 0xA2, 0xF3, 0x02, 0x34, 0x12},
         {0x10, 0x02, 0x60, 0x01, 0xA2, 0xF3, 0x02, 0x34, 0x12, 0x10, 0x03, 0x48, 0x80}},
        {"one L, stuffed address",
         'L',
         0x10000A,
         {0x12345678},
         true,
         {0x60, 0x10, 0x00, 0x0A, 0x04, 0x78, 0x56, 0x34, 0x12},
         {0x10, 0x02, 0x60, 0x10, 0x10, 0x00, 0x0A, 0x04, 0x78, 0x56, 0x34, 0x12, 0x10, 0x03, 0x26, 0xF5}},
        {"two B",
         'B',
         0x004002,
         {0x41, 0x10},
         false,
         {0x60, 0x00, 0x40, 0x02, 0x02, 0x41, 0x10},
         {0x10, 0x02, 0x60, 0x00, 0x40, 0x02, 0x02, 0x41, 0x10, 0x10, 0x10, 0x03, 0xF2, 0xEF}},
        {"one F 1.0", 'F', 0x003000, {0x3F800000}, true, {0x60, 0x00, 0x30, 0x00, 0x04, 0x00, 0x00, 0x80, 0x3F}, {}},
        {"B takes the low byte", 'B', 0x000010, {0xAB12}, false, {0x60, 0x00, 0x00, 0x10, 0x01, 0x12}, {}},
        {"three T",
         'T',
         0x000020,
         {1, 2, 0xFFFF},
         false,
         {0x60, 0x00, 0x00, 0x20, 0x06, 0x01, 0x00, 0x02, 0x00, 0xFF, 0xFF},
         {}},
        {"zero elements", 'W', 0x000030, {}, false, {0x60, 0x00, 0x00, 0x30, 0x00}, {}},
    };
    for (const auto& c : cases) {
        device->events.clear();
        panel.requests.clear();
        ASSERT_EQ(Write(c.letter, c.address, c.values, NoBit, c.whole), 0) << c.what;
        ASSERT_EQ(panel.requests.size(), 1u) << c.what;
        EXPECT_EQ(panel.requests[0], c.payload) << c.what;
        if (!c.wire.empty()) {
            EXPECT_EQ(LastFrame(), c.wire) << c.what;
        }
    }
    EXPECT_TRUE(log.empty());
}

TEST_F(WriteTest, NibbleWritesMergeIntoThePanelsByte) {
    struct Case {
        char letter;
        std::uint32_t value;
        std::uint8_t panelByte;
        std::uint8_t sent;
    };
    const Case cases[] = {{'E', 7, 0xA3, 0xA7}, {'M', 7, 0xA3, 0x73}, {'E', 0x1F, 0x00, 0x0F}, {'M', 0xF0, 0xFF, 0x0F}};
    for (const auto& c : cases) {
        panel.requests.clear();
        panel.Set(0x002000, {c.panelByte});
        ASSERT_EQ(Write(c.letter, 0x002000, {c.value}), 0);
        ASSERT_EQ(panel.requests.size(), 2u);
        EXPECT_EQ(panel.requests[0], (Bytes{0x50, 0x00, 0x20, 0x00, 0x01})) << "the preparatory read";
        EXPECT_EQ(panel.requests[1], (Bytes{0x60, 0x00, 0x20, 0x00, 0x01, c.sent}));
    }
}

TEST_F(WriteTest, BitWritesMergeIntoTheCurrentValue) {
    struct Case {
        const char* what;
        char letter;
        std::int32_t bit;
        std::uint32_t value;
        Bytes panelBytes;
        std::size_t reads;
        Bytes sent;
    };
    const Case cases[] = {
        {"W bit 5 set", 'W', 5, 1, {0x00, 0x0F}, 1, {0x20, 0x0F}},
        {"W bit 5, value 2 clears", 'W', 5, 2, {0x20, 0x0F}, 1, {0x00, 0x0F}},
        {"W bit 15", 'W', 15, 1, {0x00, 0x00}, 1, {0x00, 0x80}},
        {"B bit 3 clear", 'B', 3, 0, {0xFF}, 1, {0xF7}},
        {"B bit 9 unchanged", 'B', 9, 1, {0x5A}, 1, {0x5A}},
        {"E bit 2", 'E', 2, 1, {0xA3}, 2, {0xA7}},
        {"M bit 0", 'M', 0, 1, {0x2C}, 2, {0x3C}},
    };
    for (const auto& c : cases) {
        panel.requests.clear();
        panel.Set(0x000100, c.panelBytes);
        ASSERT_EQ(Write(c.letter, 0x000100, {c.value}, c.bit), 0) << c.what;
        ASSERT_EQ(panel.requests.size(), c.reads + 1) << c.what;
        Bytes expected{0x60, 0x00, 0x01, 0x00, static_cast<std::uint8_t>(c.sent.size())};
        expected.insert(expected.end(), c.sent.begin(), c.sent.end());
        EXPECT_EQ(panel.requests.back(), expected) << c.what;
        EXPECT_EQ(panel.requests[0][0], 0x50) << c.what;
    }
}

TEST_F(WriteTest, LongBitWriteChangesTheUpperHalf) {
    panel.Set(0x000100, {0x00, 0x00, 0x00, 0x00});
    ASSERT_EQ(Write('L', 0x000100, {1}, 2), 0);
    EXPECT_EQ(panel.Get(0x000100, 4), (Bytes{0x00, 0x00, 0x04, 0x00}));
}

TEST_F(WriteTest, PreparatoryReadFailures) {
    panel.nak = true;
    EXPECT_EQ(Write('E', 0x000100, {1}), 1);
    EXPECT_EQ(log, (std::vector<LogLine>{{64, "ERROR ChekReply:NAK recieved"},
                                         {64, "ZUL01: TRK: ERROR BlockRead(): Fail rc = 1"},
                                         {64, "ZUL01: TRK: ERROR BlockWrite(): Fail rc = 1"}}));
    EXPECT_EQ(panel.requests.size(), 1u) << "no write frame on the line";

    // A refused preparatory reply recovers the panel but fails the write:
    // no merged value is written from a byte that was never read.
    panel.nak = false;
    panel.damageCrc = true;
    panel.requests.clear();
    log.clear();
    EXPECT_EQ(Write('W', 0x000100, {1}, 3), 2);
    EXPECT_EQ(log.back(), (LogLine{64, "ZUL01: TRK: ERROR BlockWrite(): Fail rc = 2"}));
    for (const auto& r : panel.requests) EXPECT_NE(r[0], 0x60);
}

TEST_F(WriteTest, ReplyFailures) {
    panel.status = 5;
    EXPECT_EQ(Write('W', 0x000100, {1}), 1);
    EXPECT_EQ(log, (std::vector<LogLine>{{64, "ERROR ChekReply():Status reply = 5"},
                                         {64, "ZUL01: TRK: ERROR BlockWrite():CheckReply() Fail rc = 5"},
                                         {64, "ZUL01: TRK: ERROR BlockWrite(): Fail rc = 1"}}));
    EXPECT_EQ(device->RtsPulses(), 0) << "a write does not rerun the handshake";

    panel.status = -1;
    panel.silent = true;
    log.clear();
    EXPECT_EQ(Write('W', 0x000100, {1}), 2);
    EXPECT_EQ(log.back(), (LogLine{64, "ZUL01: TRK: ERROR BlockWrite(): Fail rc = 2"}));
}

TEST_F(WriteTest, RefusedRequestsNeverReachTheLine) {
    struct Case {
        char letter;
        std::int32_t count;
        std::int32_t bit;
    };
    const Case cases[] = {
        {'D', 1, NoBit},   {'A', 1, NoBit},   {'S', 1, NoBit},  {'Q', 1, NoBit},
        {'W', 128, NoBit}, {'B', 256, NoBit}, {'W', -3, NoBit}, {'L', 0x40000001, NoBit},
        {'W', 1, 16},      {'B', 1, -2},      {'E', 2, NoBit},  {'M', 3, NoBit},
        {'W', 2, 4},
    };
    for (const auto& c : cases) {
        log.clear();
        PointRequest p = Points(c.letter, 0x000100, c.count, slots, c.bit);
        EXPECT_EQ(Call(BlockWriteCode, &p), 1) << c.letter << " " << c.count << " " << c.bit;
        EXPECT_EQ(log, (std::vector<LogLine>{{64, "ZUL01: TRK: ERROR BlockWrite(): Fail rc = 1"}}));
    }
    EXPECT_TRUE(device->Writes().empty());
}

TEST_F(WriteTest, LargestWriteFits) {
    std::uint8_t big[255][4] = {};
    for (int i = 0; i < 255; ++i) big[i][2] = static_cast<std::uint8_t>(0x10 + (i & 1));
    PointRequest p = Points('B', 0x000000, 255, big);
    ASSERT_EQ(Call(BlockWriteCode, &p), 0);
    EXPECT_EQ(panel.Get(0, 3), (Bytes{0x10, 0x11, 0x10}));
    EXPECT_EQ(panel.Get(254, 1), (Bytes{0x10}));
}

} // namespace
} // namespace test
