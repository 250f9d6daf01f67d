// What the driver's log lines say that its results do not: a cold start
// succeeds with the port open even when the panel's handshake failed, and
// only its line tells the handshake's result and the panel's identifier.
#pragma once

#include <optional>
#include <string>

namespace zulclient {

// The identifier of a "TRACKER Ver.ID = 0x..h" line.
std::optional<unsigned> PanelIdIn(const std::string& line);
// The handshake's result in a "ColdStart(): Fail rc = N" line.
std::optional<int> HandshakeFailureIn(const std::string& line);
// Whether the line tells of a port that failed under a request: a write or
// a read the port refused ("SendStr(): rc = 7", "RecvStr(): rc = 7"), as on
// a device that vanished or a device server's connection that dropped; not
// a panel that merely did not answer.
bool PortFailureIn(const std::string& line);

} // namespace zulclient
