// The operations of the request table; each takes the host's request and
// returns its own result, 0 for success.
#pragma once

#include <cstdint>

#include "driver/zultrk.h"
#include "panel/address.h"
#include "panel/points.h"

// The result of a table slot that holds no operation.
constexpr std::int32_t NoSuchRequest = -1;

std::int32_t GetInfo(DriverRequest* request);

std::int32_t ColdStart(DriverRequest* request);
std::int32_t WarmStart(DriverRequest* request);
std::int32_t ClosePort(DriverRequest* request);
std::int32_t OpenPort(DriverRequest* request);
std::int32_t ReopenPort(DriverRequest* request);
