// The frame format: stuffing, framing, CRC-16/X-25 and extraction.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "link/msg_buffer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

MsgBuffer With(const Bytes& bytes, bool setLength = true) {
    MsgBuffer b;
    ClearMsgBuffer(b);
    // An empty vector may have no storage at all: memcpy takes no null source.
    if (!bytes.empty()) std::memcpy(b.data, bytes.data(), bytes.size());
    b.length = setLength ? static_cast<int>(bytes.size()) : 0;
    return b;
}

Bytes Data(const MsgBuffer& b) { return Bytes(b.data, b.data + b.length); }

struct WorkedExample {
    Bytes payload;
    Bytes wire;
    std::uint16_t crc;
};

const WorkedExample Examples[] = {
    {{0x31}, {0x10, 0x02, 0x31, 0x10, 0x03, 0xB4, 0xBD}, 0xBDB4},
    {{0xF0}, {0x10, 0x02, 0xF0, 0x10, 0x03, 0xF2, 0xED}, 0xEDF2},
    {{0x50, 0x00, 0x10, 0x20, 0x02}, {0x10, 0x02, 0x50, 0x00, 0x10, 0x10, 0x20, 0x02, 0x10, 0x03, 0xEB, 0xD6}, 0xD6EB},
    {{0x50, 0x00, 0x00, 0x00, 0x91}, {0x10, 0x02, 0x50, 0x00, 0x00, 0x00, 0x91, 0x10, 0x03, 0x10, 0x10, 0x8A}, 0x8A10},
    {{0x50, 0x00, 0x00, 0x00, 0x2F}, {0x10, 0x02, 0x50, 0x00, 0x00, 0x00, 0x2F, 0x10, 0x03, 0x49, 0x10, 0x10}, 0x1049},
    {{0x03, 0x10, 0x03}, {0x10, 0x02, 0x03, 0x10, 0x10, 0x03, 0x10, 0x03, 0x7D, 0xC4}, 0xC47D},
    {{0x50, 0x01, 0xA2, 0xF3, 0x04}, {0x10, 0x02, 0x50, 0x01, 0xA2, 0xF3, 0x04, 0x10, 0x03, 0x55, 0x90}, 0x9055},
};

TEST(Frame, WorkedExamplesBuildToTheirWireBytes) {
    for (const auto& ex : Examples) {
        MsgBuffer b = With(ex.payload);
        BuildFrame(b);
        EXPECT_EQ(Data(b), ex.wire);
        EXPECT_EQ(b.crc, ex.crc);
        EXPECT_EQ(b.crc, b.crcLow + 256 * b.crcHigh);
    }
}

TEST(Frame, WorkedExamplesBreakBackToTheirPayload) {
    for (const auto& ex : Examples) {
        MsgBuffer b = With(ex.wire, false);
        BreakIt(b);
        ASSERT_GT(b.length, 0);
        EXPECT_EQ(b.crc, ex.crc);
        std::uint16_t received = b.crc;
        CalcCRC(b);
        EXPECT_EQ(b.crc, received);
        DLEScanAndDel(b);
        Bytes expected{0x10, 0x02};
        expected.insert(expected.end(), ex.payload.begin(), ex.payload.end());
        expected.insert(expected.end(), {0x10, 0x03});
        EXPECT_EQ(Data(b), expected);
    }
}

TEST(Frame, CrcCheckValue) {
    // CRC-16/X-25 of "123456789" is 0x906E; CalcCRC starts at data[2].
    MsgBuffer b = With({0, 0, '1', '2', '3', '4', '5', '6', '7', '8', '9'});
    CalcCRC(b);
    EXPECT_EQ(b.crc, 0x906E);
    EXPECT_EQ(b.crcHigh, 0x90);
    EXPECT_EQ(b.crcLow, 0x6E);
}

TEST(Frame, BreakItOnReceivedBytes) {
    struct Case {
        const char* what;
        Bytes received;
        int length;
        int ack, nak;
        std::uint16_t crc;
    };
    const Case cases[] = {
        {"leading ACK", {0x06, 0x10, 0x02, 0x31, 0x10, 0x03, 0xB4, 0xBD}, 5, 1, 0, 0xBDB4},
        {"NAK whatever follows", {0x15, 0x10, 0x02, 0x31, 0x10, 0x03, 0xB4, 0xBD}, 0, 0, 1, 0},
        {"noise before DLE STX", {0x06, 0x41, 0x42, 0x10, 0x02, 0x31, 0x10, 0x03, 0xB4, 0xBD}, 5, 1, 0, 0xBDB4},
        {"cut before DLE ETX", {0x10, 0x02, 0x31, 0x10}, 0, 0, 0, 0},
        {"all zeros", {}, 0, 0, 0, 0},
        {"DLE DLE ETX is payload", {0x10, 0x02, 0x03, 0x10, 0x10, 0x03, 0x10, 0x03, 0x7D, 0xC4}, 8, 0, 0, 0xC47D},
        {"doubled CRC low byte",
         {0x10, 0x02, 0x50, 0x00, 0x00, 0x00, 0x91, 0x10, 0x03, 0x10, 0x10, 0x8A},
         9,
         0,
         0,
         0x8A10},
        {"doubled CRC high byte",
         {0x10, 0x02, 0x50, 0x00, 0x00, 0x00, 0x2F, 0x10, 0x03, 0x49, 0x10, 0x10},
         9,
         0,
         0,
         0x1049},
    };
    for (const auto& c : cases) {
        MsgBuffer b = With(c.received, false);
        BreakIt(b);
        EXPECT_EQ(b.length, c.length) << c.what;
        EXPECT_EQ(b.ackReceived, c.ack) << c.what;
        EXPECT_EQ(b.nakReceived, c.nak) << c.what;
        if (c.length > 0) {
            EXPECT_EQ(b.crc, c.crc) << c.what;
            EXPECT_EQ(b.data[0], 0x10) << c.what;
            EXPECT_EQ(b.data[1], 0x02) << c.what;
        }
    }
}

TEST(Frame, UnstuffingReducesEachPairOnce) {
    MsgBuffer b = With({0x10, 0x02, 0x03, 0x10, 0x10, 0x03, 0x10, 0x03});
    DLEScanAndDel(b);
    EXPECT_EQ(Data(b), (Bytes{0x10, 0x02, 0x03, 0x10, 0x03, 0x10, 0x03}));
    MsgBuffer four = With({0x10, 0x02, 0x10, 0x10, 0x10, 0x10, 0x10, 0x03});
    DLEScanAndDel(four);
    EXPECT_EQ(Data(four), (Bytes{0x10, 0x02, 0x10, 0x10, 0x10, 0x03}));
}

TEST(Frame, WrapFrameLimitIs585StuffedBytes) {
    MsgBuffer fits = With(Bytes(585, 0x41));
    WrapFrame(fits);
    EXPECT_EQ(fits.length, 589);
    EXPECT_EQ(fits.data[0], 0x10);
    EXPECT_EQ(fits.data[588], 0x03);

    MsgBuffer refused = With(Bytes(586, 0x41));
    WrapFrame(refused);
    EXPECT_EQ(refused.length, 586);
    EXPECT_EQ(refused.data[0], 0x41);
}

// A payload of 584 bytes whose CRC has no DLE byte fills the 590 bytes; one
// whose CRC has a DLE byte would need 591 and is not built.
TEST(Frame, BuildFrameLimitIs590Bytes) {
    bool sawFit = false, sawRefusal = false;
    for (int last = 0; last < 256 && !(sawFit && sawRefusal); ++last) {
        Bytes payload(584, 0x41);
        payload.back() = static_cast<std::uint8_t>(last);
        if (last == 0x10) continue;
        MsgBuffer probe = With(payload);
        DLEScanAndAdd(probe);
        WrapFrame(probe);
        CalcCRC(probe);
        bool crcHasDle = probe.crcLow == 0x10 || probe.crcHigh == 0x10;
        MsgBuffer b = With(payload);
        BuildFrame(b);
        if (crcHasDle) {
            EXPECT_EQ(b.length, 0);
            sawRefusal = true;
        } else {
            EXPECT_EQ(b.length, 590);
            sawFit = true;
        }
    }
    EXPECT_TRUE(sawFit);
    MsgBuffer tooLong = With(Bytes(585, 0x41));
    BuildFrame(tooLong);
    EXPECT_EQ(tooLong.length, 0);
    MsgBuffer stuffedTooLong = With(Bytes(300, 0x10));
    BuildFrame(stuffedTooLong);
    EXPECT_EQ(stuffedTooLong.length, 0);
}

// The CRC of a frame that ends right at the buffer's end is not there:
// such a frame counts as incomplete.
TEST(Frame, FrameWhoseCrcLiesBeyondTheBufferIsIncomplete) {
    MsgBuffer b;
    ClearMsgBuffer(b);
    std::memset(b.data, 0x41, sizeof b.data);
    b.data[0] = 0x10;
    b.data[1] = 0x02;
    b.data[587] = 0x10;
    b.data[588] = 0x03;
    b.data[589] = 0x00; // only the low CRC byte fits
    BreakIt(b);
    EXPECT_EQ(b.length, 0);
}

TEST(Frame, RandomPayloadsSurviveTheRoundTrip) {
    std::mt19937 rng(20261209);
    for (int i = 0; i < 5000; ++i) {
        std::size_t n = rng() % 300;
        Bytes payload(n);
        for (auto& byte : payload) byte = (rng() % 4 == 0) ? 0x10 : static_cast<std::uint8_t>(rng());
        MsgBuffer b = With(payload);
        BuildFrame(b);
        if (b.length == 0) continue;
        Bytes wire = Data(b);
        Bytes received{0x06};
        received.insert(received.end(), wire.begin(), wire.end());
        MsgBuffer r = With(received, false);
        BreakIt(r);
        ASSERT_GT(r.length, 0);
        std::uint16_t crc = r.crc;
        CalcCRC(r);
        ASSERT_EQ(crc, r.crc);
        DLEScanAndDel(r);
        ASSERT_EQ(Bytes(r.data + 2, r.data + r.length - 2), payload);
    }
}

// Arbitrary received bytes never make the extraction leave the buffer (the
// sanitizer build checks the accesses) and always leave a consistent result.
TEST(Frame, RandomReceivedBytesStayInsideTheBuffer) {
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        MsgBuffer b;
        ClearMsgBuffer(b);
        for (auto& byte : b.data) {
            unsigned pick = rng() % 8;
            byte = pick < 3 ? 0x10 : pick == 3 ? 0x02 : pick == 4 ? 0x03 : static_cast<std::uint8_t>(rng());
        }
        BreakIt(b);
        ASSERT_GE(b.length, 0);
        ASSERT_LE(b.length, 589);
        if (b.length > 0) {
            ASSERT_EQ(b.data[0], 0x10);
            ASSERT_EQ(b.data[1], 0x02);
            ASSERT_EQ(b.data[b.length - 1], 0x03);
            DLEScanAndDel(b);
            ASSERT_GE(b.length, 4);
        }
    }
}

} // namespace
