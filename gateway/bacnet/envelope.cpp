#include "gateway/bacnet/envelope.h"

namespace zulgate::bacnet {
namespace {

constexpr std::uint8_t BvlcType = 0x81;
constexpr std::size_t BvlcHeader = 4;

enum BvlcFunction : std::uint8_t {
    Result = 0x00,
    WriteBroadcastDistributionTable = 0x01,
    ReadBroadcastDistributionTable = 0x02,
    ForwardedNpdu = 0x04,
    RegisterForeignDevice = 0x05,
    ReadForeignDeviceTable = 0x06,
    DeleteForeignDeviceTableEntry = 0x08,
    DistributeBroadcastToNetwork = 0x09,
    OriginalUnicastNpdu = 0x0A,
    OriginalBroadcastNpdu = 0x0B,
};

// The NAK a device that is no broadcast management device answers to each
// management function.
std::uint16_t NakFor(std::uint8_t function) {
    switch (function) {
    case WriteBroadcastDistributionTable:
        return 0x0010;
    case ReadBroadcastDistributionTable:
        return 0x0020;
    case RegisterForeignDevice:
        return 0x0030;
    case ReadForeignDeviceTable:
        return 0x0040;
    case DeleteForeignDeviceTableEntry:
        return 0x0050;
    case DistributeBroadcastToNetwork:
        return 0x0060;
    default:
        return 0;
    }
}

constexpr std::uint8_t NpduVersion = 1;
constexpr std::uint8_t NetworkMessage = 0x80;
constexpr std::uint8_t HasDestination = 0x20;
constexpr std::uint8_t HasSource = 0x08;
constexpr std::uint16_t AllNetworks = 0xFFFF;
constexpr std::uint8_t HopCount = 255;

std::uint16_t Word(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

void PutWord(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// The network layer: false when it is malformed or not for this device.
bool UnwrapNpdu(const std::uint8_t* p, std::size_t n, Incoming& incoming) {
    if (n < 2 || p[0] != NpduVersion) return false;
    std::uint8_t control = p[1];
    if (control & NetworkMessage) return false; // routers' business
    std::size_t at = 2;
    std::optional<std::uint16_t> destination;
    if (control & HasDestination) {
        if (n - at < 3) return false;
        destination = Word(p + at);
        std::size_t length = p[at + 2];
        at += 3;
        if (n - at < length) return false;
        at += length;
    }
    if (control & HasSource) {
        if (n - at < 3) return false;
        RemoteStation source;
        source.network = Word(p + at);
        std::size_t length = p[at + 2];
        at += 3;
        if (source.network == AllNetworks || length == 0 || n - at < length) return false;
        source.address.assign(p + at, p + at + length);
        at += length;
        incoming.from.remote = source;
    }
    if (destination) {
        if (n - at < 1) return false;
        at += 1; // hop count
        // Only a router takes what is addressed to another network.
        if (*destination != AllNetworks) return false;
        incoming.broadcast = true;
    }
    if (at >= n) return false; // no APDU
    incoming.apdu = p + at;
    incoming.apduSize = n - at;
    return true;
}

} // namespace

Unwrapped Unwrap(const std::uint8_t* data, std::size_t size, Endpoint sender, Incoming& incoming, std::uint16_t& nak) {
    incoming = Incoming{};
    incoming.from.via = sender;
    if (size < BvlcHeader || data[0] != BvlcType || Word(data + 2) != size) return Unwrapped::Dropped;
    std::uint8_t function = data[1];
    const std::uint8_t* npdu = data + BvlcHeader;
    std::size_t npduSize = size - BvlcHeader;
    switch (function) {
    case OriginalUnicastNpdu:
        break;
    case OriginalBroadcastNpdu:
        incoming.broadcast = true;
        break;
    case ForwardedNpdu: // a broadcast a management device passed on: its first sender is inside
        if (npduSize < 6) return Unwrapped::Dropped;
        incoming.from.via.address = static_cast<std::uint32_t>(npdu[0]) << 24 | npdu[1] << 16 | npdu[2] << 8 | npdu[3];
        incoming.from.via.port = Word(npdu + 4);
        incoming.broadcast = true;
        npdu += 6;
        npduSize -= 6;
        break;
    default:
        nak = NakFor(function);
        return nak != 0 ? Unwrapped::Nak : Unwrapped::Dropped;
    }
    return UnwrapNpdu(npdu, npduSize, incoming) ? Unwrapped::Apdu : Unwrapped::Dropped;
}

Bytes Wrap(const Bytes& apdu, Reach reach, const std::optional<RemoteStation>& remote) {
    Bytes out{BvlcType, reach == Reach::Unicast ? OriginalUnicastNpdu : OriginalBroadcastNpdu, 0, 0, NpduVersion};
    if (reach == Reach::GlobalBroadcast) {
        out.push_back(HasDestination);
        PutWord(out, AllNetworks);
        out.push_back(0);
        out.push_back(HopCount);
    } else if (reach == Reach::Unicast && remote) {
        out.push_back(HasDestination);
        PutWord(out, remote->network);
        out.push_back(static_cast<std::uint8_t>(remote->address.size()));
        out.insert(out.end(), remote->address.begin(), remote->address.end());
        out.push_back(HopCount);
    } else {
        out.push_back(0);
    }
    out.insert(out.end(), apdu.begin(), apdu.end());
    out[2] = static_cast<std::uint8_t>(out.size() >> 8);
    out[3] = static_cast<std::uint8_t>(out.size());
    return out;
}

Bytes BvlcResult(std::uint16_t code) {
    Bytes out{BvlcType, Result, 0, 6};
    PutWord(out, code);
    return out;
}

} // namespace zulgate::bacnet
