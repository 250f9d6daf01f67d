#include "host/tool/builtin_panel.h"

namespace zulhost {

std::unique_ptr<BuiltInPanel> StartBuiltInPanel(const PanelSetup&, std::string* error) {
    *error = "this build has no built-in panel: name the panel's serial port with --port";
    return nullptr;
}

} // namespace zulhost
