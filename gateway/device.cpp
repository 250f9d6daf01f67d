#include "gateway/device.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

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
    id.rdev = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? st.st_rdev : 0;
    return id;
}

bool OnePort(const DeviceIdentity& a, const DeviceIdentity& b) {
    if (a.present && b.present) return a.Same(b) || (a.rdev != 0 && a.rdev == b.rdev);
    if (a.path.empty() || b.path.empty()) return false;
    std::error_code error;
    std::filesystem::path x = std::filesystem::weakly_canonical(a.path, error);
    if (error) x = std::filesystem::path(a.path).lexically_normal();
    std::filesystem::path y = std::filesystem::weakly_canonical(b.path, error);
    if (error) y = std::filesystem::path(b.path).lexically_normal();
    return x == y;
}

} // namespace zulgate
