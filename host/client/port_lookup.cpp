#include "host/client/port_lookup.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <cstring>

#include "platform/linux/line_speed.h"
#include "platform/linux/network_url.h"
#include "platform/linux/port_names.h"

namespace zulclient {

DeviceIdentity LookUpDevice(const std::string& portName) {
    DeviceIdentity id;
    ResolvedPortName resolved = ResolvePortName(portName.c_str());
    if (resolved.kind == PortNameKind::Invalid) return id;
    id.path = resolved.path;
    if (resolved.kind == PortNameKind::Network) {
        NetworkUrl url;
        id.deviceServer = true;
        id.present = ParseNetworkUrl(resolved.path, url);
        return id;
    }
    struct stat st {};
    if (stat(resolved.path, &st) != 0) return id;
    id.present = true;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    // Only a device node's rdev names a device; a file's is 0 or noise.
    id.rdev = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? st.st_rdev : 0;
    return id;
}

bool OnePort(const DeviceIdentity& a, const DeviceIdentity& b) {
    if (a.deviceServer || b.deviceServer) return a.deviceServer == b.deviceServer && a.path == b.path;
    if (a.present && b.present) return a.Same(b) || (a.rdev != 0 && a.rdev == b.rdev);
    if (a.path.empty() || b.path.empty()) return false;
    std::error_code error;
    std::filesystem::path x = std::filesystem::weakly_canonical(a.path, error);
    if (error) x = std::filesystem::path(a.path).lexically_normal();
    std::filesystem::path y = std::filesystem::weakly_canonical(b.path, error);
    if (error) y = std::filesystem::path(b.path).lexically_normal();
    return x == y;
}

PortKind KindOf(const std::string& portName) {
    switch (ResolvePortName(portName.c_str()).kind) {
    case PortNameKind::Null:
        return PortKind::Null;
    case PortNameKind::Path:
        return PortKind::Path;
    case PortNameKind::PortsFolder:
        return PortKind::PortsFolder;
    case PortNameKind::DevFolder:
        return PortKind::DevFolder;
    case PortNameKind::Network:
        return PortKind::DeviceServer;
    case PortNameKind::Invalid:
        break;
    }
    return PortKind::Invalid;
}

const char* PortKindText(PortKind kind) {
    switch (kind) {
    case PortKind::Null:
        return PortNameKindText(PortNameKind::Null);
    case PortKind::Path:
        return PortNameKindText(PortNameKind::Path);
    case PortKind::PortsFolder:
        return PortNameKindText(PortNameKind::PortsFolder);
    case PortKind::DevFolder:
        return PortNameKindText(PortNameKind::DevFolder);
    case PortKind::DeviceServer:
        return PortNameKindText(PortNameKind::Network);
    case PortKind::Invalid:
        break;
    }
    return PortNameKindText(PortNameKind::Invalid);
}

std::string PortsFolder() { return ::PortsFolder(); }

bool LooksLikeDeviceServer(const std::string& text) { return LooksLikeNetworkUrl(text.c_str()); }

bool CheckDeviceServerUrl(const std::string& url, std::string& why) {
    NetworkUrl parsed;
    if (ParseNetworkUrl(url.c_str(), parsed)) return true;
    why =
        "a device server is named tcp://ADDRESS:PORT or rfc2217://ADDRESS:PORT, with an IPv4 address or an IPv6 "
        "one in brackets (no host names: a lookup could hang) and a port of 1 to 65535, such as "
        "rfc2217://10.1.2.3:4001 or tcp://[fd00::7]:4001";
    return false;
}

std::chrono::milliseconds DeviceServerConnectWait(std::chrono::milliseconds responseTimeout) {
    if (responseTimeout <= std::chrono::milliseconds{0}) return std::chrono::milliseconds{1000};
    return std::min(responseTimeout, LongestDeviceServerConnect);
}

void BoundDeviceServerConnects(std::chrono::milliseconds wait) {
    setenv("ZULTRK_CONNECT_MS", std::to_string(wait.count()).c_str(), 1);
}

ServerAnswer ProbeDeviceServer(const std::string& url, std::chrono::milliseconds wait) {
    ServerAnswer answer;
    NetworkUrl parsed;
    if (!CheckDeviceServerUrl(url, answer.why)) return answer;
    ParseNetworkUrl(url.c_str(), parsed);
    int fd = socket(parsed.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        answer.why = std::string("no socket: ") + std::strerror(errno);
        return answer;
    }
    int error = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&parsed.address), parsed.addressLength) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int n = poll(&p, 1, static_cast<int>(wait.count()));
            socklen_t length = sizeof error;
            if (n <= 0) {
                error = ETIMEDOUT;
            } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
        }
    }
    if (error == 0) {
        // A clean close (see the driver's): a device server that greets a
        // connection at once must not see it reset, which can keep its port
        // "in use" for the next one.
        shutdown(fd, SHUT_WR);
        char scratch[256];
        pollfd p{fd, POLLIN, 0};
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (std::chrono::steady_clock::now() < until && poll(&p, 1, 20) > 0) {
            if (recv(fd, scratch, sizeof scratch, 0) <= 0) break;
        }
    }
    close(fd);
    if (error == 0) {
        answer.accepts = true;
    } else if (error == ETIMEDOUT) {
        answer.why = "no answer within " + std::to_string(wait.count()) + " ms";
    } else {
        answer.why = std::strerror(error);
    }
    return answer;
}

bool LineSpeedSupported(unsigned long baud) { return SpeedCode(baud) != B0; }

} // namespace zulclient
