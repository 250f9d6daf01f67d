// The UDP service on real sockets of loopback: answers leave from the
// listening socket; a broadcast Who-Is is answered by broadcast where there
// is a broadcast address (Linux routes 127.255.255.255 as one), and not at
// all where there is none (loopback's own).
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "gateway/bacnet/udp_service.h"
#include "tests/bacnet/hex.h"

using namespace zulgate::bacnet;
using bacnet_test::Hex;
using bacnet_test::HexOf;

namespace {

struct Nothing : ValueSource {
    Reading Read(const ObjectId&) override { return {}; }
    void Write(const ObjectId&, const PointValue&, WriteDone done) override { done(WriteOutcome::Refused); }
};

// A UDP socket of the test's own, bound to `host`:`port`.
struct Socket {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Socket(const char* host, std::uint16_t port) {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, host, &a.sin_addr);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Socket() { close(fd); }
    void Send(const std::string& hex, const Endpoint& to) const {
        Bytes d = Hex(hex);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(to.port);
        a.sin_addr.s_addr = htonl(to.address);
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // The next datagram and who sent it, within two seconds; "" when none came.
    std::string Receive(Endpoint* from = nullptr) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) return "";
        std::uint8_t buffer[1600];
        sockaddr_in a{};
        socklen_t length = sizeof a;
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&a), &length);
        if (from) *from = {ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
        return n < 0 ? "" : HexOf(Bytes(buffer, buffer + n));
    }
};

const char* WhoIsByBroadcast = "81 0B 00 08 01 00 10 08";
const char* ReadName = "81 0A 00 11 01 04 00 05 07 0C 0C 02 03 F7 A1 19 4D"; // invoke 7: the device's name
const char* NameRead = "81 0A 00 17 01 00 30 07 0C 0C 02 03 F7 A1 19 4D 3E 74 00 75 64 70 3F";
const char* IAmByBroadcast = "81 0B 00 15 01 00 10 00 C4 02 03 F7 A1 22 05 C4 91 03 22 FF FF";

class BacnetUdp : public testing::Test {
protected:
    void Open(const std::optional<std::string>& broadcast) {
        DeviceSpec device;
        device.instance = 260001;
        device.name = "udp";
        ObjectTable table;
        std::string problem;
        ASSERT_TRUE(ObjectTable::Build(device, {}, table, problem));
        server = std::make_unique<Server>(std::move(table), source);
        udp = std::make_unique<UdpService>(*server);
        ASSERT_TRUE(udp->Open("127.0.0.1", 0, broadcast, problem)) << problem;
        udp->Start();
    }
    void TearDown() override {
        if (udp) udp->Stop();
    }
    Nothing source;
    std::unique_ptr<Server> server;
    std::unique_ptr<UdpService> udp;
};

TEST_F(BacnetUdp, OnLoopbackABroadcastWhoIsGetsNoAnswer) {
    Open(std::nullopt);
    EXPECT_FALSE(udp->Broadcast().has_value());
    Socket asker("127.0.0.1", 0);
    asker.Send(WhoIsByBroadcast, udp->Local());
    asker.Send(ReadName, udp->Local());
    Endpoint from;
    EXPECT_EQ(asker.Receive(&from), NameRead); // no I-Am before it
    EXPECT_EQ(from, udp->Local());
}

TEST_F(BacnetUdp, ABroadcastWhoIsIsAnsweredByBroadcastFromTheListeningSocket) {
    Open("127.255.255.255");
    ASSERT_TRUE(udp->Broadcast().has_value());
    Socket everyone("127.255.255.255", udp->Local().port);
    Socket asker("127.0.0.1", 0);
    asker.Send(WhoIsByBroadcast, udp->Local());
    Endpoint from;
    EXPECT_EQ(everyone.Receive(&from), IAmByBroadcast);
    EXPECT_EQ(from, udp->Local());
    asker.Send(ReadName, udp->Local());
    EXPECT_EQ(asker.Receive(), NameRead); // no I-Am to the asker before it
}

TEST(BacnetUdpAddresses, BroadcastAddressOfEachListenAddress) {
    Nothing source;
    DeviceSpec device;
    ObjectTable table;
    std::string problem;
    ASSERT_TRUE(ObjectTable::Build(device, {}, table, problem));
    Server server(std::move(table), source);
    UdpService every(server);
    ASSERT_TRUE(every.Open("0.0.0.0", 0, std::nullopt, problem)) << problem;
    EXPECT_EQ(every.Broadcast()->address, 0xFFFFFFFFu);
    every.Stop();
    UdpService wrong(server);
    EXPECT_FALSE(wrong.Open("localhost", 0, std::nullopt, problem));
    EXPECT_EQ(problem, "'localhost' is not an IPv4 address");
}

// A second service on a taken address and port is refused: it would
// otherwise take the first one's datagrams without a word.
TEST(BacnetUdpAddresses, ATakenPortIsRefused) {
    Nothing source;
    DeviceSpec device;
    ObjectTable table;
    std::string problem;
    ASSERT_TRUE(ObjectTable::Build(device, {}, table, problem));
    Server server(std::move(table), source);
    UdpService first(server), second(server);
    ASSERT_TRUE(first.Open("127.0.0.1", 0, std::nullopt, problem)) << problem;
    EXPECT_FALSE(second.Open("127.0.0.1", first.Local().port, std::nullopt, problem));
    EXPECT_EQ(problem, "cannot bind UDP " + EndpointText(first.Local()) + ": Address already in use");
}

// Bound to one interface's address, broadcasts go to that interface's
// broadcast address, as getifaddrs (netlink) knows it; the service asks the
// socket layer instead, which a sandbox without netlink leaves it.
TEST(BacnetUdpAddresses, AnInterfacesBroadcastAddressIsItsOwn) {
    ifaddrs* list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    int seen = 0;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_BROADCAST) || !i->ifa_broadaddr)
            continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
        Nothing source;
        DeviceSpec device;
        ObjectTable table;
        std::string problem;
        ASSERT_TRUE(ObjectTable::Build(device, {}, table, problem));
        Server server(std::move(table), source);
        UdpService service(server);
        ASSERT_TRUE(service.Open(text, 0, std::nullopt, problem)) << text << ": " << problem;
        ASSERT_TRUE(service.Broadcast().has_value()) << text;
        EXPECT_EQ(service.Broadcast()->address,
                  ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr))
            << i->ifa_name;
        ++seen;
    }
    freeifaddrs(list);
    if (seen == 0) GTEST_SKIP() << "no interface with a broadcast address here";
}

} // namespace
