// The demonstration: get-info, cold start, address checks of each letter,
// a write and a read-back of each writable kind of point, a read of dates
// and a short poll; one line per step and a one-line summary. Exit 0 only
// when every step succeeded and every read-back matched.
#pragma once

#include "host/tool/command_line.h"
#include "host/tool/host_client.h"
#include "host/tool/output.h"

namespace zulhost {

int RunDemo(DriverClient& client, Report& report, const Options& options);

} // namespace zulhost
