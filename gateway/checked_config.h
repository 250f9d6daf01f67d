// A configuration as a run (and --check) takes it: the file, each panel's
// point list read and made its map with the driver's CheckAddress, and its
// line settings. Made in gateway.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/config.h"
#include "gateway/diagnostics.h"
#include "gateway/point_map.h"
#include "host/client/driver_client.h"

namespace zulgate {

// Everything the configuration says, checked.
struct CheckedConfig {
    GatewayConfig config;
    std::vector<PanelMap> maps;                 // by panel
    std::vector<zulclient::LineSettings> lines; // by panel, GetInfo's defaults where the file is silent
    std::vector<std::string> pointLists;        // by panel, the text as read
    std::uint32_t digest = 0;                   // of the configuration's and the point lists' texts, as read
};

// One panel's point list (its text as read, or null when it could not be
// read) into its map, and its line settings: for each panel of a run or a
// --check, and in a panel's worker for its own.
void CheckPanel(const GatewayConfig& config, const PanelConfig& panel, const std::string* pointsText,
                const AddressChecker& check, const DriverInfo& info, PanelMap& map, zulclient::LineSettings& line,
                Diagnostics& diagnostics);

// Reads the file and every point list, checking each address through the
// driver's CheckAddress (entry: the loaded driver; no port is opened).
bool CheckConfiguration(const GatewayConfig& config, ZulMainFunction entry, CheckedConfig& checked,
                        Diagnostics& diagnostics);

} // namespace zulgate
