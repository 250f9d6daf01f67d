// What a non-zero result of each request means: the shared host layer's
// words, under the names the tool uses; and the exit status for a result.
#pragma once

#include <cstdint>
#include <string>

#include "host/client/driver_result.h"

namespace zulhost {

using zulclient::Request;
using zulclient::RequestName;

inline std::string ResultMeaning(Request request, std::int32_t result) { return zulclient::Meaning(request, result); }

// The process exit status for a driver result: the result itself when it is
// 1..255, otherwise 1 (the message carries the real value).
int ExitStatusFor(std::int32_t result);

} // namespace zulhost
