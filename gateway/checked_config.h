// Everything the configuration says, checked: the file's settings, each
// panel's point map and its line settings (GetInfo's defaults where the
// file is silent). What every part of the gateway is built from.
#pragma once

#include <cstdint>
#include <vector>

#include "gateway/config.h"
#include "gateway/point_map.h"
#include "host/client/driver_client.h"

namespace zulgate {

struct CheckedConfig {
    GatewayConfig config;
    std::vector<PanelMap> maps;                 // by panel
    std::vector<zulclient::LineSettings> lines; // by panel
    std::uint32_t digest = 0;                   // of the configuration's and the point lists' texts, as read
};

} // namespace zulgate
