// The built-in panel: the panel simulator serving a pseudo-terminal inside
// the tool's own process, seeded with the demonstration memory, so that the
// tool runs with no hardware. builtin_panel_sim.cpp has it;
// builtin_panel_none.cpp stands in where there is no simulator (Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zulhost {

struct PanelSetup {
    bool trace = false;
    std::function<void(const std::string&)> traceSink; // called from the panel's thread
    std::string pcapPath;                              // a capture of the line, when not empty
};

class BuiltInPanel {
public:
    virtual ~BuiltInPanel() = default;
    virtual const std::string& DevicePath() const = 0;
    virtual std::vector<std::uint8_t> Bytes(std::uint32_t address, std::size_t count) const = 0;
};

// Null with a message in *error when there is none or it cannot start.
std::unique_ptr<BuiltInPanel> StartBuiltInPanel(const PanelSetup& setup, std::string* error);

} // namespace zulhost
