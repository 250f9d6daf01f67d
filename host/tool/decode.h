// zulhost decode: a capture of the panel's line, frame by frame.
#pragma once

#include <nlohmann/json.hpp>

#include "host/tool/command_line.h"
#include "host/tool/output.h"
#include "trace/line_decoder.h"

namespace zulhost {

int RunDecode(Report& report, const Options& options);

nlohmann::json ItemJson(const zultrace::Item& item, double origin);

} // namespace zulhost
