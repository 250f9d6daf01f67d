// A port on a serial device server, reached over TCP: the connection, the
// Telnet session of an RFC 2217 server, and the line's received bytes as
// they wait to be read. It does what a serial port does, with the same
// results: a read waits as the port's timeouts say, a refused or
// unreachable server is a failed open, and a connection that drops is a
// device that vanished (every later read and write fails, until the port is
// opened again). No allocation, no threads: fixed buffers, and the kernel's
// socket buffer behind them, which TCP's flow control keeps bounded.
#pragma once

#include <cstdint>

#include "platform/linux/network_url.h"
#include "platform/linux/telnet_codec.h"
#include "platform/win32_api.h"

// The longest an open waits for the connection and the server's answer to
// the negotiation together.
constexpr std::int64_t LongestSocketOpenWaitNs = 3000000000; // 3 s
// The wait in force: shorter when the host asks for it in $ZULTRK_CONNECT_MS
// (whole milliseconds, 1 to 3000; hosts give their response timeout there,
// since a port is opened before the driver learns it); else the longest.
std::int64_t SocketOpenWaitNs();

struct SocketPort {
    int fd = -1;
    NetworkUrl url;
    char name[64] = {};   // the URL as given, for the log
    bool telnet = false;  // the stream is Telnet's: IAC doubled, commands among the data
    bool comPort = false; // the server takes line settings and RTS (COM-PORT-CONTROL agreed)
    bool lost = false;    // the connection has dropped
    telnet::Session session;
    std::uint8_t in[2048] = {}; // received line bytes, not yet read
    std::uint16_t inStart = 0, inEnd = 0;
};

// Connects (TCP_NODELAY, keep-alive) and, for rfc2217://, negotiates; at
// most SocketOpenWaitNs() in all. A server that refuses COM-PORT-CONTROL, or
// does not answer the negotiation, is used without line settings, and the
// host's log gets one line saying so. False, with nothing left open, when
// the server cannot be reached.
bool OpenSocketPort(SocketPort& port, const char* url);
void CloseSocketPort(SocketPort& port);

// Same server and port.
bool SameServer(const NetworkUrl& a, const NetworkUrl& b);

// The line bytes that wait; false when the connection has dropped and
// none are left.
bool SocketInQueue(SocketPort& port, DWORD& waiting);
// As ReadFile: false when the connection has dropped (got holds the bytes
// read before that).
bool SocketRead(SocketPort& port, const COMMTIMEOUTS& timeouts, std::uint8_t* out, DWORD toRead, DWORD& got);
// Hands the bytes to the connection, by the deadline (monotonic ns). On an
// RFC 2217 server the server's receive buffer is purged first: the driver
// drains its input before every write, and what the server holds of the
// line at that moment is as stale as what the driver drained.
bool SocketWrite(SocketPort& port, const std::uint8_t* bytes, DWORD count, DWORD& done, std::int64_t deadline);
// The line's speed and format, the flow control (none) and DTR and RTS as
// the DCB says; false for a format no serial line has. Sent to an RFC 2217
// server; a raw server keeps its own settings.
bool SocketSetLine(SocketPort& port, const DCB& dcb);
// RTS or DTR raised or dropped (SETRTS, CLRRTS, SETDTR, CLRDTR); false where
// the server takes no control commands.
bool SocketModemLine(SocketPort& port, DWORD function);
