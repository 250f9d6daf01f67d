// Device loss under wine: a Windows host program that loads zultrk.dll,
// starts a channel on a COM port that wine maps to the simulator's link,
// and goes on reading while wine_loss.sh kills the simulator (its end of
// the pty closes). The reads in flight and after must fail with a non-zero
// result in bounded time; once the script has started a new simulator
// behind the same link, ClosePort and OpenPort, and ReopenPort, must bring
// the channel back.
//
//   wine_loss_check.exe PORT SYNCDIR
//
// SYNCDIR (a Windows path, Z:\... under wine) holds the files by which the
// program and the script take turns: the program makes "armed" when it
// starts reading and "lost" once it has seen the loss; the script makes
// "back" when a new simulator is there.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/zultrk.h"

namespace {

using MainFn = std::int32_t(__stdcall*)(DriverRequest*);
using SinkFn = void (*)(void (*)(int, const char*, void*), void*);

MainFn zulMain = nullptr;
std::string lastLine, lines;
int failed = 0;

void Sink(int, const char* line, void*) {
    lastLine = line;
    lines += std::string("    ") + line + "\n";
}

void Check(bool ok, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs(ok ? "ok: " : "FAIL: ", stdout);
    std::vprintf(format, args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    va_end(args);
    if (!ok) ++failed;
}

ChannelContext channel;
double lastMs = 0;

std::int32_t Call(std::int32_t code, void* params) {
    DriverRequest r;
    std::memset(&r, 0, sizeof r);
    r.Channel = &channel;
    r.Code = code;
    r.ChannelNumber = 4;
    r.Params = params;
    lines.clear();
    LARGE_INTEGER f, a, b;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&a);
    std::int32_t rc = zulMain(&r);
    QueryPerformanceCounter(&b);
    lastMs = 1000.0 * static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
    return rc;
}

std::uint8_t slots[2][4];

std::int32_t ReadWords() {
    std::memset(slots, 0xEE, sizeof slots);
    PointRequest p;
    std::memset(&p, 0, sizeof p);
    p.TypeLetter = 'W';
    p.PointAddress = 0x003000;
    p.BitNumber = 255;
    p.ElementCount = 2;
    p.ValueBuffer = slots;
    return Call(BlockReadCode, &p);
}

bool ReadsRight() {
    return ReadWords() == 0 && slots[0][2] == 0x34 && slots[0][3] == 0x12 && slots[1][2] == 0x78 && slots[1][3] == 0x56;
}

void Touch(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

bool WaitFor(const std::string& path, DWORD ms) {
    for (DWORD waited = 0; waited < ms; waited += 50) {
        if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        Sleep(50);
    }
    return false;
}

// Bounds, as in the native loss test: an exchange 1550 ms, the handshake
// 5 (350 + 6 R) ms + an exchange, with R = 200 ms after ColdStart (response
// timeout 20), 1000 ms after OpenPort; 10 % and 250 ms of slack.
constexpr double Exchange = 1550;
double Handshake(double r) { return 5 * (350 + 6 * r) + Exchange; }
double Slack(double ms) { return ms * 1.1 + 250; }

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::puts("usage: wine_loss_check PORT SYNCDIR");
        return 2;
    }
    const std::string port = argv[1], sync = std::string(argv[2]) + "\\";
    HMODULE korvan = LoadLibraryA("KORVAN.dll");
    HMODULE driver = LoadLibraryA("zultrk.dll");
    if (!korvan || !driver) {
        std::puts("FAIL: cannot load zultrk.dll and KORVAN.dll");
        return 1;
    }
    zulMain = reinterpret_cast<MainFn>(reinterpret_cast<void*>(GetProcAddress(driver, "ZulMain")));
    auto setSink = reinterpret_cast<SinkFn>(reinterpret_cast<void*>(GetProcAddress(korvan, "korvan_set_sink")));
    if (!zulMain || !setSink) {
        std::puts("FAIL: no ZulMain or korvan_set_sink");
        return 1;
    }
    setSink(&Sink, nullptr);

    ColdStartParams cs;
    std::memset(&cs, 0, sizeof cs);
    std::snprintf(cs.PortName, sizeof cs.PortName, "%s", port.c_str());
    cs.ActiveFlag = 1;
    cs.ResponseTimeout = 20;
    cs.BaudRate = 9600;
    cs.ByteSize = 8;
    std::memset(&channel, 0, sizeof channel);
    Check(Call(ColdStartCode, &cs) == 0 && channel.PortHandle != nullptr, "ColdStart on %s", port.c_str());
    Check(lastLine.find("TRK Driver loaded successfully") != std::string::npos, "handshake: %s", lastLine.c_str());
    bool right = ReadsRight();
    Check(right, "a read before the loss: %.0f ms", lastMs);

    // Read until the line goes; the script kills the simulator meanwhile.
    Touch(sync + "armed");
    int good = 0;
    std::int32_t rc = 0;
    for (int i = 0; i < 400 && (rc = ReadWords()) == 0; ++i) ++good;
    Check(rc != 0, "the read in flight at the loss failed with %d after %d good reads", rc, good);
    Check(lastMs < Slack(Exchange + Handshake(200)), "  in %.0f ms (bound %.0f); last line: %s", lastMs,
          Exchange + Handshake(200), lastLine.c_str());

    std::printf("%s", lines.c_str());
    std::printf("note: the loss %s\n", lines.find("ERROR RecvStr(): rc = 2") != std::string::npos
                                           ? "came while a receive waited for its reply"
                                           : "came between exchanges");
    rc = ReadWords();
    Check(rc != 0 && lastMs < Slack(Exchange + Handshake(200)), "a read after the loss: %d in %.0f ms", rc, lastMs);
    std::printf("%s", lines.c_str());
    std::uint8_t values[1][4] = {{0, 0, 0x42, 0}};
    PointRequest w;
    std::memset(&w, 0, sizeof w);
    w.TypeLetter = 'W';
    w.PointAddress = 0x003004;
    w.BitNumber = 255;
    w.ElementCount = 1;
    w.ValueBuffer = values;
    rc = Call(BlockWriteCode, &w);
    Check(rc != 0 && lastMs < Slack(Exchange), "a write after the loss: %d in %.0f ms", rc, lastMs);
    rc = Call(WarmStartCode, nullptr);
    Check(rc != 0 && lastMs < Slack(100 + Handshake(200)), "WarmStart after the loss: %d in %.0f ms", rc, lastMs);
    std::printf("%s", lines.c_str());

    rc = Call(ClosePortCode, nullptr);
    Check(rc == 0 && channel.PortHandle == nullptr, "ClosePort of the lost port: %d", rc);
    rc = Call(OpenPortCode, nullptr);
    bool reopenedEarly = rc == 0;
    std::printf("note: OpenPort with no peer behind the link: %d in %.0f ms\n", rc, lastMs);
    if (reopenedEarly) {
        rc = ReadWords();
        Check(rc != 0, "a read on a port opened with no peer fails: %d in %.0f ms", rc, lastMs);
        Call(ClosePortCode, nullptr);
    }

    Touch(sync + "lost");
    if (!WaitFor(sync + "back", 30000)) {
        Check(false, "the script did not bring a simulator back");
        return 1;
    }
    rc = Call(OpenPortCode, nullptr);
    Check(rc == 0 && channel.PortHandle != nullptr, "OpenPort with a new peer: %d in %.0f ms", rc, lastMs);
    right = ReadsRight();
    Check(right, "a read after OpenPort: %.0f ms", lastMs);

    ReopenParams rp;
    std::memset(&rp, 0, sizeof rp);
    std::snprintf(rp.PortName, sizeof rp.PortName, "%s", port.c_str());
    rp.BaudRate = 9600;
    rp.ByteSize = 8;
    Call(ClosePortCode, nullptr);
    rc = Call(ReopenPortCode, &rp);
    Check(rc == 0 && channel.PortHandle != nullptr, "ReopenPort: %d", rc);
    right = ReadsRight();
    Check(right, "a read after ReopenPort: %.0f ms", lastMs);
    Call(ClosePortCode, nullptr);

    std::printf("%d failed\n", failed);
    return failed == 0 ? 0 : 1;
}
