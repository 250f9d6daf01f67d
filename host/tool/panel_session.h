// One session with the panel, as every panel command makes it: the built-in
// panel started when no --port is given, a ColdStart of channel 1 with the
// line settings, the handshake's outcome read from the log, and a ClosePort
// at the end (also when the command fails).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/tool/builtin_panel.h"
#include "host/tool/command_line.h"
#include "host/tool/host_client.h"
#include "host/tool/output.h"

namespace zulhost {

class PanelSession {
public:
    PanelSession(DriverClient& client, Report& report, const Options& options);
    ~PanelSession(); // closes the port if it is still open

    // GetInfo for the defaults, the panel, ColdStart. 0, or the exit status
    // after the failure has been reported under subject.
    int Open(const std::string& subject);
    // ClosePort; 0, or the exit status after reporting.
    int Close(const std::string& subject);

    const std::string& PortName() const { return portName_; }
    std::optional<unsigned> PanelId() const { return panelId_; }
    const BuiltInPanel* Panel() const { return panel_.get(); }
    const LineSettings& Line() const { return line_; }

private:
    DriverClient& client_;
    Report& report_;
    const Options& options_;
    std::unique_ptr<BuiltInPanel> panel_;
    std::string portName_;
    LineSettings line_;
    std::optional<unsigned> panelId_;
};

// "0xF5" for an identifier.
std::string PanelIdText(unsigned id);

} // namespace zulhost
