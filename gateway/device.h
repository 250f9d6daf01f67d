// The device behind a port name, found as the driver finds it (a path, a
// ports-folder entry, /dev/NAME) without opening it: whether it exists, and
// which device it is, so that a device that went away and came back behind
// the same name (a USB adapter plugged in again, a new pseudo-terminal
// behind a link) is told from the one the port was opened on.
#pragma once

#include <sys/types.h>

#include <string>

namespace zulgate {

struct DeviceIdentity {
    bool present = false;
    std::string path; // what the name resolves to
    dev_t device = 0; // of the node, following links
    ino_t inode = 0;
    dev_t rdev = 0;
    bool Same(const DeviceIdentity& other) const {
        return present && other.present && device == other.device && inode == other.inode && rdev == other.rdev;
    }
};

DeviceIdentity LookUpDevice(const std::string& portName);

// Whether two port names lead to one device: the same node, or two nodes of
// the same device; for names whose device is not there now, the same path
// once "." and ".." and the links of its folders are resolved.
bool OnePort(const DeviceIdentity& a, const DeviceIdentity& b);

} // namespace zulgate
