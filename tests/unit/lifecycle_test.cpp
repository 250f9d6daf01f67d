// Starting, restarting, closing, opening and reopening a channel.
#include "panel/handshake.h"
#include "serial/port.h"
#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

class LifecycleTest : public DriverTest {
protected:
    ReopenParams Reopen(const char* port, std::int32_t timeout = 0) {
        ReopenParams p;
        std::memset(&p, 0, sizeof p);
        std::strncpy(p.PortName, port, sizeof p.PortName - 1);
        p.ResponseTimeout = timeout;
        p.BaudRate = 19200;
        p.ByteSize = 7;
        p.StopBits = 2;
        p.Parity = 2;
        return p;
    }
};

TEST_F(LifecycleTest, ColdStartOpensSetsTheTimeoutAndRunsTheHandshake) {
    ASSERT_EQ(ColdStartOn("COM5", 300), 0);
    EXPECT_NE(channel.PortHandle, nullptr);
    EXPECT_EQ(channel.ActiveFlag, 1);
    EXPECT_EQ(channel.ResponseTimeout, 300);
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 3000u);
    EXPECT_STREQ(channel.Settings.PortName, "COM5");
    EXPECT_EQ(channel.Settings.BaudRate, 9600);
    EXPECT_EQ(channel.Settings.ByteSize, 8);
    EXPECT_EQ(channel.Settings.LineOptions, 0x0200);
    EXPECT_EQ(channel.StartByte, 0);
    EXPECT_EQ(log, (std::vector<LogLine>{{32, "ZUL01: TRK: TRACKER Ver.ID = 0xF5h"},
                                         {32, "ZUL01: TRK: ColdStart(): TRK Driver loaded successfully"}}));
}

TEST_F(LifecycleTest, ColdStartTimeoutTable) {
    struct Case {
        std::int32_t given;
        DWORD portMs;
        std::int32_t stored;
    };
    // 0 and below would leave the handshake's reads unbounded: the port
    // gets the stored minimum as well.
    // Ten times the value must not wrap in the port's unsigned field: the
    // port gets at most 60 s, the context keeps what the host gave.
    const Case cases[] = {{20, 200, 100},
                          {300, 3000, 300},
                          {100, 1000, 100},
                          {0, 1000, 100},
                          {-5, 1000, 100},
                          {6000, 60000, 6000},
                          {6001, 60000, 6001},
                          {429496730, 60000, 429496730},
                          {INT32_MAX, 60000, INT32_MAX}};
    for (const auto& c : cases) {
        SetUp();
        ASSERT_EQ(ColdStartOn("COM5", c.given), 0);
        EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, c.portMs) << c.given;
        EXPECT_EQ(channel.ResponseTimeout, c.stored) << c.given;
        EXPECT_FALSE(device->unboundedReadSeen);
    }
}

// Windows opens COM10 and above only by the device path \\.\COM10; the
// context keeps the host's name.
TEST_F(LifecycleTest, PortsAboveCom9GoThroughTheDeviceNamespace) {
    struct Case {
        const char* host;
        const char* platform;
    };
    const Case cases[] = {{"COM12", "\\\\.\\COM12"},
                          {"com10", "\\\\.\\com10"},
                          {"CoM255", "\\\\.\\CoM255"},
                          {"COM9", "COM9"},
                          {"COM1", "COM1"},
                          {"NUL", "NUL"},
                          {"COM", "COM"},
                          {"COM1X", "COM1X"},
                          {"COM012", "COM012"},
                          {"/dev/ttyS0", "/dev/ttyS0"},
                          {"\\\\.\\COM12", "\\\\.\\COM12"}};
    for (const auto& c : cases) {
        char platform[PlatformPortNameSize];
        PlatformPortName(c.host, platform);
        EXPECT_STREQ(platform, c.platform) << c.host;
    }
    fake::Device& com12 = fake::AddDevice("COM12");
    com12.peer = &panel;
    ASSERT_EQ(ColdStartOn("COM12"), 0);
    EXPECT_EQ(com12.openedAs, "\\\\.\\COM12");
    EXPECT_STREQ(channel.Settings.PortName, "COM12");
    EXPECT_EQ(log.back().text, "ZUL01: TRK: ColdStart(): TRK Driver loaded successfully");
}

// Five wake attempts of 200 ms and five reads of R = 1 s, then three
// attempts of the version request, each waiting up to R, and the drain.
TEST_F(LifecycleTest, SilentPanelWithTimeoutZeroStaysBounded) {
    panel.announce = false;
    panel.silent = true;
    ASSERT_EQ(ColdStartOn("COM5", 0), 0);
    EXPECT_FALSE(device->unboundedReadSeen);
    EXPECT_LT(fake::Now(), (5 * (200 + 5 * 1000) + 3 * (1000 + 20) + 200 + 20) * fake::Ms);
}

TEST_F(LifecycleTest, InactiveColdStartDoesNothing) {
    ColdStartParams p{};
    std::strcpy(p.PortName, "COM5");
    p.ActiveFlag = 0;
    channel.ActiveFlag = 1;
    EXPECT_EQ(Call(ColdStartCode, &p), 0);
    EXPECT_EQ(channel.ActiveFlag, 0);
    EXPECT_EQ(channel.PortHandle, nullptr);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(device->opens, 0);
}

TEST_F(LifecycleTest, ColdStartFailuresToOpen) {
    EXPECT_EQ(ColdStartOn("COM9"), 2);
    EXPECT_EQ(log, (std::vector<LogLine>{{32, "ZUL01: TRK: ERROR ColdStart(): Fail to open COM9"}}));
    EXPECT_EQ(channel.ActiveFlag, 1);
    EXPECT_EQ(channel.PortHandle, nullptr);
    EXPECT_EQ(channel.ResponseTimeout, 0);

    // A name with no NUL in its 12 bytes is never read beyond them.
    ColdStartParams p{};
    std::memset(p.PortName, 'A', sizeof p.PortName);
    p.ActiveFlag = 1;
    p.ResponseTimeout = 100;
    log.clear();
    EXPECT_EQ(Call(ColdStartCode, &p), 2);
    EXPECT_EQ(log, (std::vector<LogLine>{{32, "ZUL01: TRK: ERROR ColdStart(): Fail to open AAAAAAAAAAAA"}}));
}

TEST_F(LifecycleTest, HandshakeFailureStillStartsTheChannel) {
    panel.versionId = 0xF3;
    EXPECT_EQ(ColdStartOn("COM5"), 0);
    EXPECT_NE(channel.PortHandle, nullptr);
    EXPECT_EQ(log, (std::vector<LogLine>{{32, "ZUL01: TRK: TRACKER Ver.ID ERROR"},
                                         {64, "ZUL01: TRK: ERROR ConfigureAdapter(): Fail rc = 1"},
                                         {32, "ZUL01: TRK: ERROR ColdStart(): Fail rc = 1 "}}));
}

TEST_F(LifecycleTest, SecondColdStartOnAnExclusiveDeviceKeepsTheOpenPort) {
    Started();
    HANDLE first = channel.PortHandle;
    EXPECT_EQ(ColdStartOn("COM5"), 2);
    EXPECT_EQ(channel.PortHandle, first);
    EXPECT_EQ(log, (std::vector<LogLine>{{32, "ZUL01: TRK: ERROR ColdStart(): Fail to open COM5"}}));
}

TEST_F(LifecycleTest, ReopeningADeviceThatAllowsItClosesTheReplacedHandle) {
    device->exclusive = false;
    Started();
    HANDLE first = channel.PortHandle;
    ASSERT_EQ(ColdStartOn("COM5"), 0);
    EXPECT_NE(channel.PortHandle, first);
    EXPECT_EQ(fake::OpenHandleCount(), 1);
    ASSERT_EQ(Call(OpenPortCode), 0);
    EXPECT_EQ(fake::OpenHandleCount(), 1);
    ReopenParams same = Reopen("COM5");
    ASSERT_EQ(Call(ReopenPortCode, &same), 0);
    EXPECT_EQ(fake::OpenHandleCount(), 1);
}

TEST_F(LifecycleTest, WarmStart) {
    EXPECT_EQ(Call(WarmStartCode), 0) << "closed channel";
    EXPECT_EQ(log, (std::vector<LogLine>{{64, "ZUL01: TRK: WarmStart(): ended successfully rc = 0"}}));
    Started();
    device->Deliver({0x41, 0x42});
    EXPECT_EQ(Call(WarmStartCode), 0);
    EXPECT_EQ(log, (std::vector<LogLine>{{32, "ZUL01: TRK: TRACKER Ver.ID = 0xF5h"},
                                         {64, "ZUL01: TRK: WarmStart(): ended successfully rc = 0"}}));
    log.clear();
    panel.versionId = 0x01;
    EXPECT_EQ(Call(WarmStartCode), 1);
    EXPECT_EQ(log.back(), (LogLine{64, "ZUL01: TRK: ERROR WarmStart(): Fail rc = 1 "}));
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 1000u);
}

TEST_F(LifecycleTest, CloseAndStop) {
    EXPECT_EQ(Call(ClosePortCode), 0);
    Started();
    EXPECT_EQ(Call(StopChannelCode), 0);
    EXPECT_EQ(channel.PortHandle, nullptr);
    EXPECT_EQ(channel.ActiveFlag, 1);
    EXPECT_EQ(Call(ClosePortCode), 0);
    EXPECT_EQ(fake::OpenHandleCount(), 0);

    ASSERT_EQ(Call(OpenPortCode), 0);
    device->failClose = true;
    HANDLE held = channel.PortHandle;
    EXPECT_EQ(Call(ClosePortCode), 2);
    EXPECT_EQ(Call(StopChannelCode), 2);
    EXPECT_EQ(channel.PortHandle, held);
    EXPECT_TRUE(log.empty());
}

TEST_F(LifecycleTest, OpenPortUsesTheStoredSettings) {
    Started();
    ASSERT_EQ(Call(ClosePortCode), 0);
    channel.ActiveFlag = 0;
    ASSERT_EQ(Call(OpenPortCode), 0);
    EXPECT_EQ(channel.ActiveFlag, 1);
    EXPECT_NE(channel.PortHandle, nullptr);
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(device->RtsPulses(), 0) << "no handshake";
    ASSERT_EQ(Call(ClosePortCode), 0);
    device->failOpen = true;
    EXPECT_EQ(Call(OpenPortCode), 2);
    EXPECT_EQ(channel.PortHandle, nullptr);
    EXPECT_TRUE(log.empty());
}

TEST_F(LifecycleTest, ReopenToAnotherDevice) {
    fake::Device& other = fake::AddDevice("COM6");
    Started();
    channel.Settings.LineOptions = 0x0101;
    ReopenParams p = Reopen("COM6", 50);
    ASSERT_EQ(Call(ReopenPortCode, &p), 0);
    EXPECT_EQ(device->openHandles, 0) << "the old port was closed first";
    EXPECT_EQ(other.openHandles, 1);
    EXPECT_EQ(channel.ResponseTimeout, 50);
    EXPECT_STREQ(channel.Settings.PortName, "COM6");
    EXPECT_EQ(other.dcb.BaudRate, 19200u);
    EXPECT_EQ(other.dcb.ByteSize, 7);
    EXPECT_EQ(other.dcb.StopBits, 2);
    EXPECT_EQ(other.dcb.Parity, 2);
    EXPECT_EQ(other.dcb.fDtrControl, DTR_CONTROL_ENABLE) << "LineOptions kept";
    EXPECT_EQ(other.timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_TRUE(log.empty());
}

TEST_F(LifecycleTest, ReopenSameExclusiveDeviceFailsAndKeepsTheHandle) {
    Started();
    HANDLE held = channel.PortHandle;
    ReopenParams p = Reopen("COM5", 0);
    EXPECT_EQ(Call(ReopenPortCode, &p), 2);
    EXPECT_EQ(channel.PortHandle, held);
    EXPECT_EQ(channel.ResponseTimeout, 100) << "0 keeps the stored timeout";
    EXPECT_EQ(channel.Settings.BaudRate, 19200) << "settings already taken";
}

TEST_F(LifecycleTest, ReopenRefusesANameWithoutNul) {
    Started();
    ReopenParams p = Reopen("COM5");
    std::memset(p.PortName, 'B', sizeof p.PortName);
    EXPECT_EQ(Call(ReopenPortCode, &p), 2);
    EXPECT_STREQ(channel.Settings.PortName, "COM5");
}

} // namespace
} // namespace test
