// A Windows host against a panel whose late replies hold back every later
// one, through the real DLL: reads of two blocks whose replies look alike
// and writes of changing values to a third, read back. A read that succeeds
// must have its own block's values; a write reported good must be what the
// next good read of its block finds (or a later write's, that failed and may
// have landed all the same).
//
//   in_step_check.exe PORT [REQUESTS [TIMEOUT]]   (60 requests, 50 = 0.5 s)
//
// The simulator holds 11 11 12 12 at 001000 and 21 21 22 22 at 002000.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "driver/zultrk.h"

namespace {

using MainFn = std::int32_t(__stdcall*)(DriverRequest*);
using SinkFn = void (*)(void (*)(int, const char*, void*), void*);

MainFn zulMain = nullptr;
ChannelContext channel;

void Quiet(int, const char*, void*) {}

std::int32_t Call(std::int32_t code, void* params) {
    DriverRequest r;
    std::memset(&r, 0, sizeof r);
    r.Channel = &channel;
    r.Code = code;
    r.ChannelNumber = 3;
    r.Params = params;
    return zulMain(&r);
}

std::int32_t Transfer(std::int32_t code, std::uint32_t address, std::int32_t count, std::uint8_t (*slots)[4]) {
    PointRequest p;
    std::memset(&p, 0, sizeof p);
    p.TypeLetter = 'W';
    p.PointAddress = static_cast<std::int32_t>(address);
    p.BitNumber = NoBit;
    p.ElementCount = count;
    p.ValueBuffer = slots;
    return Call(code, &p);
}

unsigned Word(const std::uint8_t* slot) { return slot[2] | slot[3] << 8; }

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: %s PORT [REQUESTS [TIMEOUT]]\n", argv[0]);
        return 2;
    }
    const int requests = argc > 2 ? std::atoi(argv[2]) : 60;
    const int timeout = argc > 3 ? std::atoi(argv[3]) : 50;
    HMODULE driver = LoadLibraryA("zultrk.dll");
    HMODULE korvan = GetModuleHandleA("KORVAN.dll");
    if (!driver || !korvan) {
        std::printf("FAIL: zultrk.dll or KORVAN.dll not loaded\n");
        return 1;
    }
    zulMain = reinterpret_cast<MainFn>(reinterpret_cast<void*>(GetProcAddress(driver, "ZulMain")));
    auto setSink = reinterpret_cast<SinkFn>(reinterpret_cast<void*>(GetProcAddress(korvan, "korvan_set_sink")));
    if (!zulMain || !setSink) {
        std::printf("FAIL: ZulMain or korvan_set_sink missing\n");
        return 1;
    }
    setSink(Quiet, nullptr);

    std::memset(&channel, 0, sizeof channel);
    ColdStartParams start;
    std::memset(&start, 0, sizeof start);
    std::strncpy(start.PortName, argv[1], sizeof start.PortName - 1);
    start.ActiveFlag = 1;
    start.ResponseTimeout = timeout;
    start.BaudRate = 9600;
    start.ByteSize = 8;
    Call(ColdStartCode, &start);

    int ok = 0, failed = 0, wrong = 0, lost = 0;
    std::set<unsigned> mayHold{0}; // what the written block may hold: the last good write, and failed ones since
    unsigned next = 0x3000;
    for (int i = 0; i < requests; ++i) {
        std::uint8_t slots[2][4];
        std::memset(slots, 0xEE, sizeof slots);
        std::int32_t rc;
        if (i % 4 == 3) {
            ++next;
            slots[0][2] = static_cast<std::uint8_t>(next & 0xFF);
            slots[0][3] = static_cast<std::uint8_t>(next >> 8);
            rc = Transfer(BlockWriteCode, 0x003000, 1, slots);
            if (rc == 0) mayHold.clear();
            mayHold.insert(next);
        } else if (i % 4 == 2) {
            rc = Transfer(BlockReadCode, 0x003000, 1, slots);
            if (rc == 0) {
                unsigned got = Word(slots[0]);
                if (mayHold.count(got) == 0) {
                    ++lost;
                    std::printf("FAIL: request %d: the written block holds %04X, no write that may have landed\n", i,
                                got);
                }
                mayHold = {got};
            }
        } else {
            std::uint32_t address = i % 4 == 0 ? 0x001000 : 0x002000;
            rc = Transfer(BlockReadCode, address, 2, slots);
            unsigned high = address == 0x001000 ? 0x11 : 0x21;
            if (rc == 0 && (Word(slots[0]) != high * 0x101 || Word(slots[1]) != (high + 1) * 0x101)) {
                ++wrong;
                std::printf("FAIL: request %d: %06X read %04X %04X, another request's reply\n", i,
                            static_cast<unsigned>(address), Word(slots[0]), Word(slots[1]));
            }
        }
        (rc == 0 ? ok : failed) += 1;
    }
    Call(ClosePortCode, nullptr);
    std::printf("in step: %d requests, %d ok, %d failed, %d wrong values, %d lost writes\n", requests, ok, failed,
                wrong, lost);
    if (ok < requests / 4) std::printf("FAIL: too few requests succeeded to count\n");
    return wrong == 0 && lost == 0 && ok >= requests / 4 ? 0 : 1;
}
