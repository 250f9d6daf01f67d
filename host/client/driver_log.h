// The driver's log lines, caught through the host library's sink: the lines
// of each call go back with its result (on the thread that made the call),
// and a host may also watch every line as it comes (to show it at once).
// The one place that reads the driver's log text: a start's handshake
// result and the panel's identifier, which the driver says only there.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/client/driver_result.h"

namespace zulclient {

// Catches the lines the driver logs on this thread while it lives.
class CallLines {
public:
    CallLines();
    ~CallLines();
    CallLines(const CallLines&) = delete;
    CallLines& operator=(const CallLines&) = delete;

    std::vector<DriverLine> Take();

private:
    std::vector<DriverLine> lines_;
    std::vector<DriverLine>* outer_;
};

// Called for every line the driver logs, on the thread that logs it, also
// outside a client's calls; null for none.
using LineWatcher = void (*)(const DriverLine& line, void* context);
void WatchDriverLines(LineWatcher watcher, void* context);

// What a cold start's lines say.
std::optional<unsigned> PanelIdIn(const std::vector<DriverLine>& lines);
std::optional<std::int32_t> HandshakeFailureIn(const std::vector<DriverLine>& lines);
// Whether the lines tell of a port that failed under a request: a write or
// a read the port refused ("SendStr(): rc = 7", "RecvStr(): rc = 7"), as on
// a device that vanished or a device server's connection that dropped; not
// a panel that merely did not answer.
bool PortFailureIn(const std::vector<DriverLine>& lines);

} // namespace zulclient
