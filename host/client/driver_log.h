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

} // namespace zulclient
