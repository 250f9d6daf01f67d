// The built library behind long links and a panel whose late replies hold
// back the later ones, on real pseudo-terminals.
#include <random>

#include "tests/e2e/host.h"

namespace e2e {
namespace {

class LongLinks : public HostTest {};

// A radio link of 400 ms with replies in pieces up to 300 ms apart, at 9600
// baud, R = 1 s: the handshake learns the link and every size goes through
// on its first attempt.
TEST_F(LongLinks, BlocksOfEverySizeClassOnTheirFirstAttempt) {
    zulsim::PanelSim& sim = StartSim(With([](zulsim::Options& o) {
        o.baud = 9600;
        o.turnaroundMs = 20;
        o.linkDelayMs = 400;
        o.gapsMs = 300;
    }));
    ASSERT_EQ(ColdStart(sim.DevicePath(), 100), 0);
    ASSERT_EQ(log.back().text, "ZUL01: TRK: ColdStart(): TRK Driver loaded successfully");
    std::mt19937 random(3);
    for (int n : {1, 64, 127}) {
        SCOPED_TRACE(n);
        std::vector<std::uint32_t> values(n);
        for (auto& v : values) v = Half(static_cast<std::uint16_t>(random()));
        line.Clear();
        log.clear();
        ASSERT_EQ(Write('W', 0x004000, values), 0);
        std::vector<std::uint32_t> back(n, Untouched);
        ASSERT_EQ(Read('W', 0x004000, back), 0);
        for (int i = 0; i < n; ++i) ASSERT_EQ(back[i] >> 16, values[i] >> 16) << i;
        EXPECT_TRUE(log.empty()) << log.front().text;
        line.WaitForAck(200);
        EXPECT_EQ(line.Payloads().size(), 2u) << "one frame each way";
    }
}

// A panel that answers 30% of its requests 0.25 to 2.5 s late, holding back
// every later reply, some replies in two pieces: reads of two blocks whose
// replies look alike and writes of changing values. A read that succeeds
// has its own block's values, a write that succeeds is in the panel.
TEST_F(LongLinks, InOrderLateRepliesNeverAnswerAnotherRequest) {
    zulsim::PanelSim& sim = StartSim(With([](zulsim::Options& o) {
        o.faults.delay = 0.3;
        o.faults.delayMs = 250;
        o.faults.delayMaxMs = 2500;
        o.faults.split = 0.2;
        o.faults.splitMinMs = 5;
        o.faults.splitMaxMs = 200;
        o.faults.seed = 21;
    }));
    sim.SetBytes(0x001000, {0x11, 0x11, 0x12, 0x12});
    sim.SetBytes(0x002000, {0x21, 0x21, 0x22, 0x22});
    ColdStart(sim.DevicePath(), 50);
    int ok = 0, failed = 0;
    for (int i = 0; i < 30; ++i) {
        std::int32_t rc;
        if (i % 3 == 2) {
            auto value = static_cast<std::uint16_t>(0x3000 + i);
            rc = Write('W', 0x003000, {Half(value)});
            if (rc == 0) {
                EXPECT_EQ(Hex(sim.GetBytes(0x003000, 2)), Hex(Bytes{static_cast<std::uint8_t>(value & 0xFF), 0x30}))
                    << i << ": a write reported good is not in the panel";
            }
        } else {
            std::uint32_t address = i % 3 == 0 ? 0x001000 : 0x002000;
            std::vector<std::uint32_t> slots(2, Untouched);
            rc = Read('W', address, slots);
            if (rc == 0) {
                std::uint32_t high = address == 0x001000 ? 0x11 : 0x21;
                EXPECT_EQ(slots[0] >> 16, high * 0x101) << i << ": another request's reply";
                EXPECT_EQ(slots[1] >> 16, (high + 1) * 0x101) << i;
            }
        }
        (rc == 0 ? ok : failed) += 1;
    }
    EXPECT_GE(ok, 10) << failed << " failed";
}

} // namespace
} // namespace e2e
