// Starting, restarting, closing, opening and reopening a channel of the
// built library on a simulated panel.
#include "tests/e2e/host.h"

namespace e2e {
namespace {

const char* const kWakeFrame = "10 02 31 10 03 B4 BD";
const char* const kVersionRequest = "10 02 F0 10 03 F2 ED";

class Lifecycle : public HostTest {
protected:
    // One W point read back, as proof that the channel talks to `sim`.
    std::uint16_t ReadWord(zulsim::PanelSim& sim, std::uint16_t value) {
        sim.SetBytes(0x000100, {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
        std::vector<std::uint32_t> slot{Untouched};
        EXPECT_EQ(Read('W', 0x000100, slot), 0);
        return static_cast<std::uint16_t>(slot[0] >> 16);
    }
};

TEST_F(Lifecycle, ColdStartWakesThePanelAndAcceptsItsIdentifier) {
    zulsim::PanelSim& sim = StartSim();
    ASSERT_EQ(ColdStart(sim.DevicePath()), 0);
    EXPECT_EQ(log, (Log{{32, "ZUL01: TRK: TRACKER Ver.ID = 0xF5h"},
                        {32, "ZUL01: TRK: ColdStart(): TRK Driver loaded successfully"}}));
    EXPECT_NE(channel.PortHandle, nullptr);
    EXPECT_EQ(channel.ActiveFlag, 1);
    EXPECT_EQ(channel.ResponseTimeout, 100);
    EXPECT_EQ(std::string(channel.Settings.PortName), sim.DevicePath());
    EXPECT_EQ(channel.Settings.BaudRate, 9600);
    EXPECT_EQ(channel.Settings.ByteSize, 8);
    EXPECT_EQ(channel.Settings.StopBits, 0);
    EXPECT_EQ(channel.Settings.Parity, 0);
    EXPECT_EQ(channel.Settings.LineOptions, 0x0200);
    EXPECT_EQ(channel.StartByte, 0);
    EXPECT_FALSE(DeviceFree(sim.DevicePath())) << "the driver's open must be exclusive";

    // On the line: the wake frame, then the version request and its ACK.
    line.WaitForAck();
    EXPECT_EQ(WithoutWakeRetries(line.Received(), kWakeFrame),
              (std::vector<std::string>{kWakeFrame, kVersionRequest, "06"}));
}

TEST_F(Lifecycle, EveryAcceptedIdentifierAndTheStoredTimeout) {
    struct Case {
        std::uint8_t id;
        std::int32_t timeout, stored, channelNumber;
        const char* idLine;
        const char* loadedLine;
    } const cases[] = {
        {0xF2, 100, 100, 1, "ZUL01: TRK: TRACKER Ver.ID = 0xF2h",
         "ZUL01: TRK: ColdStart(): TRK Driver loaded successfully"},
        {0xF6, 20, 100, 7, "ZUL07: TRK: TRACKER Ver.ID = 0xF6h",
         "ZUL07: TRK: ColdStart(): TRK Driver loaded successfully"},
        {0xFA, 300, 300, 12, "ZUL12: TRK: TRACKER Ver.ID = 0xFAh",
         "ZUL12: TRK: ColdStart(): TRK Driver loaded successfully"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.idLine);
        zulsim::PanelSim& sim = StartSim(With([&](zulsim::Options& o) { o.versionId = c.id; }));
        ASSERT_EQ(ColdStart(sim.DevicePath(), c.timeout, c.channelNumber), 0);
        EXPECT_EQ(log, (Log{{32, c.idLine}, {32, c.loadedLine}}));
        EXPECT_EQ(channel.ResponseTimeout, c.stored);
        ASSERT_EQ(Call(ClosePortCode), 0);
        log.clear();
    }
}

TEST_F(Lifecycle, InactiveColdStartOpensNothing) {
    zulsim::PanelSim& sim = StartSim();
    ColdStartParams p = StartParams(sim.DevicePath(), 100, 0);
    channel.ActiveFlag = 1;
    EXPECT_EQ(Call(ColdStartCode, &p), 0);
    EXPECT_EQ(channel.ActiveFlag, 0);
    EXPECT_EQ(channel.PortHandle, nullptr);
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(DeviceFree(sim.DevicePath()));
    EXPECT_TRUE(line.Received().empty());
}

TEST_F(Lifecycle, WarmStartRepeatsTheHandshake) {
    Started();
    EXPECT_EQ(Call(WarmStartCode), 0);
    EXPECT_EQ(log, (Log{{32, "ZUL01: TRK: TRACKER Ver.ID = 0xF5h"},
                        {64, "ZUL01: TRK: WarmStart(): ended successfully rc = 0"}}));
    line.WaitForAck();
    EXPECT_EQ(WithoutWakeRetries(line.Received(), kWakeFrame),
              (std::vector<std::string>{kWakeFrame, kVersionRequest, "06"}));
}

TEST_F(Lifecycle, WarmStartOnAClosedChannelDoesNothingOnTheLine) {
    Started();
    ASSERT_EQ(Call(ClosePortCode), 0);
    EXPECT_EQ(Call(WarmStartCode), 0);
    EXPECT_EQ(log, (Log{{64, "ZUL01: TRK: WarmStart(): ended successfully rc = 0"}}));
    EXPECT_TRUE(line.Received().empty());
}

TEST_F(Lifecycle, ClosePortTwiceThenOpenPortAgain) {
    zulsim::PanelSim& sim = Started();
    EXPECT_EQ(Call(ClosePortCode), 0);
    EXPECT_EQ(channel.PortHandle, nullptr);
    EXPECT_TRUE(DeviceFree(sim.DevicePath()));
    EXPECT_EQ(Call(ClosePortCode), 0);
    EXPECT_EQ(Call(StopChannelCode), 0);
    EXPECT_EQ(channel.ActiveFlag, 1) << "a close keeps ActiveFlag";

    channel.ActiveFlag = 0;
    EXPECT_EQ(Call(OpenPortCode), 0);
    EXPECT_NE(channel.PortHandle, nullptr);
    EXPECT_EQ(channel.ActiveFlag, 1);
    EXPECT_FALSE(DeviceFree(sim.DevicePath()));
    EXPECT_TRUE(log.empty()) << "close and open log nothing";
    // Reopened from the stored settings, without a handshake, and usable.
    line.Clear();
    EXPECT_EQ(ReadWord(sim, 0xCAFE), 0xCAFE);
    EXPECT_EQ(line.Count(kWakeFrame), 0u);

    EXPECT_EQ(Call(StopChannelCode), 0);
    EXPECT_EQ(channel.PortHandle, nullptr);
    EXPECT_TRUE(DeviceFree(sim.DevicePath()));
}

TEST_F(Lifecycle, ReopenPortMovesToASecondPanel) {
    zulsim::PanelSim& first = Started();
    zulsim::PanelSim& second = StartSim();
    EXPECT_EQ(Reopen(second.DevicePath()), 0);
    EXPECT_TRUE(DeviceFree(first.DevicePath())) << "the old port must be closed";
    EXPECT_FALSE(DeviceFree(second.DevicePath()));
    EXPECT_EQ(std::string(channel.Settings.PortName), second.DevicePath());
    EXPECT_EQ(channel.Settings.LineOptions, 0x0200) << "LineOptions keeps its value";
    EXPECT_EQ(channel.ResponseTimeout, 100) << "a timeout of 0 keeps the stored one";
    EXPECT_TRUE(log.empty());

    first.SetBytes(0x000100, {0x11, 0x11});
    EXPECT_EQ(ReadWord(second, 0x2222), 0x2222);
    EXPECT_EQ(line.Count(kWakeFrame), 0u) << "a reopen runs no handshake";

    // Back again, with a timeout below the start minimum: stored as given.
    EXPECT_EQ(Reopen(first.DevicePath(), 50), 0);
    EXPECT_EQ(channel.ResponseTimeout, 50);
    EXPECT_TRUE(DeviceFree(second.DevicePath()));
    EXPECT_EQ(ReadWord(first, 0x3333), 0x3333);
}

TEST_F(Lifecycle, SecondOpenOfTheSameDeviceIsRefused) {
    zulsim::PanelSim& sim = Started();
    void* held = channel.PortHandle;
    EXPECT_EQ(ColdStart(sim.DevicePath()), 2);
    EXPECT_EQ(log, (Log{{32, "ZUL01: TRK: ERROR ColdStart(): Fail to open " + sim.DevicePath()}}));
    EXPECT_EQ(channel.PortHandle, held);

    // A reopen of the same device does not close it first and fails the
    // same way, with the new line settings already stored.
    log.clear();
    ReopenParams p;
    std::memset(&p, 0, sizeof p);
    std::strncpy(p.PortName, sim.DevicePath().c_str(), sizeof p.PortName - 1);
    p.BaudRate = 19200;
    p.ByteSize = 7;
    EXPECT_EQ(Call(ReopenPortCode, &p), 2);
    EXPECT_EQ(channel.PortHandle, held);
    EXPECT_EQ(channel.Settings.BaudRate, 19200);
    EXPECT_TRUE(log.empty());

    // The port that was kept still serves.
    EXPECT_EQ(ReadWord(sim, 0xBEEF), 0xBEEF);
}

TEST_F(Lifecycle, MissingDeviceFailsToOpen) {
    EXPECT_EQ(ColdStart("/dev/zulno"), 2);
    EXPECT_EQ(log, (Log{{32, "ZUL01: TRK: ERROR ColdStart(): Fail to open /dev/zulno"}}));
    EXPECT_EQ(channel.PortHandle, nullptr);
    EXPECT_EQ(Call(OpenPortCode), 2) << "nothing stored to open";
    EXPECT_EQ(Reopen("/dev/zulno"), 2);
}

TEST_F(Lifecycle, DeviceLossFailsTheReadAndReopenRecovers) {
    zulsim::PanelSim& sim = Started();
    sim.Disconnect();
    std::vector<std::uint32_t> slot{Untouched};
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Read('W', 0x000100, slot), 2);
    EXPECT_LT(SecondsSince(start), 2.0);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), (LogLine{64, "ZUL01: TRK: ERROR BlockRead(): Fail rc = 2"}));
    EXPECT_EQ(slot[0], Untouched);

    ASSERT_TRUE(sim.Reconnect());
    EXPECT_EQ(Reopen(sim.DevicePath()), 0);
    EXPECT_EQ(ReadWord(sim, 0x4321), 0x4321);
}

} // namespace
} // namespace e2e
