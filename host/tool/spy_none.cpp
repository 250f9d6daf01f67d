#include "host/tool/spy.h"

namespace zulhost {

int RunSpy(Report& report, const Options&) {
    return report.FailTool("spy: needs pseudo-terminals, which this platform has not; run it on Linux",
                           ExitUnavailable);
}

bool Spy(const SpySetup&, const std::function<void(const std::string&)>&,
         const std::function<void(const std::string&)>&, const volatile bool*, SpyStats&, std::string* error) {
    if (error) *error = "no pseudo-terminals on this platform";
    return false;
}

} // namespace zulhost
