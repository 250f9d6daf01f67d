// A channel's life through zultrk.dll as a Windows host drives it, against
// the simulated panel behind a COM port: ColdStart, WarmStart, ClosePort
// twice, OpenPort, and a WarmStart on the reopened port. Checks results, the
// channel context byte for byte, the port's configuration as the system
// reports it for the driver's handle, and the log lines that reach the
// host library (captured with KORVAN.dll's korvan_set_sink).
//
//   zul_wine_lifecycle_check.exe PORTNAME      (for example COM5)
//
// Also reports which serial calls the system refuses on this port, since a
// pseudo-terminal under wine has no modem lines.
#include "tests/wine/host_check.h"

#include <string>
#include <vector>

namespace {

using namespace host;

constexpr std::int32_t ColdStartCode = 1, WarmStartCode = 2, ClosePortCode = 12, OpenPortCode = 13;
constexpr std::int32_t ChannelNumber = 1; // "ZUL01" in the log lines
constexpr int Level32 = 32, Level64 = 64;

struct LogLine {
    int level;
    std::string text;
};
std::vector<LogLine> logLines;

void CaptureLine(int level, const char* line, void*) {
    logLines.push_back({level, line});
    std::printf("  log [%d] %s\n", level, line);
    std::fflush(stdout);
}
typedef void (*KorvanSink)(int, const char*, void*);
typedef void (*SetSinkFunction)(KorvanSink, void*);

// The lines logged since `from`, each as "[level] text".
std::string LinesSince(std::size_t from) {
    std::string all;
    for (std::size_t i = from; i < logLines.size(); ++i)
        all += "[" + std::to_string(logLines[i].level) + "] " + logLines[i].text + "; ";
    return all.empty() ? "(none)" : all;
}

// Expects exactly these lines, in this order, since `from`.
void ExpectLog(Checks& checks, std::size_t from, const std::vector<LogLine>& expected, const char* what) {
    bool same = logLines.size() - from == expected.size();
    for (std::size_t i = 0; same && i < expected.size(); ++i)
        same = logLines[from + i].level == expected[i].level && logLines[from + i].text == expected[i].text;
    std::string want;
    for (const LogLine& line : expected) want += "[" + std::to_string(line.level) + "] " + line.text + "; ";
    checks.Expect(same, "%s logged %s expected %s", what, LinesSince(from).c_str(),
                  want.empty() ? "(none)" : want.c_str());
}

HANDLE PortHandleOf(const unsigned char* channel) {
    return reinterpret_cast<HANDLE>(GetPointerValue(channel, context::PortHandle));
}

// The stored port settings, line settings included (offsets 12 to 33).
void ExpectStoredSettings(Checks& checks, const unsigned char* channel, const char* portName, const char* when) {
    char name[13] = {};
    std::memcpy(name, channel + context::PortName, 12);
    checks.Expect(std::strcmp(name, portName) == 0, "%s: stored PortName is \"%s\"", when, name);
    checks.Expect(Get16(channel, context::BaudRate) == 9600 && Get16(channel, context::ByteSize) == 8 &&
                      Get16(channel, context::StopBits) == 0 && Get16(channel, context::Parity) == 0,
                  "%s: stored line settings are %u/%u/%u/%u, expected 9600/8/0/0", when,
                  Get16(channel, context::BaudRate), Get16(channel, context::ByteSize),
                  Get16(channel, context::StopBits), Get16(channel, context::Parity));
    checks.Expect(Get16(channel, context::LineOptions) == 0x0200, "%s: stored LineOptions is 0x%04X, expected 0x0200",
                  when, Get16(channel, context::LineOptions));
}

// What the system reports for the driver's open handle.
void ExpectPortConfiguration(Checks& checks, HANDLE port, DWORD readTimeoutMs, const char* when) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (checks.Expect(GetCommState(port, &dcb) != 0, "%s: GetCommState on the driver's handle failed, error %lu", when,
                      static_cast<unsigned long>(GetLastError()))) {
        checks.Expect(dcb.BaudRate == 9600 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT,
                      "%s: line is %lu baud, %u data bits, parity %u, stop bits %u; expected 9600 8N1", when,
                      static_cast<unsigned long>(dcb.BaudRate), dcb.ByteSize, dcb.Parity, dcb.StopBits);
        checks.Expect(!dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow && !dcb.fOutX && !dcb.fInX,
                      "%s: flow control is on (CTS %u, DSR %u, XON/XOFF out %u in %u)", when, dcb.fOutxCtsFlow,
                      dcb.fOutxDsrFlow, dcb.fOutX, dcb.fInX);
        // Not checked: wine reads the DTR and RTS modes back from the modem
        // lines, and a pseudo-terminal has none, so it reports "enabled"
        // whatever was set.
        std::printf("  %s: DTR control reads %u, RTS control %u (wine cannot read a pty's modem lines)\n", when,
                    dcb.fDtrControl, dcb.fRtsControl);
    }
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0xEE, sizeof timeouts);
    if (checks.Expect(GetCommTimeouts(port, &timeouts) != 0, "%s: GetCommTimeouts failed, error %lu", when,
                      static_cast<unsigned long>(GetLastError()))) {
        checks.Expect(timeouts.ReadTotalTimeoutConstant == readTimeoutMs, "%s: read timeout is %lu ms, expected %lu",
                      when, static_cast<unsigned long>(timeouts.ReadTotalTimeoutConstant),
                      static_cast<unsigned long>(readTimeoutMs));
        checks.Expect(timeouts.ReadIntervalTimeout == 0 && timeouts.ReadTotalTimeoutMultiplier == 0 &&
                          timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0,
                      "%s: timeouts other than the read constant are %lu/%lu/%lu/%lu, expected all 0", when,
                      static_cast<unsigned long>(timeouts.ReadIntervalTimeout),
                      static_cast<unsigned long>(timeouts.ReadTotalTimeoutMultiplier),
                      static_cast<unsigned long>(timeouts.WriteTotalTimeoutMultiplier),
                      static_cast<unsigned long>(timeouts.WriteTotalTimeoutConstant));
    }
}

// Tries the serial calls on the open port and tells which ones the system
// refuses. Information only: the driver ignores the results of the RTS calls.
void ReportRefusedCalls(HANDLE port) {
    struct Outcome {
        const char* call;
        BOOL ok;
        DWORD error;
    };
    std::vector<Outcome> outcomes;
    auto note = [&](const char* call, BOOL ok) { outcomes.push_back({call, ok, ok ? 0 : GetLastError()}); };
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    note("GetCommState", GetCommState(port, &dcb));
    note("SetCommState", SetCommState(port, &dcb));
    COMMTIMEOUTS timeouts;
    note("GetCommTimeouts", GetCommTimeouts(port, &timeouts));
    note("SetCommTimeouts", SetCommTimeouts(port, &timeouts));
    note("SetupComm(1200, 1200)", SetupComm(port, 1200, 1200));
    DWORD errors = 0;
    COMSTAT status;
    note("ClearCommError", ClearCommError(port, &errors, &status));
    note("EscapeCommFunction(CLRRTS)", EscapeCommFunction(port, CLRRTS));
    note("EscapeCommFunction(SETRTS)", EscapeCommFunction(port, SETRTS));
    note("EscapeCommFunction(SETDTR)", EscapeCommFunction(port, SETDTR));
    note("EscapeCommFunction(CLRDTR)", EscapeCommFunction(port, CLRDTR));
    DWORD modem = 0;
    note("GetCommModemStatus", GetCommModemStatus(port, &modem));
    std::printf("serial calls on the driver's open port:\n");
    for (const Outcome& outcome : outcomes) {
        if (outcome.ok)
            std::printf("  %-28s ok\n", outcome.call);
        else
            std::printf("  %-28s refused, error %lu\n", outcome.call, static_cast<unsigned long>(outcome.error));
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    Checks checks;
    if (argc != 2 || std::strlen(argv[1]) > 11) {
        std::printf("usage: %s PORTNAME (at most 11 characters)\n", argv[0]);
        return 2;
    }
    const char* portName = argv[1];

    Driver driver;
    if (!driver.Load(checks)) return checks.Finish();
    HMODULE korvan = GetModuleHandleA("KORVAN.dll");
    if (!checks.Expect(korvan != nullptr, "KORVAN.dll is not loaded beside zultrk.dll")) return checks.Finish();
    auto setSink = reinterpret_cast<SetSinkFunction>(
        reinterpret_cast<void*>(GetProcAddress(korvan, "korvan_set_sink")));
    if (!checks.Expect(setSink != nullptr, "KORVAN.dll has no korvan_set_sink")) return checks.Finish();
    setSink(CaptureLine, nullptr);

    // The host's storage: a fresh context (null handle) and the request.
    unsigned char channel[context::Size];
    std::memset(channel, 0, sizeof channel);
    unsigned char start[coldstart::Size];
    std::memset(start, 0, sizeof start);
    std::memcpy(start + coldstart::PortName, portName, std::strlen(portName) + 1);
    Put32(start, coldstart::ActiveFlag, 1);
    Put32(start, coldstart::ResponseTimeout, 100);
    Put16(start, coldstart::BaudRate, 9600);
    Put16(start, coldstart::ByteSize, 8);
    Put16(start, coldstart::StopBits, 0);
    Put16(start, coldstart::Parity, 0);
    unsigned char startCopy[coldstart::Size];
    std::memcpy(startCopy, start, sizeof start);

    unsigned char record[request::Size];
    auto prepare = [&](std::int32_t code, void* params) {
        std::memset(record, 0, sizeof record);
        PutPointer(record, request::Channel, channel);
        Put32(record, request::Code, static_cast<std::uint32_t>(code));
        Put32(record, request::ChannelNumber, ChannelNumber);
        Put32(record, request::HostWord, 0xC0FFEE11u);
        PutPointer(record, request::Params, params);
    };
    auto recordUnchanged = [&](std::int32_t code, void* params) {
        return Get32(record, request::Code) == static_cast<std::uint32_t>(code) &&
               Get32(record, request::ChannelNumber) == static_cast<std::uint32_t>(ChannelNumber) &&
               Get32(record, request::HostWord) == 0xC0FFEE11u &&
               GetText(record, request::Params) == static_cast<const char*>(params) &&
               GetText(record, request::Channel) == reinterpret_cast<const char*>(channel);
    };
    auto run = [&](std::int32_t code, void* params, const char* what) {
        prepare(code, params);
        std::printf("%s (code %ld)\n", what, static_cast<long>(code));
        std::fflush(stdout);
        DWORD began = GetTickCount();
        std::int32_t result = driver.Call(checks, record, what);
        std::printf("  result %ld after %lu ms\n", static_cast<long>(result),
                    static_cast<unsigned long>(GetTickCount() - began));
        checks.Expect(recordUnchanged(code, params), "%s changed the request record", what);
        return result;
    };
    const std::string prefix = "ZUL01: TRK: ";

    // ColdStart: opens, sets the timeout, wakes the panel, asks its version.
    std::size_t mark = logLines.size();
    std::int32_t result = run(ColdStartCode, start, "ColdStart");
    checks.ExpectEq32(static_cast<std::uint32_t>(result), 0, "ColdStart result");
    HANDLE port = PortHandleOf(channel);
    checks.Expect(port != nullptr && port != INVALID_HANDLE_VALUE, "ColdStart stored no usable PortHandle (0x%08lX)",
                  static_cast<unsigned long>(
                      static_cast<std::uint32_t>(GetPointerValue(channel, context::PortHandle))));
    checks.ExpectEq32(Get32(channel, context::ResponseTimeout), 100, "stored ResponseTimeout");
    checks.ExpectEq32(Get32(channel, context::ActiveFlag), 1, "ActiveFlag after ColdStart");
    // StartByte and the byte after it hold the link's state, which ColdStart
    // clears before its handshake: in step, and the delay it learned there.
    const std::uint32_t link = channel[context::StartByte] | channel[context::StartByte + 1] << 8;
    checks.ExpectEq32(link & 0x8000, 0, "in step after ColdStart");
    checks.Expect((link & 0x7FFF) < 1000, "a learned delay below the read timeout (%lu ms)",
                  static_cast<unsigned long>(link & 0x7FFF));
    ExpectStoredSettings(checks, channel, portName, "after ColdStart");
    checks.Expect(std::memcmp(start, startCopy, sizeof start) == 0, "ColdStart changed its parameter block");
    ExpectLog(checks, mark,
              {{Level32, prefix + "TRACKER Ver.ID = 0xF5h"},
               {Level32, prefix + "ColdStart(): TRK Driver loaded successfully"}},
              "ColdStart");
    if (port != nullptr && port != INVALID_HANDLE_VALUE) {
        ExpectPortConfiguration(checks, port, 1000, "after ColdStart");
        ReportRefusedCalls(port);
    }
    unsigned char afterStart[context::Size];
    std::memcpy(afterStart, channel, sizeof channel);

    // WarmStart: drains and repeats the handshake on the open port.
    mark = logLines.size();
    result = run(WarmStartCode, nullptr, "WarmStart");
    checks.ExpectEq32(static_cast<std::uint32_t>(result), 0, "WarmStart result");
    checks.Expect(std::memcmp(channel, afterStart, sizeof channel) == 0, "WarmStart changed the channel context");
    ExpectLog(checks, mark,
              {{Level32, prefix + "TRACKER Ver.ID = 0xF5h"},
               {Level64, prefix + "WarmStart(): ended successfully rc = 0"}},
              "WarmStart");

    // ClosePort: releases the handle, keeps the settings and the flag.
    mark = logLines.size();
    result = run(ClosePortCode, nullptr, "ClosePort");
    checks.ExpectEq32(static_cast<std::uint32_t>(result), 0, "ClosePort result");
    checks.ExpectEq32(static_cast<std::uint32_t>(GetPointerValue(channel, context::PortHandle)), 0,
                      "PortHandle after ClosePort");
    checks.ExpectEq32(Get32(channel, context::ActiveFlag), 1, "ActiveFlag after ClosePort");
    checks.Expect(std::memcmp(channel + context::PortName, afterStart + context::PortName, 22) == 0 &&
                      Get32(channel, context::ResponseTimeout) == 100,
                  "ClosePort changed the stored settings or timeout");
    if (port != nullptr && port != INVALID_HANDLE_VALUE) {
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        checks.Expect(GetCommState(port, &dcb) == 0, "the handle that ClosePort released still answers");
    }
    ExpectLog(checks, mark, {}, "ClosePort");

    // ClosePort on the closed channel: nothing to do, success.
    unsigned char afterClose[context::Size];
    std::memcpy(afterClose, channel, sizeof channel);
    mark = logLines.size();
    result = run(ClosePortCode, nullptr, "ClosePort again");
    checks.ExpectEq32(static_cast<std::uint32_t>(result), 0, "second ClosePort result");
    checks.Expect(std::memcmp(channel, afterClose, sizeof channel) == 0, "a second ClosePort changed the context");
    ExpectLog(checks, mark, {}, "second ClosePort");

    // OpenPort: the stored settings again, with the open's own 1000 ms read timeout.
    mark = logLines.size();
    result = run(OpenPortCode, nullptr, "OpenPort");
    checks.ExpectEq32(static_cast<std::uint32_t>(result), 0, "OpenPort result");
    port = PortHandleOf(channel);
    checks.Expect(port != nullptr && port != INVALID_HANDLE_VALUE, "OpenPort stored no usable PortHandle");
    checks.ExpectEq32(Get32(channel, context::ActiveFlag), 1, "ActiveFlag after OpenPort");
    ExpectStoredSettings(checks, channel, portName, "after OpenPort");
    ExpectLog(checks, mark, {}, "OpenPort");
    if (port != nullptr && port != INVALID_HANDLE_VALUE) ExpectPortConfiguration(checks, port, 1000, "after OpenPort");

    // The reopened port carries a whole handshake.
    mark = logLines.size();
    result = run(WarmStartCode, nullptr, "WarmStart on the reopened port");
    checks.ExpectEq32(static_cast<std::uint32_t>(result), 0, "WarmStart result on the reopened port");
    ExpectLog(checks, mark,
              {{Level32, prefix + "TRACKER Ver.ID = 0xF5h"},
               {Level64, prefix + "WarmStart(): ended successfully rc = 0"}},
              "WarmStart on the reopened port");

    result = run(ClosePortCode, nullptr, "ClosePort at the end");
    checks.ExpectEq32(static_cast<std::uint32_t>(result), 0, "final ClosePort result");
    checks.ExpectEq32(static_cast<std::uint32_t>(GetPointerValue(channel, context::PortHandle)), 0,
                      "PortHandle after the final ClosePort");

    setSink(nullptr, nullptr);
    FreeLibrary(driver.module);
    return checks.Finish();
}
