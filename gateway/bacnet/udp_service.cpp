#include "gateway/bacnet/udp_service.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace zulgate::bacnet {
namespace {

sockaddr_in SocketAddress(const Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(e.address);
    a.sin_port = htons(e.port);
    return a;
}

Endpoint EndpointOf(const sockaddr_in& a) { return {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)}; }

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// The listening socket is the port's alone: with SO_REUSEADDR a second
// service on the same address and port would start without a word and take
// every unicast datagram from the first. Only the socket that listens for a
// network's broadcasts shares its address (each such socket gets them all).
enum class Bound { Own, Shared };

int BoundSocket(const Endpoint& at, bool broadcast, Bound bound, std::string& error) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = Errno("socket");
        return -1;
    }
    int on = 1;
    if (bound == Bound::Shared) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (broadcast) setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in a = SocketAddress(at);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        error = Errno("cannot bind UDP " + EndpointText(at));
        close(fd);
        return -1;
    }
    return fd;
}

// The broadcast address of the interface that has `address`, if it has one.
// Asked of the IPv4 socket layer (SIOCGIFCONF, SIOCGIFBRDADDR) rather than
// through getifaddrs, which needs a netlink socket that the installed
// service's sandbox does not allow (RestrictAddressFamilies).
std::optional<std::uint32_t> InterfaceBroadcast(std::uint32_t address) {
    if (address == INADDR_ANY) return INADDR_BROADCAST;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    std::vector<ifreq> interfaces(64);
    ifconf list{};
    list.ifc_len = static_cast<int>(interfaces.size() * sizeof(ifreq));
    list.ifc_req = interfaces.data();
    std::optional<std::uint32_t> found;
    if (ioctl(fd, SIOCGIFCONF, &list) == 0) {
        std::size_t count = static_cast<std::size_t>(list.ifc_len) / sizeof(ifreq);
        for (std::size_t i = 0; i < count && i < interfaces.size(); ++i) {
            ifreq& r = interfaces[i];
            if (r.ifr_addr.sa_family != AF_INET) continue;
            if (ntohl(reinterpret_cast<sockaddr_in*>(&r.ifr_addr)->sin_addr.s_addr) != address) continue;
            ifreq asked = r;
            if (ioctl(fd, SIOCGIFFLAGS, &asked) == 0 && (asked.ifr_flags & IFF_BROADCAST)) {
                asked = r;
                if (ioctl(fd, SIOCGIFBRDADDR, &asked) == 0)
                    found = ntohl(reinterpret_cast<sockaddr_in*>(&asked.ifr_broadaddr)->sin_addr.s_addr);
            }
            break;
        }
    }
    close(fd);
    return found;
}

} // namespace

std::optional<Endpoint> ParseIpv4(const std::string& text, std::uint16_t port) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return std::nullopt;
    return Endpoint{ntohl(a.s_addr), port};
}

std::string EndpointText(const Endpoint& e) {
    in_addr a{};
    a.s_addr = htonl(e.address);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a, text, sizeof text);
    return std::string(text) + ":" + std::to_string(e.port);
}

UdpService::~UdpService() { Stop(); }

bool UdpService::Open(const std::string& host, std::uint16_t port, const std::optional<std::string>& broadcast,
                      std::string& error) {
    std::optional<Endpoint> at = ParseIpv4(host, port);
    if (!at) {
        error = "'" + host + "' is not an IPv4 address";
        return false;
    }
    if (broadcast) {
        broadcast_ = ParseIpv4(*broadcast, port);
        if (!broadcast_) {
            error = "broadcast '" + *broadcast + "' is not an IPv4 address";
            return false;
        }
    } else if (std::optional<std::uint32_t> derived = InterfaceBroadcast(at->address)) {
        broadcast_ = Endpoint{*derived, port};
    }
    socket_ = BoundSocket(*at, broadcast_.has_value(), Bound::Own, error);
    if (socket_ < 0) return false;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &length);
    local_ = EndpointOf(bound);
    if (broadcast_) broadcast_->port = local_.port;
    // Bound to one address of an interface: its broadcasts reach only a socket of their own.
    if (broadcast_ && at->address != INADDR_ANY && broadcast_->address != INADDR_BROADCAST) {
        broadcastSocket_ = BoundSocket(*broadcast_, false, Bound::Shared, error);
        if (broadcastSocket_ < 0) return false;
    }
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        error = Errno("eventfd");
        return false;
    }
    return true;
}

void UdpService::Start() {
    int wake = wake_;
    server_.SetWake([wake] {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake, &one, sizeof one);
    });
    thread_ = std::thread([this] { Run(); });
}

void UdpService::Stop() {
    stopping_ = true;
    server_.SetWake(nullptr);
    if (thread_.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wake_, &one, sizeof one);
        thread_.join();
        // What is ready now goes out still: the answers to writes that the
        // stop itself finished.
        std::vector<Outgoing> out;
        server_.Service(Clock::now(), out);
        SendAll(out);
    }
    for (int* fd : {&socket_, &broadcastSocket_, &wake_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void UdpService::Run() {
    std::vector<Outgoing> out;
    while (!stopping_) {
        int timeout = 1000;
        if (std::optional<Clock::time_point> next = server_.NextDeadline()) {
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
            timeout = static_cast<int>(std::clamp<long long>(wait, 0, 1000));
        }
        pollfd fds[3] = {{wake_, POLLIN, 0}, {socket_, POLLIN, 0}, {broadcastSocket_, POLLIN, 0}};
        int ready = poll(fds, broadcastSocket_ >= 0 ? 3 : 2, timeout);
        if (ready < 0 && errno != EINTR) break;
        if (stopping_) break;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = read(wake_, &count, sizeof count);
        }
        if (fds[1].revents & POLLIN) Drain(socket_, out);
        if (broadcastSocket_ >= 0 && (fds[2].revents & POLLIN)) Drain(broadcastSocket_, out);
        server_.Service(Clock::now(), out);
        SendAll(out);
    }
}

void UdpService::Drain(int fd, std::vector<Outgoing>& out) {
    // A few at a time, so that a flood on one socket lets the rest of the loop run.
    for (int i = 0; i < 64; ++i) {
        std::uint8_t buffer[1600]; // the longest B/IP datagram is 1497 octets
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return;
        Endpoint sender = EndpointOf(from);
        if (sender == local_ || static_cast<std::size_t>(n) > sizeof buffer) continue; // its own, or too long
        server_.Receive(buffer, static_cast<std::size_t>(n), sender, Clock::now(), out);
        SendAll(out);
    }
}

void UdpService::SendAll(std::vector<Outgoing>& out) {
    for (const Outgoing& o : out) {
        Endpoint to = o.to;
        if (o.reach != Reach::Unicast) {
            if (!broadcast_) continue;
            to = *broadcast_;
        }
        sockaddr_in a = SocketAddress(to);
        sendto(socket_, o.datagram.data(), o.datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    out.clear();
}

} // namespace zulgate::bacnet
