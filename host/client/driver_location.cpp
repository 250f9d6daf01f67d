#include "host/client/library_loader.h"

namespace zulclient {

DriverLocation FindDriver(const std::string& given, const std::string& buildTreeDriver,
                          const std::string& buildTreeFolder) {
    if (!given.empty()) return {given, false};
    std::string folder = ExecutableFolder();
    std::string beside = folder + DriverFileName();
    if (FileExists(beside)) return {beside, false};
    if (!buildTreeDriver.empty() && FileExists(buildTreeDriver) && SameFolder(folder, buildTreeFolder)) {
        return {buildTreeDriver, false};
    }
    return {InstalledDriverName(), true};
}

} // namespace zulclient
