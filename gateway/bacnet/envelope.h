// What wraps an APDU on BACnet/IP: the BVLC header (the datagram's
// function and length) and the NPDU (the network layer: a version, a
// control octet, and for traffic through routers the remote networks and
// addresses). This server is no router and no broadcast management device:
// it takes what is addressed to it, answers the management functions it
// does not perform with their NAK, and drops the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "gateway/bacnet/encoding.h"

namespace zulgate::bacnet {

// An IPv4 address and UDP port, in host order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const Endpoint& other) const { return address == other.address && port == other.port; }
    bool operator!=(const Endpoint& other) const { return !(*this == other); }
};

// A station on a network behind a router: its network number and its
// address there (1 to 255 octets).
struct RemoteStation {
    std::uint16_t network = 0;
    Bytes address;
    bool operator==(const RemoteStation& other) const { return network == other.network && address == other.address; }
};

// Where an answer goes: to a B/IP node, or through it (a router) to a
// station of another network.
struct Peer {
    Endpoint via;
    std::optional<RemoteStation> remote;
    bool operator==(const Peer& other) const { return via == other.via && remote == other.remote; }
};

struct Incoming {
    Peer from;              // who asked, to be answered
    bool broadcast = false; // came as a broadcast (local, forwarded, or to every network)
    const std::uint8_t* apdu = nullptr;
    std::size_t apduSize = 0;
};

enum class Unwrapped {
    Apdu,    // an APDU for this device: `incoming` says what and from whom
    Nak,     // a management function it does not perform: answer `nak`
    Dropped, // nothing for it (malformed, another network's, a network layer message, a result)
};

Unwrapped Unwrap(const std::uint8_t* data, std::size_t size, Endpoint sender, Incoming& incoming, std::uint16_t& nak);

enum class Reach {
    Unicast,         // to one station (through its router when it is remote)
    LocalBroadcast,  // to every station of this network
    GlobalBroadcast, // to every station of every network, through the routers
};
// A whole datagram with `apdu` in it; `remote` only for Unicast.
Bytes Wrap(const Bytes& apdu, Reach reach, const std::optional<RemoteStation>& remote = std::nullopt);
Bytes BvlcResult(std::uint16_t code);

} // namespace zulgate::bacnet
