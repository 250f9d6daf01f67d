#include "serial/port.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// "COM" and a number of 10 or more, in any case: Windows opens such a port
// only through its device namespace, as \\.\COM10.
bool NeedsDeviceNamespace(const char* name) {
    if (std::strlen(name) < 5 || std::strncmp(name, "\\\\.\\", 4) == 0) return false;
    if (std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M')
        return false;
    const char* digits = name + 3;
    if (digits[0] == '0') return false;
    for (const char* d = digits; *d; ++d) {
        if (!std::isdigit(static_cast<unsigned char>(*d))) return false;
    }
    return std::strlen(digits) >= 2;
}

} // namespace

void PlatformPortName(const char* name, char (&out)[PlatformPortNameSize]) {
    int n = std::snprintf(out, sizeof out, NeedsDeviceNamespace(name) ? "\\\\.\\%s" : "%s", name);
    if (n < 0 || n >= static_cast<int>(sizeof out)) out[0] = '\0'; // never a shortened name: no device at all
}

DWORD DtrControlFor(std::uint16_t lineOptions) {
    if (lineOptions & 0x0101) return DTR_CONTROL_ENABLE;
    if (lineOptions & 0x8000) return DTR_CONTROL_HANDSHAKE;
    return DTR_CONTROL_DISABLE;
}

DWORD RtsControlFor(std::uint16_t lineOptions) {
    if (lineOptions & 0x0202) return RTS_CONTROL_ENABLE;
    if (lineOptions & 0x1000) return RTS_CONTROL_HANDSHAKE;
    if (lineOptions & 0x2000) return RTS_CONTROL_TOGGLE;
    return RTS_CONTROL_DISABLE;
}

PortResult OpenComm(const char* name, const LineSettings& line, HANDLE& handle) {
    char platformName[PlatformPortNameSize];
    PlatformPortName(name, platformName);
    handle = CreateFileA(platformName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
    if (handle == INVALID_HANDLE_VALUE) return PortResult::OpenFailed;
    // The null device takes no line configuration at all.
    if (std::strcmp(name, "NUL") == 0) return PortResult::Ok;

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return PortResult::StateUnreadable;
    }

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(OpenReadTimeout.count());
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(handle, &timeouts)) {
        CloseHandle(handle);
        return PortResult::TimeoutsRefused;
    }

    dcb.BaudRate = line.baudRate;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DtrControlFor(line.lineOptions);
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RtsControlFor(line.lineOptions);
    dcb.fAbortOnError = 0;
    dcb.ByteSize = line.byteSize;
    dcb.Parity = line.parity;
    dcb.StopBits = line.stopBits;
    dcb.ErrorChar = static_cast<char>(0xFC);
    if (!SetCommState(handle, &dcb)) {
        CloseHandle(handle);
        return PortResult::StateRefused;
    }

    SetupComm(handle, PortQueueSize, PortQueueSize); // a refusal does not fail the open
    return PortResult::Ok;
}

PortResult CloseComm(HANDLE handle) { return CloseHandle(handle) ? PortResult::Ok : PortResult::CallFailed; }

TenMs SetReadTimeout(HANDLE handle, TenMs timeout) {
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(handle, &timeouts)) return TenMs{0};
    DWORD previous = timeouts.ReadTotalTimeoutConstant;
    // The platform field is unsigned milliseconds: ten times a large or a
    // negative value would wrap (INT_MAX to 49.7 days, 429,496,730 to 4 ms),
    // so the port never gets more than MaxReadTimeout.
    std::int64_t ms = std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::milli>>(timeout).count();
    if (ms < 0 || ms > MaxReadTimeout.count()) ms = MaxReadTimeout.count();
    DWORD wanted = static_cast<DWORD>(ms);
    if (wanted != previous) {
        timeouts.ReadTotalTimeoutConstant = wanted;
        if (!SetCommTimeouts(handle, &timeouts)) return TenMs{0};
    }
    return TenMs{static_cast<std::int32_t>(previous) / 10};
}

milliseconds ReadTimeout(HANDLE handle) {
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(handle, &timeouts)) return milliseconds{0};
    return milliseconds(timeouts.ReadTotalTimeoutConstant);
}

PortResult FlushInput(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    bool cleared = ClearCommError(handle, &errors, &stat) != 0;
    if (cleared && stat.cbInQue == 0) return PortResult::Ok;

    constexpr DWORD ScratchSize = 512;
    TenMs previous = SetReadTimeout(handle, DrainReadTimeout);
    // A peer that streams without pause could keep every read full; the cap
    // (64 KiB) keeps the drain bounded on a line that never falls silent.
    constexpr int MaxDrainReads = 128;
    bool lastReadFailed = false;
    std::uint8_t scratch[ScratchSize];
    for (int reads = 0; reads < MaxDrainReads; ++reads) {
        DWORD got = 0;
        if (!ReadFile(handle, scratch, ScratchSize, &got, nullptr)) {
            lastReadFailed = true;
            break;
        }
        if (got != ScratchSize) break;
    }
    if (previous != TenMs{0}) SetReadTimeout(handle, previous);
    return lastReadFailed ? PortResult::DrainFailed : PortResult::Ok;
}

PortResult WriteComm(HANDLE handle, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    DWORD done = 0;
    if (!WriteFile(handle, bytes, count, &done, nullptr)) return PortResult::CallFailed;
    if (written) *written = done;
    return done == count ? PortResult::Ok : PortResult::ShortWrite;
}

PortResult ReadComm(HANDLE handle, void* destination, std::uint32_t count, std::uint32_t* gathered) {
    if (gathered) *gathered = 0;
    auto* out = static_cast<std::uint8_t*>(destination);
    std::uint32_t total = 0;
    while (total < count) {
        DWORD got = 0;
        DWORD ask = static_cast<std::uint16_t>(count - total);
        if (!ReadFile(handle, out + total, ask, &got, nullptr)) return PortResult::CallFailed;
        if (got == 0) return PortResult::NothingRead;
        total += got;
        if (gathered) *gathered = total;
    }
    return PortResult::Ok;
}

ReadWaitScope::ReadWaitScope(HANDLE port, milliseconds wait) : port_(port) {
    if (!GetCommTimeouts(port, &saved_)) return;
    COMMTIMEOUTS waiting{0, 0, static_cast<DWORD>(wait.count()), saved_.WriteTotalTimeoutMultiplier,
                         saved_.WriteTotalTimeoutConstant};
    bool same = saved_.ReadIntervalTimeout == 0 && saved_.ReadTotalTimeoutMultiplier == 0 &&
                saved_.ReadTotalTimeoutConstant == waiting.ReadTotalTimeoutConstant;
    if (!same && !SetCommTimeouts(port, &waiting)) return;
    changed_ = !same;
    active_ = true;
}

ReadWaitScope::~ReadWaitScope() {
    if (changed_) SetCommTimeouts(port_, &saved_);
}
