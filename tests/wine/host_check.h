// What a Windows host does with the driver, seen from outside: load
// zultrk.dll from the program's own folder (where a host keeps it beside
// KORVAN.dll), find ZulMain, lay out the host records byte by byte at their
// interface offsets, and call it. Deliberately independent of driver/zultrk.h,
// so a layout fault there shows up here instead of cancelling out.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace host {

// Offsets of the host records: the 32-bit layout that hosts share with the
// driver, and the natural layout of a 64-bit build of the same sources
// (8-byte pointers and handles), which this machine can run under wine64.
#if defined(_WIN64)
constexpr int PointerSize = 8;
namespace request { // DriverRequest, 32 bytes
constexpr int Size = 32, Channel = 0, Code = 8, ChannelNumber = 12, HostWord = 16, Params = 24;
}
namespace context { // ChannelContext, 48 bytes
constexpr int Size = 48, ResponseTimeout = 0, PortHandle = 8, ActiveFlag = 16, PortName = 20, BaudRate = 32,
              ByteSize = 34, StopBits = 36, Parity = 38, LineOptions = 40, StartByte = 42;
}
namespace info { // DriverInfo, 48 bytes
constexpr int Size = 48, Version = 0, DeviceName = 8, Banner = 16, ContextSize = 24, HostValueA = 28, BaudRate = 32,
              ByteSize = 34, StopBits = 36, Parity = 38, HostValueB = 40;
}
#else
constexpr int PointerSize = 4;
namespace request { // DriverRequest, 20 bytes
constexpr int Size = 20, Channel = 0, Code = 4, ChannelNumber = 8, HostWord = 12, Params = 16;
}
namespace context { // ChannelContext, 36 bytes
constexpr int Size = 36, ResponseTimeout = 0, PortHandle = 4, ActiveFlag = 8, PortName = 12, BaudRate = 24,
              ByteSize = 26, StopBits = 28, Parity = 30, LineOptions = 32, StartByte = 34;
}
namespace info { // DriverInfo, 32 bytes
constexpr int Size = 32, Version = 0, DeviceName = 4, Banner = 8, ContextSize = 12, HostValueA = 16, BaudRate = 20,
              ByteSize = 22, StopBits = 24, Parity = 26, HostValueB = 28;
}
#endif
namespace coldstart { // ColdStartParams, 28 bytes: no pointers, the same in both
constexpr int Size = 28, PortName = 0, ActiveFlag = 12, ResponseTimeout = 16, BaudRate = 20, ByteSize = 22,
              StopBits = 24, Parity = 26;
}

inline std::uint32_t Get32(const unsigned char* block, int offset) {
    std::uint32_t value;
    std::memcpy(&value, block + offset, 4);
    return value;
}
inline std::uint16_t Get16(const unsigned char* block, int offset) {
    std::uint16_t value;
    std::memcpy(&value, block + offset, 2);
    return value;
}
inline void Put32(unsigned char* block, int offset, std::uint32_t value) { std::memcpy(block + offset, &value, 4); }
inline void Put16(unsigned char* block, int offset, std::uint16_t value) { std::memcpy(block + offset, &value, 2); }
inline void PutPointer(unsigned char* block, int offset, const void* pointer) {
    static_assert(sizeof pointer == PointerSize, "the layout above is this build's");
    std::memcpy(block + offset, &pointer, PointerSize);
}
inline const char* GetText(const unsigned char* block, int offset) {
    const char* text;
    std::memcpy(&text, block + offset, PointerSize);
    return text;
}
inline std::uintptr_t GetPointerValue(const unsigned char* block, int offset) {
    std::uintptr_t value;
    std::memcpy(&value, block + offset, PointerSize);
    return value;
}

// Counts checks and prints each failure; Finish() prints the closing line.
class Checks {
public:
    bool Expect(bool ok, const char* format, ...) {
        if (ok) {
            ++passed_;
            return true;
        }
        ++failed_;
        std::va_list args;
        va_start(args, format);
        std::fputs("FAIL: ", stdout);
        std::vprintf(format, args);
        std::fputc('\n', stdout);
        va_end(args);
        std::fflush(stdout);
        return false;
    }
    bool ExpectEq32(std::uint32_t actual, std::uint32_t expected, const char* what) {
        return Expect(actual == expected, "%s is %lu (0x%08lX), expected %lu", what, static_cast<unsigned long>(actual),
                      static_cast<unsigned long>(actual), static_cast<unsigned long>(expected));
    }
    int Finish() {
        std::printf("%d passed, %d failed\n", passed_, failed_);
        std::fflush(stdout);
        return failed_ == 0 ? 0 : 1;
    }
    int Failed() const { return failed_; }

private:
    int passed_ = 0;
    int failed_ = 0;
};

// Calls a one-argument function the way a host calls ZulMain and reports
// how far the stack pointer moved: 0 for stdcall (the callee removed its
// 4-byte argument), -4 for a cdecl function. A callee that clobbers one of
// the registers it must preserve shows up as a nonsense distance too. A
// 64-bit Windows build has one calling convention, so there is nothing to
// probe: the call is made directly and the distance is 0.
#if defined(_WIN64)
inline int ZulProbeCall(FARPROC function, void* argument, int* stackDistance) {
    using Entry = std::int32_t (*)(void*);
    *stackDistance = 0;
    return reinterpret_cast<Entry>(reinterpret_cast<void*>(function))(argument);
}
#else
extern "C" int ZulProbeCall(FARPROC function, void* argument, int* stackDistance);
asm(".text\n"
    ".globl _ZulProbeCall\n"
    "_ZulProbeCall:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %ebx\n"
    "  pushl %esi\n"
    "  pushl %edi\n"
    "  movl %esp, %esi\n"
    "  pushl 12(%ebp)\n"
    "  call *8(%ebp)\n"
    "  movl %esp, %ecx\n"
    "  subl %esi, %ecx\n"
    "  movl 16(%ebp), %edx\n"
    "  movl %ecx, (%edx)\n"
    "  movl %esi, %esp\n"
    "  popl %edi\n"
    "  popl %esi\n"
    "  popl %ebx\n"
    "  popl %ebp\n"
    "  ret\n");
#endif

// The loaded driver and its entry point.
struct Driver {
    HMODULE module = nullptr;
    FARPROC zulMain = nullptr;

    // Loads zultrk.dll from the program's folder; KORVAN.dll is found there too.
    bool Load(Checks& checks) {
        module = LoadLibraryA("zultrk.dll");
        if (!checks.Expect(module != nullptr, "LoadLibrary(zultrk.dll) failed, error %lu",
                           static_cast<unsigned long>(GetLastError())))
            return false;
        zulMain = GetProcAddress(module, "ZulMain");
        return checks.Expect(zulMain != nullptr, "GetProcAddress(ZulMain) found nothing");
    }

    // One request; a wrong stack distance is a failed check of its own.
    std::int32_t Call(Checks& checks, unsigned char* requestRecord, const char* what) {
        int distance = 12345;
        std::int32_t result = ZulProbeCall(zulMain, requestRecord, &distance);
        checks.Expect(distance == 0, "%s: ZulMain left the stack %d bytes off (not stdcall with one argument?)", what,
                      distance);
        return result;
    }
};

} // namespace host
