// The driver's port layer over the termios backend, on pseudo-terminals.
#include <termios.h>

#include <cstring>

#include "serial/port.h"
#include "tests/serial/pty.h"

namespace {

LineSettings Line(std::uint32_t baud = 9600, std::uint8_t size = 8, std::uint8_t parity = NOPARITY,
                  std::uint8_t stop = ONESTOPBIT) {
    LineSettings line;
    line.baudRate = baud;
    line.byteSize = size;
    line.parity = parity;
    line.stopBits = stop;
    line.lineOptions = 0x0200; // as the channel start stores it
    return line;
}

DWORD ReadTimeoutMs(HANDLE handle) {
    COMMTIMEOUTS t{};
    EXPECT_TRUE(GetCommTimeouts(handle, &t));
    return t.ReadTotalTimeoutConstant;
}

class PortLayer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OpenComm(pty.path, Line(), handle), PortResult::Ok); }
    void TearDown() override { CloseComm(handle); }
    Pty pty;
    HANDLE handle = nullptr;
};

TEST(PortLayerOpen, ConfiguresARawLineInTheRequestedFormatDespiteNoModemLines) {
    struct {
        std::uint16_t baud, size, parity, stop;
        speed_t speed;
        tcflag_t format;
    } lines[] = {
        {9600, 8, NOPARITY, ONESTOPBIT, B9600, 0},
        {19200, 7, EVENPARITY, ONESTOPBIT, B19200, 0},
        {1200, 8, ODDPARITY, TWOSTOPBITS, B1200, PARODD | CSTOPB},
        {9600, 8, MARKPARITY, ONESTOPBIT, B9600, PARODD | CMSPAR},
        {38400, 8, SPACEPARITY, TWOSTOPBITS, B38400, CMSPAR | CSTOPB},
        {300, 5, NOPARITY, ONE5STOPBITS, B300, CSTOPB},
    };
    for (const auto& c : lines) {
        SCOPED_TRACE(testing::Message() << c.baud << " " << c.size << c.parity << c.stop);
        Pty pty;
        HANDLE handle = nullptr;
        LineSettings line = Line(c.baud, static_cast<std::uint8_t>(c.size), static_cast<std::uint8_t>(c.parity),
                                 static_cast<std::uint8_t>(c.stop));
        ASSERT_EQ(OpenComm(pty.path, line, handle), PortResult::Ok);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(handle, &dcb));
        EXPECT_EQ(dcb.BaudRate, c.baud);
        EXPECT_EQ(dcb.ByteSize, c.size);
        EXPECT_EQ(dcb.Parity, c.parity);
        EXPECT_EQ(dcb.StopBits, c.stop);
        EXPECT_EQ(ReadTimeoutMs(handle), static_cast<DWORD>(OpenReadTimeout.count()));
        EXPECT_FALSE(EscapeCommFunction(handle, SETRTS)) << "a pty has no modem lines";

        termios tio{}; // the master reports the device end's settings
        ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), c.speed);
        EXPECT_EQ(cfgetispeed(&tio), c.speed);
        // A pty forces CS8 and no parity bit; the rest of the format it keeps.
        EXPECT_EQ(tio.c_cflag & (CSTOPB | PARODD | CMSPAR | CRTSCTS), c.format);
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | INPCK | IGNPAR | PARMRK), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(CloseComm(handle), PortResult::Ok);
    }
}

TEST_F(PortLayer, SetReadTimeoutReturnsThePreviousValue) {
    EXPECT_EQ(SetReadTimeout(handle, TenMs{5}).count(), 100);
    EXPECT_EQ(ReadTimeoutMs(handle), 50u);
    EXPECT_EQ(SetReadTimeout(handle, TenMs{100}).count(), 5);
    EXPECT_EQ(ReadTimeoutMs(handle), 1000u);
}

TEST_F(PortLayer, FlushInputDrains700BytesAndRestoresTheTimeout) {
    SetReadTimeout(handle, TenMs{30});
    pty.Send(Sequence(700));
    ASSERT_EQ(InQueue(handle, 700), 700u);
    Stopwatch clock;
    EXPECT_EQ(FlushInput(handle), PortResult::Ok);
    EXPECT_LT(clock.Ms(), 250.0) << "drained with the 300 ms timeout";
    EXPECT_EQ(InQueue(handle), 0u);
    EXPECT_EQ(ReadTimeoutMs(handle), 300u);
}

TEST_F(PortLayer, ReadCommOfTenWithFourArrivingFailsWithFourGathered) {
    SetReadTimeout(handle, TenMs{10});
    const Bytes four = {0x10, 0x02, 0x0D, 0xFF};
    pty.Send(four);
    std::uint8_t buffer[10] = {};
    std::uint32_t count = 0;
    Stopwatch clock;
    EXPECT_EQ(ReadComm(handle, buffer, 10, &count), PortResult::NothingRead);
    EXPECT_GE(clock.Ms(), 90.0);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(Bytes(buffer, buffer + 4), four);
    EXPECT_EQ(WriteComm(handle, four.data(), 4, &count), PortResult::Ok);
    EXPECT_EQ(pty.Receive(100), four);
}

TEST(PortLayerNul, OpensWithoutConfigurationReadsNothingAndTakesWrites) {
    HANDLE nul = nullptr, second = nullptr;
    ASSERT_EQ(OpenComm("NUL", Line(), nul), PortResult::Ok);
    EXPECT_EQ(OpenComm("NUL", Line(), second), PortResult::Ok) << "not exclusive: several channels may use it";
    EXPECT_EQ(CloseComm(second), PortResult::Ok);
    EXPECT_EQ(SetReadTimeout(nul, TenMs{5}).count(), 0);
    std::uint8_t byte = 0;
    std::uint32_t count = 99;
    Stopwatch clock;
    EXPECT_EQ(ReadComm(nul, &byte, 1, &count), PortResult::NothingRead);
    EXPECT_LT(clock.Ms(), 50.0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(WriteComm(nul, "abc", 3, &count), PortResult::Ok);
    EXPECT_EQ(FlushInput(nul), PortResult::Ok);
    EXPECT_EQ(CloseComm(nul), PortResult::Ok);

    // Any other spelling is configured in full, and the null device has no line state.
    HANDLE lower = nullptr;
    EXPECT_EQ(OpenComm("nul", Line(), lower), PortResult::StateUnreadable);
}

} // namespace
