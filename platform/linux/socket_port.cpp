#include "platform/linux/socket_port.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host_log.h"
#include "platform/linux/read_wait.h"

namespace {

// A peer that vanished without closing (a cable pulled, a server powered
// off) is found out by keep-alive while idle and by the user timeout while
// data waits unacknowledged: then the connection counts as dropped.
constexpr int KeepIdleS = 10, KeepIntervalS = 5, KeepCount = 3;
constexpr unsigned UserTimeoutMs = 15000;

enum class Pull { Data, Commands, Empty, Lost };

constexpr std::int64_t CloseWaitNs = 200000000; // 200 ms for the server's FIN

void SetOptions(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &KeepIdleS, sizeof KeepIdleS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &KeepIntervalS, sizeof KeepIntervalS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &KeepCount, sizeof KeepCount);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &UserTimeoutMs, sizeof UserTimeoutMs);
}

bool Connect(int fd, const NetworkUrl& url, std::int64_t deadline) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&url.address), url.addressLength) == 0) return true;
    if (errno != EINPROGRESS && errno != EINTR) return false;
    for (;;) {
        std::int64_t left = deadline - NowNs();
        if (left <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        int n = poll(&p, 1, PollMs(left));
        if (n < 0 && errno != EINTR) return false;
        if (n > 0) break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// Sends all of it by the deadline; a failure drops the connection for good.
bool SendAll(SocketPort& port, const std::uint8_t* bytes, std::size_t count, std::int64_t deadline) {
    std::size_t sent = 0;
    while (sent < count) {
        if (port.lost) return false;
        ssize_t n = send(port.fd, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            std::int64_t left = deadline - NowNs();
            if (left <= 0) return false; // stalled, not gone: the connection stays
            pollfd p{port.fd, POLLOUT, 0};
            if (poll(&p, 1, PollMs(left)) < 0 && errno != EINTR) return false;
            continue;
        }
        port.lost = true;
        return false;
    }
    return true;
}

// Answers that the server's negotiation called for go out at once; they
// are a few bytes, so a short wait is all they may take.
void SendReplies(SocketPort& port) {
    std::uint8_t replies[sizeof port.session.replies];
    std::size_t n = telnet::TakeReplies(port.session, replies, sizeof replies);
    if (n > 0) SendAll(port, replies, n, NowNs() + 1000000000);
}

// One receive from the connection into the line's bytes, as far as there
// is room for them.
Pull PullOnce(SocketPort& port) {
    if (port.lost) return Pull::Lost;
    if (port.inStart == port.inEnd) port.inStart = port.inEnd = 0;
    if (port.inEnd == sizeof port.in && port.inStart > 0) {
        std::memmove(port.in, port.in + port.inStart, port.inEnd - port.inStart);
        port.inEnd = static_cast<std::uint16_t>(port.inEnd - port.inStart);
        port.inStart = 0;
    }
    std::size_t room = sizeof port.in - port.inEnd;
    if (room == 0) return Pull::Empty; // full: the kernel keeps the rest
    std::uint8_t raw[sizeof port.in];
    ssize_t n = recv(port.fd, raw, room, MSG_DONTWAIT);
    if (n == 0) {
        port.lost = true;
        return Pull::Lost;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Pull::Empty;
        if (errno == EINTR) return Pull::Commands;
        port.lost = true;
        return Pull::Lost;
    }
    std::size_t got = static_cast<std::size_t>(n);
    std::size_t data = got;
    if (port.telnet) {
        data = telnet::Receive(port.session, raw, got, port.in + port.inEnd, room);
        SendReplies(port);
    } else {
        std::memcpy(port.in + port.inEnd, raw, got);
    }
    port.inEnd = static_cast<std::uint16_t>(port.inEnd + data);
    return data > 0 ? Pull::Data : Pull::Commands;
}

// Everything the connection holds now, as far as there is room.
void PullAll(SocketPort& port) {
    for (;;) {
        Pull p = PullOnce(port);
        if (p == Pull::Empty || p == Pull::Lost) return;
        if (port.inEnd == sizeof port.in && port.inStart == 0) return;
    }
}

DWORD Waiting(const SocketPort& port) { return static_cast<DWORD>(port.inEnd - port.inStart); }

// Waits for the server to take or refuse COM-PORT-CONTROL and binary both
// ways, by the deadline: until binary is agreed a CR goes out as CR NUL, so
// no data may leave before the answer is known.
bool Unanswered(const telnet::Session& s) {
    return (s.comPort == telnet::OptionState::Asked && !s.comPortRefused) ||
           s.sendBinary == telnet::OptionState::Asked || s.receiveBinary == telnet::OptionState::Asked;
}

void AwaitNegotiation(SocketPort& port, std::int64_t deadline) {
    while (Unanswered(port.session) && !port.lost) {
        // Line bytes ahead of the answer are stale by the time the driver
        // writes; dropped, they cannot fill the buffer and stall the wait.
        if (port.inEnd == sizeof port.in) port.inStart = port.inEnd = 0;
        Pull p = PullOnce(port);
        if (p != Pull::Empty) continue;
        std::int64_t left = deadline - NowNs();
        if (left <= 0) return;
        pollfd poller{port.fd, POLLIN, 0};
        if (poll(&poller, 1, PollMs(left)) < 0 && errno != EINTR) return;
    }
}

bool Send(SocketPort& port, const std::uint8_t* bytes, std::size_t n) {
    return SendAll(port, bytes, n, NowNs() + 1000000000);
}

std::uint8_t ParityCode(BYTE parity) {
    switch (parity) {
    case ODDPARITY:
        return telnet::ParityOdd;
    case EVENPARITY:
        return telnet::ParityEven;
    case MARKPARITY:
        return telnet::ParityMark;
    case SPACEPARITY:
        return telnet::ParitySpace;
    default:
        return telnet::ParityNone;
    }
}

// The formats a UART has, as the serial backend takes them: 1.5 stop bits
// with 5 data bits only, 2 with 6 to 8.
bool FormatExists(const DCB& dcb) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY) return false;
    if (dcb.StopBits == ONE5STOPBITS) return dcb.ByteSize == 5;
    if (dcb.StopBits == TWOSTOPBITS) return dcb.ByteSize != 5;
    return dcb.StopBits == ONESTOPBIT;
}

} // namespace

bool SameServer(const NetworkUrl& a, const NetworkUrl& b) {
    return a.addressLength == b.addressLength && std::memcmp(&a.address, &b.address, a.addressLength) == 0;
}

std::int64_t SocketOpenWaitNs() {
    const char* text = std::getenv("ZULTRK_CONNECT_MS");
    if (text == nullptr || *text == '\0') return LongestSocketOpenWaitNs;
    char* end = nullptr;
    long ms = std::strtol(text, &end, 10);
    if (*end != '\0' || ms < 1 || ms > LongestSocketOpenWaitNs / 1000000) return LongestSocketOpenWaitNs;
    return static_cast<std::int64_t>(ms) * 1000000;
}

bool OpenSocketPort(SocketPort& port, const char* url) {
    port = SocketPort{};
    if (!ParseNetworkUrl(url, port.url)) return false;
    std::snprintf(port.name, sizeof port.name, "%s", url);
    const std::int64_t wait = SocketOpenWaitNs();
    const std::int64_t deadline = NowNs() + wait;
    int fd = socket(port.url.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    SetOptions(fd);
    if (!Connect(fd, port.url, deadline)) {
        close(fd);
        return false;
    }
    port.fd = fd;
    if (port.url.transport == NetworkTransport::RawTcp) return true;

    port.telnet = true;
    std::uint8_t offer[16];
    std::size_t n = telnet::Offer(port.session, true, offer, sizeof offer);
    if (!Send(port, offer, n)) {
        CloseSocketPort(port);
        return false;
    }
    AwaitNegotiation(port, deadline);
    if (port.lost) {
        CloseSocketPort(port);
        return false;
    }
    port.comPort = port.session.comPort == telnet::OptionState::Yes;
    if (port.comPort) return true;
    if (port.session.heardTelnet) {
        // A Telnet server without the option: its stream stays Telnet's.
        err(LogLevel32,
            "TRK: %s: the device server refused COM-PORT-CONTROL (RFC 2217): going on without line settings, "
            "as raw TCP",
            port.name);
    } else {
        // Not a Telnet server at all, by the look of it: bytes as they are.
        port.telnet = false;
        err(LogLevel32,
            "TRK: %s: no answer to the Telnet negotiation (RFC 2217) within %d ms: going on without line "
            "settings, as raw TCP",
            port.name, static_cast<int>(wait / 1000000));
    }
    return true;
}

// Closed as a peer that is done: our FIN, then what the server still sends
// is read and dropped until its own FIN, briefly. A socket closed with
// unread bytes resets the connection instead, and some device servers
// (ser2net 4.3) then refuse the port's next connection as "already in use".
void CloseSocketPort(SocketPort& port) {
    if (port.fd >= 0) {
        if (!port.lost && shutdown(port.fd, SHUT_WR) == 0) {
            const std::int64_t deadline = NowNs() + CloseWaitNs;
            std::uint8_t scratch[512];
            for (;;) {
                ssize_t n = recv(port.fd, scratch, sizeof scratch, MSG_DONTWAIT);
                if (n > 0 || (n < 0 && errno == EINTR)) continue;
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
                std::int64_t left = deadline - NowNs();
                if (left <= 0) break;
                pollfd p{port.fd, POLLIN, 0};
                if (poll(&p, 1, PollMs(left)) <= 0) break;
            }
        }
        close(port.fd);
    }
    port.fd = -1;
    port.lost = true;
}

bool SocketInQueue(SocketPort& port, DWORD& waiting) {
    PullAll(port);
    waiting = Waiting(port);
    return !(port.lost && waiting == 0);
}

bool SocketRead(SocketPort& port, const COMMTIMEOUTS& timeouts, std::uint8_t* out, DWORD toRead, DWORD& got) {
    ReadTimer timer(timeouts, toRead);
    got = 0;
    while (got < toRead) {
        DWORD take = Waiting(port);
        if (take > 0) {
            if (take > toRead - got) take = toRead - got;
            std::memcpy(out + got, port.in + port.inStart, take);
            port.inStart = static_cast<std::uint16_t>(port.inStart + take);
            got += take;
            timer.ByteCame();
            continue;
        }
        Pull p = PullOnce(port);
        if (p == Pull::Data || p == Pull::Commands) continue;
        if (p == Pull::Lost) return false;
        if (timer.Immediate()) break;
        std::int64_t wait = -1;
        if (!timer.NextWait(got, wait)) break;
        pollfd poller{port.fd, POLLIN, 0};
        if (poll(&poller, 1, wait < 0 ? -1 : PollMs(wait)) < 0 && errno != EINTR) return false;
    }
    return true;
}

bool SocketWrite(SocketPort& port, const std::uint8_t* bytes, DWORD count, DWORD& done, std::int64_t deadline) {
    done = 0;
    if (port.lost) return false;
    // Replies to negotiation that came in meanwhile go first.
    PullAll(port);
    std::uint8_t chunk[1024];
    std::size_t used = 0;
    if (port.comPort) used = telnet::ComPortByte(telnet::PurgeData, telnet::PurgeReceiveBuffer, chunk);
    while (done < count || used > 0) {
        std::size_t consumed = 0;
        if (port.telnet) {
            used += telnet::EncodeData(port.session, bytes + done, count - done, chunk + used, sizeof chunk - used,
                                       consumed);
        } else {
            consumed = count - done < sizeof chunk - used ? count - done : sizeof chunk - used;
            std::memcpy(chunk + used, bytes + done, consumed);
            used += consumed;
        }
        if (!SendAll(port, chunk, used, deadline)) return false;
        done += static_cast<DWORD>(consumed);
        used = 0;
    }
    return true;
}

bool SocketSetLine(SocketPort& port, const DCB& dcb) {
    if (!FormatExists(dcb) || port.lost) return false;
    if (!port.comPort) return true;
    std::uint8_t commands[14 * 8];
    std::size_t n = 0;
    n += telnet::ComPortBaud(dcb.BaudRate, commands + n);
    n += telnet::ComPortByte(telnet::SetDataSize, dcb.ByteSize, commands + n);
    n += telnet::ComPortByte(telnet::SetParity, ParityCode(dcb.Parity), commands + n);
    std::uint8_t stop = dcb.StopBits == TWOSTOPBITS    ? telnet::StopTwo
                        : dcb.StopBits == ONE5STOPBITS ? telnet::StopOneAndHalf
                                                       : telnet::StopOne;
    n += telnet::ComPortByte(telnet::SetStopSize, stop, commands + n);
    n += telnet::ComPortByte(telnet::SetControl, telnet::ControlNoFlow, commands + n);
    n += telnet::ComPortByte(telnet::SetControl, telnet::ControlInboundNoFlow, commands + n);
    // DTR and RTS held as the control modes say; handshake and toggle modes
    // hold the line raised, as a receiver with room always keeps it (the
    // server, not the driver, times what leaves its UART).
    n += telnet::ComPortByte(telnet::SetControl,
                             dcb.fDtrControl == DTR_CONTROL_DISABLE ? telnet::ControlDtrOff : telnet::ControlDtrOn,
                             commands + n);
    n += telnet::ComPortByte(telnet::SetControl,
                             dcb.fRtsControl == RTS_CONTROL_DISABLE ? telnet::ControlRtsOff : telnet::ControlRtsOn,
                             commands + n);
    return Send(port, commands, n);
}

bool SocketModemLine(SocketPort& port, DWORD function) {
    if (!port.comPort || port.lost) return false;
    std::uint8_t value;
    switch (function) {
    case SETRTS:
        value = telnet::ControlRtsOn;
        break;
    case CLRRTS:
        value = telnet::ControlRtsOff;
        break;
    case SETDTR:
        value = telnet::ControlDtrOn;
        break;
    case CLRDTR:
        value = telnet::ControlDtrOff;
        break;
    default:
        return false;
    }
    std::uint8_t command[14];
    return Send(port, command, telnet::ComPortByte(telnet::SetControl, value, command));
}
