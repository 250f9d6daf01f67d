// What a port name reaches, found as the driver finds it (a path, a
// ports-folder entry, /dev/NAME, or a device server's URL) without opening
// it, for the hosts here (zulhost, zulgate): whether a device is there and
// which one, so that a device that went away and came back behind the same
// name (a USB adapter plugged in again, a new pseudo-terminal behind a
// link) is told from the one the port was opened on; and whether a device
// server accepts a connection. Linux only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace zulclient {

enum class PortKind { Null, Path, PortsFolder, DevFolder, DeviceServer, Invalid };

struct DeviceIdentity {
    bool present = false;
    bool deviceServer = false; // a URL: present means only that it names one (see ProbeDeviceServer)
    std::string path;          // what the name resolves to: a device path or the URL
    dev_t device = 0;          // of the node, following links
    ino_t inode = 0;
    dev_t rdev = 0;
    bool Same(const DeviceIdentity& other) const {
        return present && other.present && deviceServer == other.deviceServer && path == other.path &&
               device == other.device && inode == other.inode && rdev == other.rdev;
    }
};

// A device server's port counts as present without a look: whether its
// server accepts a connection takes one (ProbeDeviceServer), and whether
// the driver's own connection still stands only the driver's requests tell.
DeviceIdentity LookUpDevice(const std::string& portName);

// Whether two port names lead to one device: the same node, or two nodes of
// the same device, or one device server's port; for names whose device is
// not there now, the same path once "." and ".." and the links of its
// folders are resolved.
bool OnePort(const DeviceIdentity& a, const DeviceIdentity& b);

PortKind KindOf(const std::string& portName);

// Whether a serial line here can run at this speed (the tty layer names
// it); a port opened at another is refused by the driver.
bool LineSpeedSupported(unsigned long baud);
const char* PortKindText(PortKind kind);

// The ports folder in force: $ZULTRK_PORTS when set and not empty, else
// /etc/zultrk/ports.
std::string PortsFolder();

// "tcp://..." or "rfc2217://..." in any case: meant as a device server's
// port, well-formed or not.
bool LooksLikeDeviceServer(const std::string& text);
// Exactly SCHEME://ADDRESS:PORT with an IPv4 or [IPv6] address literal and
// a port of 1 to 65535; else false and why.
bool CheckDeviceServerUrl(const std::string& url, std::string& why);

struct ServerAnswer {
    bool accepts = false;
    std::string why; // when it does not: refused, no answer within the wait, ...
};
// The longest the driver waits for a device server's connection.
constexpr std::chrono::milliseconds LongestDeviceServerConnect{3000};
// The longest a device server's connect may take for a host whose response
// timeout is this: the timeout (1 s for none), at most the longest.
std::chrono::milliseconds DeviceServerConnectWait(std::chrono::milliseconds responseTimeout);
// Has this process's driver connect to device servers within `wait`
// ($ZULTRK_CONNECT_MS): it opens a port before it learns the response
// timeout. Call while the process has one thread, before the first start.
void BoundDeviceServerConnects(std::chrono::milliseconds wait);

// Connects to the device server's port and closes the connection at once;
// at most `wait`.
ServerAnswer ProbeDeviceServer(const std::string& url, std::chrono::milliseconds wait);

} // namespace zulclient
