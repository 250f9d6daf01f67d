// The server on a UDP socket: one thread, waiting in poll() for a datagram,
// a wake-up (a value changed, a write finished) or the server's next
// deadline. Every answer leaves from the listening socket. Broadcast
// answers go to the configured broadcast address, or to the listening
// interface's own (255.255.255.255 when listening on every interface);
// on loopback there is none, and broadcast answers are not sent.
//
// Bound to one interface's address, a socket does not receive that
// network's broadcasts; a second socket, bound to the broadcast address,
// only listens for them.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "gateway/bacnet/server.h"

namespace zulgate::bacnet {

// "a.b.c.d" as an endpoint with the given port; none when it is no IPv4 address.
std::optional<Endpoint> ParseIpv4(const std::string& text, std::uint16_t port);
std::string EndpointText(const Endpoint& endpoint);

class UdpService {
public:
    explicit UdpService(Server& server) : server_(server) {}
    ~UdpService();
    UdpService(const UdpService&) = delete;
    UdpService& operator=(const UdpService&) = delete;

    // Binds to host:port (port 0: any free one); false with a message.
    bool Open(const std::string& host, std::uint16_t port, const std::optional<std::string>& broadcast,
              std::string& error);
    Endpoint Local() const { return local_; }
    std::optional<Endpoint> Broadcast() const { return broadcast_; }

    void Start();
    // Ends the thread (at once: nothing in it waits for more than poll),
    // sends what the server has ready then, and closes the sockets.
    void Stop();

private:
    void Run();
    void Drain(int fd, std::vector<Outgoing>& out);
    void SendAll(std::vector<Outgoing>& out);

    Server& server_;
    int socket_ = -1;
    int broadcastSocket_ = -1; // listens for the network's broadcasts, or -1
    int wake_ = -1;            // an eventfd
    Endpoint local_;
    std::optional<Endpoint> broadcast_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};

} // namespace zulgate::bacnet
