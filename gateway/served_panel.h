// A panel as the front ends serve it: its index in the store, its Modbus
// unit, its name, its point map, and how long a client waits for a write.
#pragma once

#include <cstddef>
#include <string>

#include "gateway/config.h"
#include "gateway/point_map.h"

namespace zulgate {

struct ServedPanel {
    std::size_t index = 0;
    int unit = 0;
    std::string name;
    const PanelMap* map = nullptr;
    Milliseconds writeTimeout{5000};
};

} // namespace zulgate
