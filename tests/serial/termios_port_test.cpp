// The Win32 serial calls of the termios backend, on pseudo-terminals.
#include <cstring>
#include <thread>

#include "serial/port.h"
#include "tests/serial/pty.h"

namespace {

class TermiosPort : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(handle, INVALID_HANDLE_VALUE); }
    void TearDown() override { CloseHandle(handle); }
    void SetReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(handle, &t));
    }
    DCB State() {
        DCB dcb{};
        EXPECT_TRUE(GetCommState(handle, &dcb));
        return dcb;
    }
    Pty pty;
    HANDLE handle = OpenDevice(pty.path);
};

TEST_F(TermiosPort, SecondOpenFailsUntilTheFirstHandleIsClosed) {
    EXPECT_EQ(OpenDevice(pty.path), INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(CloseHandle(handle));
    std::uint8_t byte = 0;
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(handle, &byte, 1, &got, nullptr));
    handle = OpenDevice(pty.path);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
}

TEST_F(TermiosPort, EveryByteValuePassesUnchangedBothWays) {
    DCB dcb = State();
    dcb.Parity = EVENPARITY; // parity checking must leave the data alone too
    dcb.fParity = 1;
    ASSERT_TRUE(SetCommState(handle, &dcb));
    SetReadTimeouts(0, 0, 1000);
    const Bytes all = Sequence(256);

    pty.Send(all);
    Bytes in(300);
    DWORD moved = 0;
    ASSERT_TRUE(ReadFile(handle, in.data(), 256, &moved, nullptr));
    in.resize(moved);
    EXPECT_EQ(in, all);
    ASSERT_TRUE(WriteFile(handle, all.data(), 256, &moved, nullptr));
    EXPECT_EQ(moved, 256u);
    EXPECT_EQ(pty.Receive(100), all) << "bytes added, translated or echoed";
}

struct ReadCase {
    const char* name;
    DWORD interval, multiplier, constant, toRead;
    int waiting; // bytes in the input queue before the read
    int late;    // bytes the far end sends 60 ms into the read
    DWORD expected;
    double minMs, maxMs;
};

const ReadCase ReadCases[] = {
    {"ten asked, four there", 0, 0, 100, 10, 4, 0, 4, 90, 400},
    {"one asked, none comes", 0, 0, 80, 1, 0, 0, 0, 70, 400},
    {"all there returns at once", 0, 0, 1000, 4, 4, 0, 4, 0, 100},
    {"no total timeout waits for all", 0, 0, 0, 4, 2, 2, 4, 50, 1000},
    {"multiplier counts per byte asked", 0, 20, 0, 5, 0, 0, 0, 90, 400},
    {"interval ends at a gap", 30, 0, 0, 10, 3, 0, 3, 20, 400},
    {"maximal interval takes what waits", 0xFFFFFFFFu, 0, 0, 10, 3, 0, 3, 0, 100},
};

TEST_F(TermiosPort, ReadTimeoutsEndTheReadWithWhatArrived) {
    for (const ReadCase& c : ReadCases) {
        SCOPED_TRACE(c.name);
        SetReadTimeouts(c.interval, c.multiplier, c.constant);
        pty.Send(Sequence(c.waiting));
        ASSERT_EQ(InQueue(handle, c.waiting), DWORD(c.waiting));
        std::thread peer([&] {
            if (c.late == 0) return;
            usleep(60000);
            pty.Send(Sequence(c.late));
        });
        std::uint8_t buffer[16];
        DWORD got = 99;
        Stopwatch clock;
        EXPECT_TRUE(ReadFile(handle, buffer, c.toRead, &got, nullptr));
        double ms = clock.Ms(), cpu = clock.CpuSpentMs();
        peer.join();
        EXPECT_EQ(got, c.expected);
        EXPECT_GE(ms, c.minMs);
        EXPECT_LE(ms, c.maxMs);
        EXPECT_LT(cpu, 25.0) << "the wait spins";
        EXPECT_EQ(InQueue(handle), 0u);
    }
}

TEST_F(TermiosPort, DeviceLossEndsAWaitingReadWithFailureAndLaterCallsFailAtOnce) {
    SetReadTimeouts(0, 0, 0); // no timeout: only the loss can end the read
    std::thread peer([&] {
        usleep(50000);
        pty.CloseMaster();
    });
    std::uint8_t byte = 0;
    DWORD got = 99;
    Stopwatch clock;
    EXPECT_FALSE(ReadFile(handle, &byte, 1, &got, nullptr));
    peer.join();
    EXPECT_EQ(got, 0u);
    EXPECT_LT(clock.Ms(), 1000.0);

    SetReadTimeouts(0, 0, 1000);
    std::uint32_t gathered = 99;
    Stopwatch later;
    EXPECT_EQ(ReadComm(handle, &byte, 1, &gathered), PortResult::CallFailed);
    EXPECT_EQ(gathered, 0u);
    EXPECT_FALSE(WriteFile(handle, "x", 1, &got, nullptr));
    EXPECT_LT(later.Ms(), 100.0);
    EXPECT_LT(later.CpuSpentMs(), 25.0);
}

TEST_F(TermiosPort, SetCommStateRefusesALineItCannotSetAndChangesNothing) {
    struct {
        DWORD baud;
        BYTE size, parity, stop;
    } bad[] = {
        {14400, 8, NOPARITY, ONESTOPBIT}, // a Win32 rate the tty layer has no name for
        {0, 8, NOPARITY, ONESTOPBIT},     {9600, 9, NOPARITY, ONESTOPBIT},   {9600, 8, 5, ONESTOPBIT},
        {9600, 8, NOPARITY, 3},           {9600, 8, NOPARITY, ONE5STOPBITS}, // 1.5 only with 5 data bits
        {9600, 5, NOPARITY, TWOSTOPBITS},
    };
    const DCB before = State();
    for (const auto& c : bad) {
        DCB dcb = before;
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        EXPECT_FALSE(SetCommState(handle, &dcb)) << c.baud << " " << int(c.size) << int(c.parity) << int(c.stop);
        DCB now = State();
        EXPECT_EQ(std::memcmp(&now, &before, sizeof now), 0);
    }
}

TEST_F(TermiosPort, FieldsTermiosCannotHoldAreReportedBackAsGiven) {
    DCB dcb = State();
    EXPECT_EQ(dcb.DCBlength, 28u);
    dcb.BaudRate = 4800;
    dcb.ByteSize = 5;
    dcb.StopBits = ONE5STOPBITS;
    dcb.fDsrSensitivity = dcb.fTXContinueOnXoff = dcb.fAbortOnError = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.XonLim = 123;
    dcb.EvtChar = 0x7E;
    ASSERT_TRUE(SetCommState(handle, &dcb));
    DCB back = State();
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
}

} // namespace
