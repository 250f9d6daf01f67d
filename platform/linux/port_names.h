// Which device a port name opens on Linux. A host names its port in at most
// 11 characters ("COM5", "ttyUSB0"), so a name without a '/' is looked up:
// first as an entry of the ports folder ($ZULTRK_PORTS, else
// /etc/zultrk/ports), each entry a symbolic link to the real device, as wine
// keeps its dosdevices; then as /dev/NAME. A name with a '/' is a path and
// is used as given; "NUL", in any case, is the null device. The Win32
// device-namespace prefix \\.\ (which Windows needs for COM10 and above) is
// taken off first, so "\\.\COM12" finds the entry "COM12".
// A device server's port is a URL, "tcp://HOST:PORT" or "rfc2217://HOST:PORT"
// (network_url.h): given as the name, or as the target of a ports-folder
// entry (ln -s rfc2217://10.1.2.3:4001 /etc/zultrk/ports/COM7), also
// through a chain of links.
// No allocation: the tool shares this with the driver's termios backend.
#pragma once

#include <climits>
#include <cstddef>

enum class PortNameKind {
    Null,        // "NUL": /dev/null
    Path,        // contains '/': used as given
    PortsFolder, // an entry of the ports folder (which may point nowhere)
    DevFolder,   // /dev/NAME
    Network,     // a device server's URL, given or behind ports-folder entries
    Invalid,     // empty, or too long to resolve
};

struct ResolvedPortName {
    PortNameKind kind = PortNameKind::Invalid;
    char path[PATH_MAX] = {}; // what open() is given; the URL for Network
};

// The ports folder in force: $ZULTRK_PORTS when set and not empty, else
// /etc/zultrk/ports.
const char* PortsFolder();

ResolvedPortName ResolvePortName(const char* name);

const char* PortNameKindText(PortNameKind kind);
