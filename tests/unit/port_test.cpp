// Serial port access over the fake device: configuration, timeouts, drain.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/fake/fake_port.h"
#include "serial/port.h"

namespace {

LineSettings Line(std::uint16_t options = 0x0200) {
    LineSettings line;
    line.baudRate = 9600;
    line.byteSize = 8;
    line.lineOptions = options;
    return line;
}

// The port layer's results as the numbers its callers see.
int Code(PortResult result) { return PortResultCode(result); }

class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        device = &fake::AddDevice("COM5");
        device->dcb.XonLim = 77; // a field the open must leave as the device has it
        device->dcb.EofChar = 0x1A;
    }
    HANDLE Open() {
        HANDLE h = nullptr;
        EXPECT_EQ(Code(OpenComm("COM5", Line(), h)), 0);
        return h;
    }
    fake::Device* device = nullptr;
};

TEST_F(PortTest, OpenConfiguresLineTimeoutsAndQueues) {
    LineSettings line = Line();
    line.stopBits = 2;
    line.parity = 3;
    line.byteSize = 7;
    HANDLE h = nullptr;
    ASSERT_EQ(Code(OpenComm("COM5", line, h)), 0);
    const DCB& d = device->dcb;
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.fBinary, 1u);
    EXPECT_EQ(d.fParity, 1u);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fOutxDsrFlow, 0u);
    EXPECT_EQ(d.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(d.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(d.fOutX | d.fInX | d.fErrorChar | d.fNull | d.fAbortOnError | d.fDsrSensitivity, 0u);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.Parity, 3);
    EXPECT_EQ(d.StopBits, 2);
    EXPECT_EQ(static_cast<std::uint8_t>(d.ErrorChar), 0xFC);
    EXPECT_EQ(d.XonLim, 77);
    EXPECT_EQ(d.EofChar, 0x1A);
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(device->timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(device->timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(device->inQueue, 1200u);
    EXPECT_EQ(device->outQueue, 1200u);
}

TEST(LineOptions, FirstMatchingTestWins) {
    struct Case {
        std::uint16_t word;
        DWORD dtr, rts;
    };
    const Case cases[] = {
        {0x0200, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
        {0x0101 | 0x8000, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0x8000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE},
        {0x3000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
        {0x2000, DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE},
        {0x0002, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
        {0x0001, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
        {0x4C7C, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DtrControlFor(c.word), c.dtr) << std::hex << c.word;
        EXPECT_EQ(RtsControlFor(c.word), c.rts) << std::hex << c.word;
    }
}

TEST_F(PortTest, OpenFailuresCloseTheDevice) {
    struct Case {
        bool fake::Device::*fault;
        int result;
    };
    const Case cases[] = {
        {&fake::Device::failOpen, 1},
        {&fake::Device::failGetCommState, 4},
        {&fake::Device::failSetCommTimeouts, 1},
        {&fake::Device::failSetCommState, 5},
    };
    for (const auto& c : cases) {
        fake::Reset();
        fake::Device& d = fake::AddDevice("COM5");
        d.*c.fault = true;
        HANDLE h = nullptr;
        EXPECT_EQ(Code(OpenComm("COM5", Line(), h)), c.result);
        EXPECT_EQ(fake::OpenHandleCount(), 0);
    }
    fake::Reset();
    fake::AddDevice("COM5").failSetupComm = true;
    HANDLE h = nullptr;
    EXPECT_EQ(Code(OpenComm("COM5", Line(), h)), 0) << "a refused queue size does not fail the open";
}

TEST_F(PortTest, SecondOpenOfAnExclusiveDeviceFails) {
    Open();
    HANDLE second = nullptr;
    EXPECT_EQ(Code(OpenComm("COM5", Line(), second)), 1);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
}

TEST_F(PortTest, NullDeviceShortcut) {
    HANDLE h = nullptr;
    ASSERT_EQ(Code(OpenComm("NUL", Line(), h)), 0);
    EXPECT_EQ(SetReadTimeout(h, TenMs{5}).count(), 0);
    std::uint8_t byte = 0;
    std::uint32_t gathered = 99;
    EXPECT_EQ(Code(ReadComm(h, &byte, 1, &gathered)), 7);
    EXPECT_EQ(gathered, 0u);
    std::uint32_t written = 0;
    EXPECT_EQ(Code(WriteComm(h, "ab", 2, &written)), 0);
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(Code(FlushInput(h)), 0);

    fake::Device& lower = fake::AddDevice("nul");
    lower.serial = false;
    HANDLE h2 = nullptr;
    EXPECT_EQ(Code(OpenComm("nul", Line(), h2)), 4) << "only the exact name is the shortcut";
    EXPECT_EQ(lower.openHandles, 0);
}

TEST_F(PortTest, SetReadTimeoutReturnsThePreviousValue) {
    HANDLE h = Open();
    EXPECT_EQ(SetReadTimeout(h, TenMs{5}).count(), 100);
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 50u);
    EXPECT_EQ(SetReadTimeout(h, TenMs{100}).count(), 5);
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 1000u);
    device->failSetCommTimeouts = true; // the value in force needs no apply
    EXPECT_EQ(SetReadTimeout(h, TenMs{100}).count(), 100);
    EXPECT_EQ(SetReadTimeout(h, TenMs{20}).count(), 0);
}

TEST_F(PortTest, FlushInputDrainsWhatWaits) {
    HANDLE h = Open();
    EXPECT_EQ(Code(FlushInput(h)), 0);
    EXPECT_EQ(fake::Now(), 0) << "an empty queue costs no read";

    device->Deliver(std::vector<std::uint8_t>(700, 0x41));
    EXPECT_EQ(Code(FlushInput(h)), 0);
    EXPECT_EQ(device->Waiting(), 0u);
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(fake::Now(), 50 * fake::Ms) << "the short second read waits out the 50 ms";

    device->Deliver(std::vector<std::uint8_t>(512, 0x41));
    EXPECT_EQ(Code(FlushInput(h)), 0);
    EXPECT_EQ(fake::Now(), 100 * fake::Ms) << "after a full read, a second read waits out the 50 ms";

    // A timeout below 10 ms before the drain is not put back.
    device->timeouts.ReadTotalTimeoutConstant = 5;
    device->Deliver({1});
    EXPECT_EQ(Code(FlushInput(h)), 0);
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 50u);

    device->Deliver({1});
    device->failReads = 1;
    EXPECT_EQ(Code(FlushInput(h)), 1);
}

TEST_F(PortTest, FlushInputStaysBoundedOnAStreamingLine) {
    HANDLE h = Open();
    device->Deliver(std::vector<std::uint8_t>(200000, 0x55));
    EXPECT_EQ(Code(FlushInput(h)), 0);
    EXPECT_GT(device->Waiting(), 0u);
}

TEST_F(PortTest, WritesAndReads) {
    HANDLE h = Open();
    std::uint32_t written = 99;
    EXPECT_EQ(Code(WriteComm(h, "", 0, &written)), 0);
    EXPECT_EQ(written, 0u);
    device->shortWriteBy = 1;
    EXPECT_EQ(Code(WriteComm(h, "abc", 3, &written)), 2);
    EXPECT_EQ(written, 2u);
    device->shortWriteBy = 0;
    device->failWrites = 1;
    EXPECT_EQ(Code(WriteComm(h, "abc", 3, &written)), 7);

    std::uint8_t buffer[10];
    std::uint32_t gathered = 99;
    EXPECT_EQ(Code(ReadComm(h, buffer, 1, &gathered)), 7);
    EXPECT_EQ(gathered, 0u);
    EXPECT_EQ(fake::Now(), 1000 * fake::Ms);

    device->Deliver({1, 2, 3, 4}, 10 * fake::Ms);
    EXPECT_EQ(Code(ReadComm(h, buffer, 10, &gathered)), 7);
    EXPECT_EQ(gathered, 4u);
    EXPECT_EQ(buffer[3], 4);

    device->Deliver({9, 8});
    EXPECT_EQ(Code(ReadComm(h, buffer, 2, &gathered)), 0);
    EXPECT_EQ(gathered, 2u);
}

TEST_F(PortTest, CloseReportsThePlatformsRefusal) {
    HANDLE h = Open();
    device->failClose = true;
    EXPECT_EQ(Code(CloseComm(h)), 7);
    device->failClose = false;
    EXPECT_EQ(Code(CloseComm(h)), 0);
    EXPECT_EQ(Code(CloseComm(h)), 7);
}

} // namespace
