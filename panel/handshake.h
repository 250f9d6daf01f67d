// Wake-up and version handshake with the panel.
#pragma once

#include <cstdint>

#include "driver/zul.h"

constexpr int WakeAttempts = 5;
constexpr int EnqReadsPerAttempt = 5;
constexpr DWORD AfterRtsPulseMs = 200;
constexpr DWORD BeforeAckReadMs = 50;

// The last identifier the panel gave and the driver accepted; 0 otherwise.
extern std::uint8_t PanelVersionId;

bool IsAcceptedVersionId(std::uint8_t id);

// 0 accepted; 1 identifier refused; 2 ENQ seen but no ACK; else the
// exchange's or the reply check's result.
int ConfigureAdapter(const DriverRequest& request);
