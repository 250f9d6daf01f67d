#include "platform/linux/port_names.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* PortsFolder() {
    const char* folder = std::getenv("ZULTRK_PORTS");
    return folder && *folder ? folder : "/etc/zultrk/ports";
}

ResolvedPortName ResolvePortName(const char* name) {
    ResolvedPortName r;
    if (name == nullptr) return r;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (*name == '\0') return r;
    if (strcasecmp(name, "NUL") == 0) {
        r.kind = PortNameKind::Null;
        std::snprintf(r.path, sizeof r.path, "/dev/null");
        return r;
    }
    if (std::strchr(name, '/') != nullptr) {
        if (std::snprintf(r.path, sizeof r.path, "%s", name) >= static_cast<int>(sizeof r.path)) return r;
        r.kind = PortNameKind::Path;
        return r;
    }
    // An entry that exists is the answer even when it points nowhere: a
    // broken entry must not quietly open another device of that name.
    int n = std::snprintf(r.path, sizeof r.path, "%s/%s", PortsFolder(), name);
    struct stat entry;
    if (n > 0 && n < static_cast<int>(sizeof r.path) && lstat(r.path, &entry) == 0) {
        r.kind = PortNameKind::PortsFolder;
        return r;
    }
    if (std::snprintf(r.path, sizeof r.path, "/dev/%s", name) >= static_cast<int>(sizeof r.path)) return r;
    r.kind = PortNameKind::DevFolder;
    return r;
}

const char* PortNameKindText(PortNameKind kind) {
    switch (kind) {
    case PortNameKind::Null:
        return "the null device";
    case PortNameKind::Path:
        return "a path";
    case PortNameKind::PortsFolder:
        return "a ports-folder entry";
    case PortNameKind::DevFolder:
        return "a device in /dev";
    case PortNameKind::Invalid:
        return "no device";
    }
    return "no device";
}
