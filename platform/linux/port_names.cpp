#include "platform/linux/port_names.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/network_url.h"

namespace {

// Follows the links from a ports-folder entry, at most a few, and tells
// whether one of them points at a URL, which it copies into url.
bool LinksToUrl(const char* entry, char (&url)[PATH_MAX]) {
    char at[PATH_MAX];
    char target[PATH_MAX];
    if (std::snprintf(at, sizeof at, "%s", entry) >= static_cast<int>(sizeof at)) return false;
    for (int hop = 0; hop < 8; ++hop) {
        ssize_t n = readlink(at, target, sizeof target - 1);
        if (n <= 0) return false;
        target[n] = '\0';
        if (LooksLikeNetworkUrl(target)) {
            std::memcpy(url, target, static_cast<std::size_t>(n) + 1);
            return true;
        }
        if (target[0] == '/') {
            std::memcpy(at, target, static_cast<std::size_t>(n) + 1);
            continue;
        }
        // Relative to the folder of the link.
        const char* slash = std::strrchr(at, '/');
        int folder = slash ? static_cast<int>(slash - at) : 0;
        char next[PATH_MAX];
        if (std::snprintf(next, sizeof next, "%.*s%s%s", folder, at, slash ? "/" : "", target) >=
            static_cast<int>(sizeof next))
            return false;
        std::memcpy(at, next, sizeof at);
    }
    return false;
}

} // namespace

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
    if (LooksLikeNetworkUrl(name)) {
        if (std::snprintf(r.path, sizeof r.path, "%s", name) >= static_cast<int>(sizeof r.path)) return r;
        r.kind = PortNameKind::Network;
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
        r.kind = S_ISLNK(entry.st_mode) && LinksToUrl(r.path, r.path) ? PortNameKind::Network
                                                                      : PortNameKind::PortsFolder;
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
    case PortNameKind::Network:
        return "a device server";
    case PortNameKind::Invalid:
        return "no device";
    }
    return "no device";
}
