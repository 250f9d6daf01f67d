// The subcommands, each given the driver, the report and the options, and
// each returning the process exit status. The demo is in demo.h.
#pragma once

#include <optional>
#include <string>

#include "host/tool/command_line.h"
#include "host/tool/host_client.h"
#include "host/tool/log_capture.h"
#include "host/tool/output.h"

namespace zulhost {

int RunInfo(DriverClient& client, Report& report);
int RunCheck(DriverClient& client, Report& report, const Options& options);
int RunRead(DriverClient& client, Report& report, const Options& options);
int RunWrite(DriverClient& client, Report& report, const Options& options);
int RunPoll(DriverClient& client, Report& report, LogCapture& log, const Options& options);
int RunStart(DriverClient& client, Report& report, const Options& options);

// The address text through CheckAddress (host data type 7), as the host
// fills a PointRequest from it. On refusal reports under subject and sets
// *status.
std::optional<Point> LookUpPoint(DriverClient& client, Report& report, const std::string& subject,
                                 const std::string& text, int* status);

// Why CheckAddress refused: the address form, or its letter and bit for the type.
std::string RefusalReason(const AddressCheck& check, std::int32_t hostDataType, bool syntaxOnly);

// The values of a read as JSON (numbers; D as seconds) and display text.
nlohmann::json ValuesJson(const Point& point, const std::vector<Slot>& slots);
// Element i of a block: the point i elements further on.
Point Element(const Point& first, std::size_t i);

} // namespace zulhost
