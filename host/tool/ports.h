// The serial devices a user could name, found without opening any (an open
// resets another program's line settings): from /sys/class/tty, /dev,
// /dev/serial/by-id, /proc and the ports folder. The roots can be pointed at
// a fixture tree, for testing: ZULHOST_DEV_ROOT, ZULHOST_SYS_ROOT,
// ZULHOST_PROC_ROOT; ZULHOST_IDENTITY=UID:GID,GID,... judges permission for
// another user than the one running. Linux only (ports_none.cpp elsewhere).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/tool/command_line.h"
#include "host/tool/output.h"

namespace zulhost {

struct Roots {
    std::string dev = "/dev", sys = "/sys", proc = "/proc";
    std::string portsFolder; // the driver's: $ZULTRK_PORTS or /etc/zultrk/ports
    static Roots FromEnvironment();
};

// Who is asking: the user, and the groups they are in.
struct Identity {
    unsigned uid = 0;
    std::vector<unsigned> groups; // the primary group first
    std::string name;
    static Identity FromEnvironment();
};

struct Holder {
    int pid = 0;
    std::string command;
    bool lock = false; // holds a lock on it (else: has it open)
};

struct SerialDevice {
    std::string tty;                // ttyUSB0
    std::string path;               // /dev/ttyUSB0 (under the dev root)
    std::vector<std::string> names; // what a host can put in PortName: ports-folder entries, else the tty
    std::vector<std::string> byId;  // /dev/serial/by-id aliases
    std::string driver;             // the kernel driver
    std::string usbVendor, usbProduct, manufacturer, product, serial; // USB adapters
    int latencyTimerMs = -1;                                          // USB adapters that have one
    bool exists = true;                                               // the device node is there
    std::vector<Holder> holders;                                      // other processes that have it open or locked
    bool mayOpen = true;                                              // the identity may read and write it
    std::string group;                                                // the device's group
    std::string mode;                                                 // crw-rw----
    std::vector<std::string> warnings;
};

// A ports-folder entry that names a device server's port by its URL.
struct DeviceServerEntry {
    std::string name;     // the entry: what a host puts in PortName
    std::string url;      // tcp://... or rfc2217://...
    bool accepts = false; // a connection was accepted (and closed at once); tried by `zulhost ports` alone
    std::string why;      // when not
};

struct Inventory {
    std::vector<SerialDevice> devices;
    std::vector<DeviceServerEntry> deviceServers;
    std::vector<std::pair<std::string, std::string>> brokenEntries; // ports-folder entries that point nowhere
    bool modemManager = false;
};

// Device servers are listed without a connection: a server takes one at a
// time, and a look must not take it from the host that uses the port.
Inventory TakeInventory(const Roots& roots, const Identity& who);

// Advice on one name as the driver will open it: the warnings that apply to
// its device, and, after a failed open, why it failed.
std::vector<std::string> AdviceFor(const std::string& portName, const Roots& roots, const Identity& who);
std::string WhyOpenFailed(const std::string& portName, const Roots& roots, const Identity& who);

int RunPorts(Report& report, const Options& options);

// Has the driver connect to a device server no longer than a reply may take
// (--timeout), at most 3 s. Before the driver's first request.
void BoundDeviceServerConnects(const Options& options);

} // namespace zulhost
