// A port reached over the network instead of a serial device: a device
// server's TCP port, named as serial libraries name it, "tcp://HOST:PORT"
// (the bytes as they are) or "rfc2217://HOST:PORT" (Telnet with the
// COM-PORT-CONTROL option, which carries the line settings and RTS). HOST
// is an IPv4 or an IPv6 address literal, the latter in brackets
// ("[fd00::7]"), so that opening a port never waits on a name lookup.
// No allocation: the driver's termios backend parses these.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

enum class NetworkTransport {
    RawTcp,  // tcp://
    Rfc2217, // rfc2217://
};

struct NetworkUrl {
    NetworkTransport transport = NetworkTransport::RawTcp;
    sockaddr_storage address{};
    socklen_t addressLength = 0;
    unsigned short port = 0;
};

// Whether the text begins like a network port ("tcp://" or "rfc2217://",
// in any case): such a name is never a path, even when it is malformed.
bool LooksLikeNetworkUrl(const char* text);

// False when the text is not exactly SCHEME://ADDRESS:PORT with an address
// literal and a port of 1 to 65535.
bool ParseNetworkUrl(const char* text, NetworkUrl& url);
