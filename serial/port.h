// Serial port access: open and configure the device, change its read
// timeout, drain its input, raw writes and reads, close. Thin synchronous
// layers over the platform calls; none of them logs.
#pragma once

#include <cstdint>

#include "platform/win32_api.h"
#include "serial/line_settings.h"
#include "serial/port_result.h"
#include "serial/time_units.h"

constexpr milliseconds OpenReadTimeout{1000};
constexpr TenMs DrainReadTimeout{5};
// The longest read timeout a port is given, whatever the host asks for: a
// silent panel then holds the wake-up handshake for at most
// 5 x (200 ms + 6 x 60 s + 150 ms), about 30 minutes.
constexpr milliseconds MaxReadTimeout{60000};
constexpr std::uint32_t PortQueueSize = 1200;

// The name the platform is given for a port name: the name itself, except
// that COM followed by a number of 10 or more, in any case, goes through the
// Win32 device namespace (\\.\COM12); "NUL" and every other name unchanged.
constexpr int PlatformPortNameSize = 4 + 11 + 1;
void PlatformPortName(const char* name, char (&out)[PlatformPortNameSize]);

// Opens the named device and sets its line; on anything but Ok the handle
// is not usable (and nothing stays open).
PortResult OpenComm(const char* name, const LineSettings& line, HANDLE& handle);
PortResult CloseComm(HANDLE handle);
// Returns the previous read timeout, or 0 on failure.
TenMs SetReadTimeout(HANDLE handle, TenMs timeout);
// The port's total read timeout as it is set now; 0 when it cannot be read.
milliseconds ReadTimeout(HANDLE handle);
PortResult FlushInput(HANDLE handle);
PortResult WriteComm(HANDLE handle, const void* bytes, std::uint32_t count, std::uint32_t* written);
PortResult ReadComm(HANDLE handle, void* destination, std::uint32_t count, std::uint32_t* gathered);

// For the length of a scope, reads wait at most `wait` in all (the port's
// total read timeout), so that a one-byte read returns as soon as a byte
// arrives and after `wait` otherwise; the timeouts are put back as they
// were when the scope ends. Inactive where the port has no timeouts (the
// null device) or refuses them: nothing is changed then.
class ReadWaitScope {
public:
    ReadWaitScope(HANDLE port, milliseconds wait);
    ~ReadWaitScope();
    ReadWaitScope(const ReadWaitScope&) = delete;
    ReadWaitScope& operator=(const ReadWaitScope&) = delete;
    bool Active() const { return active_; }

private:
    HANDLE port_;
    COMMTIMEOUTS saved_{};
    bool active_ = false;
    bool changed_ = false;
};

// The DCB control modes that a LineOptions word selects.
DWORD DtrControlFor(std::uint16_t lineOptions);
DWORD RtsControlFor(std::uint16_t lineOptions);
