// Wake-up and version handshake with the panel.
#pragma once

#include <cstdint>

#include "link/exchange.h"
#include "panel/version_reply.h"
#include "serial/time_units.h"

constexpr int WakeAttempts = 5;
constexpr int EnqReadsPerAttempt = 5;
constexpr milliseconds AfterRtsPulse{200};
constexpr milliseconds BeforeAckRead{50};

// The last identifier the panel gave and the driver accepted; 0 otherwise.
// Module-wide, so that it can be read after the request that set it.
extern std::uint8_t PanelVersionId;

// HandshakeOk, VersionRefused or WakeNotAcknowledged (panel/results.h), or
// the number of the exchange's or the reply check's failure.
std::int32_t ConfigureAdapter(const LinkChannel& channel);
