#include "host/client/driver_log.h"

#include <cstdio>
#include <cstring>

namespace zulclient {

std::optional<unsigned> PanelIdIn(const std::string& line) {
    static const char Marker[] = "TRACKER Ver.ID = 0x";
    const char* at = std::strstr(line.c_str(), Marker);
    unsigned id = 0;
    if (at != nullptr && std::sscanf(at + sizeof Marker - 1, "%x", &id) == 1) return id;
    return std::nullopt;
}

std::optional<int> HandshakeFailureIn(const std::string& line) {
    static const char Marker[] = "ColdStart(): Fail rc = ";
    const char* at = std::strstr(line.c_str(), Marker);
    int rc = 0;
    if (at != nullptr && std::sscanf(at + sizeof Marker - 1, "%d", &rc) == 1) return rc;
    return std::nullopt;
}

bool PortFailureIn(const std::string& line) {
    return line.find("SendStr(): rc = 7") != std::string::npos || line.find("RecvStr(): rc = 7") != std::string::npos;
}

} // namespace zulclient
