#include "gateway/device.h"

#include <sys/stat.h>

#include "platform/linux/port_names.h"

namespace zulgate {

DeviceIdentity LookUpDevice(const std::string& portName) {
    DeviceIdentity id;
    ResolvedPortName resolved = ResolvePortName(portName.c_str());
    if (resolved.kind == PortNameKind::Invalid) return id;
    id.path = resolved.path;
    struct stat st {};
    if (stat(resolved.path, &st) != 0) return id;
    id.present = true;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.rdev = st.st_rdev;
    return id;
}

} // namespace zulgate
