#include "host/tool/ports.h"

namespace zulhost {

Roots Roots::FromEnvironment() { return Roots{}; }
Identity Identity::FromEnvironment() { return Identity{}; }
Inventory TakeInventory(const Roots&, const Identity&) { return Inventory{}; }
std::vector<std::string> AdviceFor(const std::string&, const Roots&, const Identity&) { return {}; }
std::string WhyOpenFailed(const std::string&, const Roots&, const Identity&) { return {}; }

// Windows hosts reach device servers through the vendors' virtual COM drivers.
void BoundDeviceServerConnects(const Options&) {}

int RunPorts(Report& report, const Options&) {
    return report.FailTool("ports: on Windows, Device Manager lists the COM ports (COM10 and above work as they are)",
                           ExitUnavailable);
}

} // namespace zulhost
