// The driver takes a port name of at most 11 characters, so a panel whose
// port is a device server's URL is reached through a ports-folder entry
// that links to it. zulgate makes these entries itself, in a folder of its
// own under /tmp (the service has a private /tmp, and may write nothing
// else), with every entry of the site's ports folder linked beside them,
// and points the driver there (ZULTRK_PORTS). The folder goes when zulgate
// does. Without URL ports nothing is made and nothing changes.
#pragma once

#include <string>
#include <vector>

#include "gateway/config.h"
#include "gateway/log.h"

namespace zulgate {

class PrivatePorts {
public:
    PrivatePorts(const std::vector<PanelConfig>& panels, Log& log);
    ~PrivatePorts();
    PrivatePorts(const PrivatePorts&) = delete;
    PrivatePorts& operator=(const PrivatePorts&) = delete;

    // The name the driver is given for panel i: its own port, or the entry
    // made for its URL.
    const std::string& NameFor(std::size_t panel) const { return names_[panel]; }
    const std::string& Folder() const { return folder_; } // empty when none was needed

private:
    std::string folder_;
    std::vector<std::string> names_;
};

} // namespace zulgate
