// Win32 serial calls over termios, for the native build of the driver.
//
// Handles: a HANDLE is the file descriptor plus one, so the null handle keeps
// meaning "no port" and INVALID_HANDLE_VALUE (-1) never names an open one.
// Each open handle owns a slot of a fixed table holding what termios cannot:
// the COMMTIMEOUTS and the DCB as last applied. A handle without a slot
// (never opened here, or already closed) fails every call, and its number is
// never passed to the kernel, so a stale handle cannot close someone else's
// descriptor.
//
// Descriptors stay non-blocking from the open on: reads and writes wait in
// poll(), which lets a read end at its timeout against a monotonic deadline.
//
// A device server's URL (port_names.h) opens a connection instead
// (socket_port.h): the same calls, the same results and waits.
#include <fcntl.h>
#include <linux/major.h>
#include <poll.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "platform/linux/line_speed.h"
#include "platform/linux/port_names.h"
#include "platform/linux/read_wait.h"
#include "platform/linux/socket_port.h"
#include "platform/win32_api.h"
#include "platform/line_time.h"

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

namespace {

enum class Kind : unsigned char {
    Free,    // slot unused
    Null,    // "NUL": swallows writes, reads nothing, has no serial state
    File,    // opened, but not a terminal: plain reads and writes only
    Serial,  // a terminal device: the full serial API
    Network, // a device server's port: the serial API over a connection
};

struct Slot {
    Kind kind;
    int fd;
    // A pty has no wire: it forces 8 bits and no parity bit whatever it is
    // told, so its character format is the one kept here.
    bool pty;
    COMMTIMEOUTS timeouts;
    DCB dcb;            // as last applied; the source of every field termios lacks
    SocketPort* socket; // Network: its connection, sockets[] of the same index
};

// More ports than any host configures; an open beyond it fails.
constexpr int MaxHandles = 16;
Slot slots[MaxHandles];
SocketPort sockets[MaxHandles];

Slot* SlotOf(HANDLE handle) {
    std::intptr_t value = reinterpret_cast<std::intptr_t>(handle);
    if (value <= 0 || value > INT_MAX) return nullptr;
    int fd = static_cast<int>(value - 1);
    for (Slot& slot : slots) {
        if (slot.kind != Kind::Free && slot.fd == fd) return &slot;
    }
    return nullptr;
}

// A port with line settings and timeouts: a serial device or a device server.
Slot* LineSlot(HANDLE handle) {
    Slot* slot = SlotOf(handle);
    return slot && (slot->kind == Kind::Serial || slot->kind == Kind::Network) ? slot : nullptr;
}

// A device server's port is one user's too: a second open of the same
// server and port fails, by whatever name it is reached.
bool ServerInUse(const char* url) {
    NetworkUrl wanted;
    if (!ParseNetworkUrl(url, wanted)) return false;
    for (const Slot& s : slots) {
        if (s.kind != Kind::Network || !SameServer(s.socket->url, wanted)) continue;
        // A connection that dropped holds nothing: the next start reconnects.
        DWORD waiting = 0;
        SocketInQueue(*s.socket, waiting);
        if (!s.socket->lost) return true;
    }
    return false;
}

// A new port's line as a serial device's starts: 9600 baud, 8 data bits,
// no parity, one stop bit, until the first SetCommState.
void DefaultLine(DCB& dcb) {
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
}

#ifdef CMSPAR
constexpr tcflag_t StickParity = CMSPAR;
#else
constexpr tcflag_t StickParity = 0; // no mark or space parity on this platform
#endif
#ifdef CRTSCTS
constexpr tcflag_t CtsFlow = CRTSCTS;
#else
constexpr tcflag_t CtsFlow = 0;
#endif
constexpr tcflag_t FormatBits = CSIZE | CSTOPB | PARENB | PARODD | StickParity | CtsFlow;

// Speed and character format of a DCB into a termios. False, leaving the
// termios unchanged, when the line cannot be set to it.
bool SetFormat(termios& tio, const DCB& dcb) {
    speed_t speed = SpeedCode(dcb.BaudRate);
    if (speed == B0) return false;

    tcflag_t size = 0;
    switch (dcb.ByteSize) {
    case 5:
        size = CS5;
        break;
    case 6:
        size = CS6;
        break;
    case 7:
        size = CS7;
        break;
    case 8:
        size = CS8;
        break;
    default:
        return false;
    }

    // CSTOPB is two stop bits, except with 5-bit characters where a UART
    // sends one and a half. So 1.5 is taken with 5 data bits only and 2 with
    // 6 to 8 only: the combinations Win32 accepts as well.
    tcflag_t stop = 0;
    switch (dcb.StopBits) {
    case ONESTOPBIT:
        break;
    case ONE5STOPBITS:
        if (dcb.ByteSize != 5) return false;
        stop = CSTOPB;
        break;
    case TWOSTOPBITS:
        if (dcb.ByteSize == 5) return false;
        stop = CSTOPB;
        break;
    default:
        return false;
    }

    // With CMSPAR the parity bit is constant: PARODD makes it 1 (mark).
    tcflag_t parity = 0;
    switch (dcb.Parity) {
    case NOPARITY:
        break;
    case ODDPARITY:
        parity = PARENB | PARODD;
        break;
    case EVENPARITY:
        parity = PARENB;
        break;
    case MARKPARITY:
        parity = PARENB | PARODD | StickParity;
        break;
    case SPACEPARITY:
        parity = PARENB | StickParity;
        break;
    default:
        return false;
    }
    if ((dcb.Parity == MARKPARITY || dcb.Parity == SPACEPARITY) && StickParity == 0) return false;

    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
    tio.c_cflag &= ~FormatBits;
    tio.c_cflag |= size | stop | parity;
    // Output held by CTS: the kernel pairs it with RTS as input flow control.
    if (dcb.fOutxCtsFlow) tio.c_cflag |= CtsFlow;
    return true;
}

// The line discipline of a Win32 port: every byte passes as it came, in
// both directions. INPCK stays off whatever fParity says, because with it
// the kernel drops, marks or zeroes a byte received with a parity or framing
// error (IGNPAR, PARMRK, or neither); Win32 with fErrorChar 0 hands such a
// byte over unchanged. A break is a line condition, not data (IGNBRK).
void MakeRaw(termios& tio, const DCB& dcb) {
    tio.c_iflag &= ~(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK |
                     IMAXBEL);
#ifdef IUCLC
    tio.c_iflag &= ~IUCLC;
#endif
#ifdef IUTF8
    tio.c_iflag &= ~IUTF8;
#endif
    tio.c_iflag |= IGNBRK;
    if (dcb.fOutX) tio.c_iflag |= IXON;
    if (dcb.fInX) tio.c_iflag |= IXOFF;
    tio.c_oflag = 0;
    tio.c_lflag = 0;
    // Modem status does not gate the port; the lines drop when it closes.
    tio.c_cflag |= CLOCAL | CREAD | HUPCL;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    // Reads never block (O_NONBLOCK) and wait in poll(). VMIN 1 keeps an
    // empty read an EAGAIN, so that a 0 means the far end has gone.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

// The fields of a DCB that termios holds, as the device has them.
void ReadFormat(const termios& tio, DCB& dcb) {
    dcb.BaudRate = static_cast<DWORD>(BaudOf(cfgetospeed(&tio)));
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if (!(tio.c_cflag & CSTOPB)) {
        dcb.StopBits = ONESTOPBIT;
    } else {
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    }
    bool odd = (tio.c_cflag & PARODD) != 0;
    if (!(tio.c_cflag & PARENB)) {
        dcb.Parity = NOPARITY;
    } else if (tio.c_cflag & StickParity) {
        dcb.Parity = odd ? MARKPARITY : SPACEPARITY;
    } else {
        dcb.Parity = odd ? ODDPARITY : EVENPARITY;
    }
    dcb.fOutxCtsFlow = (tio.c_cflag & CtsFlow) ? 1 : 0;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

bool IsPty(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned int m = major(st.st_rdev);
    return m == PTY_SLAVE_MAJOR || (m >= UNIX98_PTY_SLAVE_MAJOR && m < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT);
}

// tcsetattr succeeds once any part of a change was taken; a driver that
// cannot do a format (stick parity on some adapters) quietly leaves it out.
bool SameLine(const termios& a, const termios& b, bool pty) {
    tcflag_t format = pty ? FormatBits & ~(CSIZE | PARENB) : FormatBits;
    return cfgetospeed(&a) == cfgetospeed(&b) && cfgetispeed(&a) == cfgetispeed(&b) &&
           (a.c_cflag & format) == (b.c_cflag & format) && (a.c_iflag & (IXON | IXOFF)) == (b.c_iflag & (IXON | IXOFF));
}

bool ModemLine(int fd, int line, bool raise) { return ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &line) == 0; }

// Handshake modes map to a line held raised: Linux has no DTR flow control,
// and RTS flow control (CRTSCTS) would also hold output on CTS. A receiver
// that always has room keeps its handshake line up. Toggle rests low and is
// raised by WriteFile while it sends. A line that has no modem signals (a
// pty: ENOTTY) is no failure.
bool SetModemLines(int fd, const DCB& dcb) {
    bool dtr = dcb.fDtrControl != DTR_CONTROL_DISABLE;
    bool rts = dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (ModemLine(fd, TIOCM_DTR, dtr) && ModemLine(fd, TIOCM_RTS, rts)) return true;
    return errno == ENOTTY || errno == EINVAL;
}

// Waits for fd to become ready for `events`, at most waitNs (negative: no
// limit). False on a poll failure; `hangup` is set when the device reports
// it has gone, which the following read or write then confirms.
bool Wait(int fd, short events, std::int64_t waitNs, bool& hangup) {
    pollfd p{fd, events, 0};
    if (poll(&p, 1, waitNs < 0 ? -1 : PollMs(waitNs)) < 0) return errno == EINTR;
    if (p.revents & POLLNVAL) return false;
    if (p.revents & (POLLHUP | POLLERR)) hangup = true;
    return true;
}

// A read waits as the port's timeouts say (read_wait.h). The device going
// away ends the read with FALSE: a read of 0, EIO, or a hangup that leaves
// nothing to read.
BOOL TimedRead(const Slot& slot, std::uint8_t* out, DWORD toRead, DWORD& got) {
    ReadTimer timer(slot.timeouts, toRead);
    bool hangup = false;
    while (got < toRead) {
        ssize_t n = read(slot.fd, out + got, toRead - got);
        if (n > 0) {
            got += static_cast<DWORD>(n);
            timer.ByteCame();
            continue;
        }
        if (n == 0) return FALSE;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return FALSE;
        if (hangup) return FALSE;
        if (timer.Immediate()) break;
        std::int64_t wait = -1;
        if (!timer.NextWait(got, wait)) break;
        if (!Wait(slot.fd, POLLIN, wait, hangup)) return FALSE;
    }
    return TRUE;
}

// A write may take the bytes' own time on the line at the port's speed and
// format, plus this margin for the device and the system; a stalled adapter,
// or a pseudo-terminal whose far end has stopped reading, fails the write
// when it has passed instead of holding the caller for ever.
constexpr std::int64_t WriteMarginNs = 1000000000; // 1 s

std::int64_t LineTimeNs(const DCB& dcb, DWORD bytes) {
    return LineTime(CharacterFormat{dcb.BaudRate, dcb.ByteSize, dcb.StopBits, dcb.Parity}, bytes).count();
}

// Ends when all bytes are taken, on an error, or at the deadline.
bool WriteAll(int fd, const std::uint8_t* bytes, DWORD count, DWORD& done, std::int64_t deadline) {
    bool hangup = false;
    while (done < count) {
        ssize_t n = write(fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !hangup) {
            std::int64_t left = deadline - NowNs();
            if (left <= 0 || !Wait(fd, POLLOUT, left, hangup)) return false;
            continue;
        }
        return false;
    }
    return true;
}

// Waits until the output queue is empty (tcdrain with a deadline): the
// remaining bytes' line time at a time, at least a millisecond.
bool DrainOutput(int fd, const DCB& dcb, std::int64_t deadline) {
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) return false;
        if (queued <= 0) return true;
        std::int64_t left = deadline - NowNs();
        if (left <= 0) return false;
        std::int64_t nap = std::max<std::int64_t>(LineTimeNs(dcb, static_cast<DWORD>(queued)), 1000000);
        nap = std::min(nap, left);
        timespec ts{static_cast<time_t>(nap / 1000000000), static_cast<long>(nap % 1000000000)};
        nanosleep(&ts, nullptr);
    }
}

} // namespace

extern "C" {

// The share mode is not consulted: like a Win32 port, a serial device is
// always opened for one user only, whichever name reached it (the lock is
// the device's own). The name is resolved as port_names.h says; "NUL", in
// any case as on Win32, is the null device, which is not exclusive, so
// several channels may use it.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
    if (!name || disposition != OPEN_EXISTING) return INVALID_HANDLE_VALUE;
    Slot* slot = nullptr;
    for (Slot& s : slots) {
        if (s.kind == Kind::Free) {
            slot = &s;
            break;
        }
    }
    if (!slot) return INVALID_HANDLE_VALUE;

    int mode = O_RDWR;
    if ((access & (GENERIC_READ | GENERIC_WRITE)) == GENERIC_READ) mode = O_RDONLY;
    if ((access & (GENERIC_READ | GENERIC_WRITE)) == GENERIC_WRITE) mode = O_WRONLY;
    ResolvedPortName device = ResolvePortName(name);
    if (device.kind == PortNameKind::Invalid) return INVALID_HANDLE_VALUE;
    if (device.kind == PortNameKind::Network) {
        if (ServerInUse(device.path)) return INVALID_HANDLE_VALUE;
        SocketPort& socket = sockets[slot - slots];
        if (!OpenSocketPort(socket, device.path)) return INVALID_HANDLE_VALUE;
        std::memset(slot, 0, sizeof *slot);
        slot->kind = Kind::Network;
        slot->fd = socket.fd;
        slot->socket = &socket;
        slot->dcb.DCBlength = sizeof(DCB);
        slot->dcb.fBinary = 1;
        slot->dcb.fDtrControl = DTR_CONTROL_ENABLE;
        slot->dcb.fRtsControl = RTS_CONTROL_ENABLE;
        DefaultLine(slot->dcb);
        return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(socket.fd) + 1);
    }
    bool null = device.kind == PortNameKind::Null;
    // Non-blocking, so that the open does not wait for carrier.
    int fd = open(device.path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return INVALID_HANDLE_VALUE;

    Kind kind = null ? Kind::Null : isatty(fd) ? Kind::Serial : Kind::File;
    // flock keeps out a second open even by root, whom TIOCEXCL lets through;
    // TIOCEXCL also keeps out programs that do not take the lock.
    if (!null && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }

    std::memset(slot, 0, sizeof *slot);
    slot->kind = kind;
    slot->fd = fd;
    // Until the first SetCommState: the lines as a Linux open leaves them
    // (DTR and RTS raised), no flow control, and a binary line, since a Win32
    // port never translates characters. Timeouts all 0: reads wait for all.
    slot->dcb.DCBlength = sizeof(DCB);
    slot->dcb.fBinary = 1;
    slot->dcb.fDtrControl = DTR_CONTROL_ENABLE;
    slot->dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (kind == Kind::Serial) {
        ioctl(fd, TIOCEXCL);
        slot->pty = IsPty(fd);
        termios tio;
        if (tcgetattr(fd, &tio) == 0) {
            slot->dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
            slot->dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
            MakeRaw(tio, slot->dcb);
            tcsetattr(fd, TCSANOW, &tio);
            ReadFormat(tio, slot->dcb);
        }
    }
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1);
}

// Linux frees the descriptor even when close reports an error (as after the
// device was lost), so the handle is gone either way and the call succeeds.
BOOL CloseHandle(HANDLE handle) {
    Slot* slot = SlotOf(handle);
    if (!slot) return FALSE;
    int fd = slot->fd;
    if (slot->kind == Kind::Network) {
        CloseSocketPort(*slot->socket);
        slot->kind = Kind::Free;
        slot->fd = -1;
        return TRUE;
    }
    if (slot->kind == Kind::Serial) ioctl(fd, TIOCNXCL);
    slot->kind = Kind::Free;
    slot->fd = -1;
    close(fd);
    return TRUE;
}

BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    Slot* slot = LineSlot(handle);
    if (slot && dcb && slot->kind == Kind::Network) {
        *dcb = slot->dcb;
        return TRUE;
    }
    termios tio;
    if (!slot || !dcb || tcgetattr(slot->fd, &tio) != 0) return FALSE;
    DCB state = slot->dcb;
    ReadFormat(tio, state);
    if (slot->pty) {
        state.ByteSize = slot->dcb.ByteSize;
        state.Parity = slot->dcb.Parity;
        state.StopBits = slot->dcb.StopBits;
    }
    state.DCBlength = sizeof(DCB);
    *dcb = state;
    return TRUE;
}

// All or nothing for the line format: a DCB the line cannot take leaves the
// line as it was. fParity, fOutxDsrFlow, fDsrSensitivity, fTXContinueOnXoff,
// fErrorChar, fNull, fAbortOnError, the Xon/Xoff limits and the other
// characters have no termios counterpart: they are kept and reported back.
BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    Slot* slot = LineSlot(handle);
    if (slot && dcb && slot->kind == Kind::Network) {
        if (!SocketSetLine(*slot->socket, *dcb)) return FALSE;
        slot->dcb = *dcb;
        return TRUE;
    }
    termios before;
    if (!slot || !dcb || tcgetattr(slot->fd, &before) != 0) return FALSE;
    termios wanted = before;
    if (!SetFormat(wanted, *dcb)) return FALSE;
    MakeRaw(wanted, *dcb);
    // glibc calls it EINVAL when a pty drops the parity bit or size it was
    // given, though the rest was applied; the check below decides then.
    if (tcsetattr(slot->fd, TCSANOW, &wanted) != 0 && !(slot->pty && errno == EINVAL)) return FALSE;
    termios applied;
    if (tcgetattr(slot->fd, &applied) != 0 || !SameLine(applied, wanted, slot->pty)) {
        tcsetattr(slot->fd, TCSANOW, &before);
        return FALSE;
    }
    if (!SetModemLines(slot->fd, *dcb)) return FALSE;
    slot->dcb = *dcb;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    Slot* slot = LineSlot(handle);
    if (!slot || !timeouts) return FALSE;
    *timeouts = slot->timeouts;
    return TRUE;
}

// Write timeouts are kept and reported, but writes always run to the end.
BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    Slot* slot = LineSlot(handle);
    if (!slot || !timeouts) return FALSE;
    slot->timeouts = *timeouts;
    return TRUE;
}

// The queues are the kernel's (a 4 KiB line-discipline buffer at least, and
// the device driver's own); they cannot be sized, and need not be for 1200.
BOOL SetupComm(HANDLE handle, DWORD, DWORD) { return LineSlot(handle) ? TRUE : FALSE; }

// The tty layer keeps no line-error state for a reader to clear: parity and
// framing errors are dealt with byte by byte as MakeRaw chose. So nothing is
// cleared and no error is reported; the call is the input count (FIONREAD)
// and the output count (TIOCOUTQ).
BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat) {
    Slot* slot = LineSlot(handle);
    if (slot && slot->kind == Kind::Network) {
        DWORD waiting = 0;
        if (!SocketInQueue(*slot->socket, waiting)) return FALSE;
        if (errors) *errors = 0;
        if (stat) {
            std::memset(stat, 0, sizeof *stat);
            stat->cbInQue = waiting;
        }
        return TRUE;
    }
    int waiting = 0;
    if (!slot || ioctl(slot->fd, FIONREAD, &waiting) != 0) return FALSE;
    if (errors) *errors = 0;
    if (stat) {
        int queued = 0;
        if (ioctl(slot->fd, TIOCOUTQ, &queued) != 0) queued = 0;
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(waiting);
        stat->cbOutQue = static_cast<DWORD>(queued);
    }
    return TRUE;
}

// A line in a handshake or toggle mode is not the caller's to set, as on
// Win32. FALSE also where the device has no modem lines (a pty).
BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    Slot* slot = LineSlot(handle);
    if (!slot) return FALSE;
    bool network = slot->kind == Kind::Network;
    switch (function) {
    case SETRTS:
    case CLRRTS:
        if (slot->dcb.fRtsControl == RTS_CONTROL_HANDSHAKE || slot->dcb.fRtsControl == RTS_CONTROL_TOGGLE) return FALSE;
        if (network) return SocketModemLine(*slot->socket, function) ? TRUE : FALSE;
        return ModemLine(slot->fd, TIOCM_RTS, function == SETRTS) ? TRUE : FALSE;
    case SETDTR:
    case CLRDTR:
        if (slot->dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) return FALSE;
        if (network) return SocketModemLine(*slot->socket, function) ? TRUE : FALSE;
        return ModemLine(slot->fd, TIOCM_DTR, function == SETDTR) ? TRUE : FALSE;
    default:
        return FALSE;
    }
}

// Synchronous only. On FALSE, *bytesRead still holds the bytes that arrived.
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
    if (bytesRead) *bytesRead = 0;
    Slot* slot = SlotOf(handle);
    if (!slot || overlapped || (!buffer && toRead)) return FALSE;
    DWORD got = 0;
    BOOL ok = TRUE;
    if (slot->kind == Kind::Serial) {
        ok = TimedRead(*slot, static_cast<std::uint8_t*>(buffer), toRead, got);
    } else if (slot->kind == Kind::Network) {
        ok = SocketRead(*slot->socket, slot->timeouts, static_cast<std::uint8_t*>(buffer), toRead, got) ? TRUE : FALSE;
    } else if (slot->kind == Kind::File && toRead > 0) {
        ssize_t n = ::read(slot->fd, buffer, toRead);
        if (n > 0) got = static_cast<DWORD>(n);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ok = FALSE;
    }
    if (bytesRead) *bytesRead = got;
    return ok;
}

// Returns once the bytes have left the line, as a synchronous Win32 write
// does, or fails at its deadline (WriteMarginNs above).
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    if (written) *written = 0;
    Slot* slot = SlotOf(handle);
    if (!slot || overlapped || (!buffer && toWrite)) return FALSE;
    if (slot->kind == Kind::Null) {
        if (written) *written = toWrite;
        return TRUE;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    DWORD done = 0;
    bool ok;
    const std::int64_t deadline = NowNs() + LineTimeNs(slot->dcb, toWrite) + WriteMarginNs;
    if (slot->kind == Kind::Serial) {
        bool toggle = slot->dcb.fRtsControl == RTS_CONTROL_TOGGLE;
        if (toggle) ModemLine(slot->fd, TIOCM_RTS, true);
        ok = WriteAll(slot->fd, bytes, toWrite, done, deadline) && DrainOutput(slot->fd, slot->dcb, deadline);
        if (toggle) ModemLine(slot->fd, TIOCM_RTS, false);
    } else if (slot->kind == Kind::Network) {
        // Taken by the connection, not yet on the line: the server paces it.
        ok = SocketWrite(*slot->socket, bytes, toWrite, done, deadline);
    } else {
        ok = WriteAll(slot->fd, bytes, toWrite, done, deadline);
    }
    if (written) *written = done;
    return ok ? TRUE : FALSE;
}

DWORD GetTickCount() { return static_cast<DWORD>(NowNs() / 1000000); }

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // extern "C"
