// Time values with their unit in their type: the host's timeouts count in
// units of 10 ms, the port's and every pause in milliseconds.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/win32_api.h"

using TenMs = std::chrono::duration<std::int32_t, std::centi>;
using std::chrono::milliseconds;

// The platform's Sleep, for a pause whose unit is known.
inline void Pause(milliseconds pause) { Sleep(static_cast<DWORD>(pause.count())); }
