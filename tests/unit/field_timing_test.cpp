// Requests through ZulMain on lines as they are in the field: paced at the
// line speed both ways, a panel that takes its time to answer, a USB
// adapter's latency timer, and pauses that last a 15.6 ms timer tick.
#include <cstring>
#include <random>

#include "serial/line_settings.h"
#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

class FieldTimingTest : public DriverTest {
protected:
    void StartAt(std::uint16_t baud) {
        ColdStartParams p;
        std::memset(&p, 0, sizeof p);
        std::strcpy(p.PortName, "COM5");
        p.ActiveFlag = 1;
        p.ResponseTimeout = 100;
        p.BaudRate = baud;
        p.ByteSize = 8;
        ASSERT_EQ(Call(ColdStartCode, &p), 0);
        ASSERT_EQ(log.back().text, "ZUL01: TRK: ColdStart(): TRK Driver loaded successfully");
        log.clear();
    }
    std::int32_t Transfer(std::int32_t code, char letter, std::uint32_t address, std::int32_t count,
                          std::uint8_t (*slots)[4], std::int32_t bit = NoBit) {
        PointRequest p = Points(letter, address, count, slots, bit);
        return Call(code, &p);
    }
};

// A stale frame that arrives after the next request has gone out, just
// before its own reply, would end that receive on the wrong frame. The
// refused write drains the line first, so the read gets its own values.
TEST_F(FieldTimingTest, StaleFrameFromARefusedWriteIsNotTakenAsTheNextReply) {
    Started();
    panel.Set(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    panel.replyDelay = 30 * fake::Ms;
    panel.damageCrc = true;                                                // the write's reply is refused at 30 ms
    device->Deliver(Frame({0x50, 0xAA, 0xBB, 0xCC, 0xDD}), 45 * fake::Ms); // a stale read reply
    std::uint8_t written[1][4] = {{0, 0, 0x99, 0x99}};
    EXPECT_EQ(Transfer(BlockWriteCode, 'W', 0x002000, 1, written), 1);
    panel.damageCrc = false;
    std::uint8_t read[2][4] = {};
    ASSERT_EQ(Transfer(BlockReadCode, 'W', 0x01A2F3, 2, read), 0);
    EXPECT_EQ(read[0][2] | read[0][3] << 8, 0x1234);
    EXPECT_EQ(read[1][2] | read[1][3] << 8, 0x5678);
}

// The largest block each way, a bit write and a nibble write, at every speed
// and on every kind of line; with random values, and with every value byte
// 0x10, which the frame doubles into the longest reply.
TEST_F(FieldTimingTest, EveryBlockSizeTransfersOnEveryLine) {
    struct Line {
        const char* what;
        fake::Micros turnaround, latencyTimer, tick;
    };
    const Line lines[] = {
        {"ideal", 0, 0, 0},
        {"turnaround 20 ms, latency timer 16 ms", 20 * fake::Ms, 16 * fake::Ms, 0},
        {"the same, 15.6 ms ticks", 20 * fake::Ms, 16 * fake::Ms, 15625},
    };
    std::mt19937 random(7);
    for (std::uint16_t baud : {9600, 19200, 38400}) {
        for (const Line& line : lines) {
            for (bool allDle : {false, true}) {
                SCOPED_TRACE(testing::Message() << baud << " baud, " << line.what << (allDle ? ", all 0x10" : ""));
                SetUp();
                fake::SetSleepTick(line.tick);
                LineSettings settings;
                settings.baudRate = baud;
                panel.perByte = CharacterTime(settings).count();
                panel.replyDelay = line.turnaround;
                panel.latencyTimer = line.latencyTimer;
                StartAt(baud);

                Bytes values(254);
                for (auto& v : values) v = allDle ? 0x10 : static_cast<std::uint8_t>(random());
                panel.Set(0x003000, values);
                std::uint8_t slots[127][4];
                ASSERT_EQ(Transfer(BlockReadCode, 'W', 0x003000, 127, slots), 0);
                for (int i = 0; i < 127; ++i) {
                    ASSERT_EQ(slots[i][2], values[2 * i]) << i;
                    ASSERT_EQ(slots[i][3], values[2 * i + 1]) << i;
                }

                for (int i = 0; i < 127; ++i) slots[i][2] = slots[i][3] = static_cast<std::uint8_t>(allDle ? 0x10 : i);
                ASSERT_EQ(Transfer(BlockWriteCode, 'W', 0x004000, 127, slots), 0);
                EXPECT_EQ(panel.Get(0x004000 + 2 * 126, 2), (Bytes{slots[126][2], slots[126][3]}));

                panel.Set(0x005000, {0xA3});
                std::uint8_t one[1][4] = {{0, 0, 1, 0}};
                ASSERT_EQ(Transfer(BlockWriteCode, 'B', 0x005000, 1, one, 2), 0);
                EXPECT_EQ(panel.Get(0x005000, 1), Bytes{0xA7});
                one[0][2] = 0x0C;
                ASSERT_EQ(Transfer(BlockWriteCode, 'M', 0x005000, 1, one), 0);
                EXPECT_EQ(panel.Get(0x005000, 1), Bytes{0xC7});
                EXPECT_TRUE(log.empty()) << log.front().text;
            }
        }
    }
}

} // namespace
} // namespace test
