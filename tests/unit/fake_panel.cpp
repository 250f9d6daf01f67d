#include "tests/unit/fake_panel.h"

#include <algorithm>
#include <cstring>

namespace test {

Bytes Frame(const Bytes& payload) {
    MsgBuffer b;
    ClearMsgBuffer(b);
    std::memcpy(b.data, payload.data(), payload.size());
    b.length = static_cast<int>(payload.size());
    BuildFrame(b);
    return Bytes(b.data, b.data + b.length);
}

void FakePanel::Set(std::uint32_t address, const Bytes& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) memory[address + static_cast<std::uint32_t>(i)] = bytes[i];
}

Bytes FakePanel::Get(std::uint32_t address, std::size_t count) const {
    Bytes out;
    for (std::size_t i = 0; i < count; ++i) {
        auto it = memory.find(address + static_cast<std::uint32_t>(i));
        out.push_back(it == memory.end() ? 0 : it->second);
    }
    return out;
}

void FakePanel::OnRts(fake::Device& device, bool raised) {
    if (raised && announce) device.Deliver({ENQ}, 1 * fake::Ms + linkDelay);
}

fake::Micros FakePanel::StartAfter(fake::Micros delay, std::size_t bytes) {
    const fake::Micros now = fake::Now();
    fake::Micros start = now + delay;
    if (inOrder) start = std::max(start, busyUntil);
    busyUntil = start + static_cast<fake::Micros>(bytes) * std::max<fake::Micros>(perByte, 1) + splitGap;
    return start - now;
}

// Bytes leaving the panel at `start` and then every perByte, as a USB
// adapter hands them over: in a burst at the next tick of its latency timer,
// or at once when a packet of 62 has filled.
void FakePanel::DeliverThroughAdapter(fake::Device& device, const Bytes& bytes, fake::Micros start) {
    constexpr std::size_t PacketBytes = 62;
    const fake::Micros now = fake::Now();
    auto nextTick = [this](fake::Micros t) { return (t + latencyTimer - 1) / latencyTimer * latencyTimer; };
    Bytes pending;
    fake::Micros firstArrival = 0;
    auto handOver = [&](fake::Micros at) {
        device.Deliver(pending, at - now);
        pending.clear();
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        fake::Micros arrives = now + start + static_cast<fake::Micros>(i + 1) * perByte;
        if (!pending.empty() && nextTick(firstArrival) < arrives) handOver(nextTick(firstArrival));
        if (pending.empty()) firstArrival = arrives;
        pending.push_back(bytes[i]);
        if (pending.size() == PacketBytes) handOver(arrives);
    }
    if (!pending.empty()) handOver(nextTick(firstArrival));
}

void FakePanel::Reply(fake::Device& device, const Bytes& bytes) {
    Bytes out = bytes;
    if (damageCrc && out.size() > 2) out.back() ^= 0x5A;
    // The reply starts after the request's last byte and the turnaround.
    fake::Micros delay = replyDelay + static_cast<fake::Micros>(lastRequestBytes) * perByte + linkDelay;
    if (!lateness.empty()) {
        delay += lateness.front();
        lateness.pop_front();
    } else if (lateReplies > 0) {
        --lateReplies;
        delay += lateBy;
    }
    delay = StartAfter(delay, out.size());
    if (latencyTimer > 0) {
        DeliverThroughAdapter(device, out, delay);
        return;
    }
    if (splitGap > 0 && out.size() > 4) {
        std::size_t half = out.size() / 2;
        device.Deliver(Bytes(out.begin(), out.begin() + static_cast<long>(half)), delay, perByte);
        device.Deliver(Bytes(out.begin() + static_cast<long>(half), out.end()), delay + splitGap, perByte);
        return;
    }
    device.Deliver(out, delay, perByte);
}

void FakePanel::OnWrite(fake::Device& device, const Bytes& bytes) {
    lastRequestBytes = bytes.size();
    MsgBuffer b;
    ClearMsgBuffer(b);
    std::memcpy(b.data, bytes.data(), bytes.size() < MsgBufferSize ? bytes.size() : MsgBufferSize);
    BreakIt(b);
    if (b.length == 0) return; // the driver's ACK, or noise
    std::uint16_t received = b.crc;
    CalcCRC(b);
    if (received != b.crc) {
        device.Deliver({NAK}, StartAfter(replyDelay + linkDelay, 1));
        return;
    }
    DLEScanAndDel(b);
    Bytes payload(b.data + 2, b.data + b.length - 2);
    requests.push_back(payload);
    if (beforeEach) beforeEach(*this);
    if (payload.size() == 1 && payload[0] == 0x31) {
        if (ackWake) device.Deliver({wakeReply}, StartAfter(1 * fake::Ms + linkDelay, 1));
        return;
    }
    if (silent) return;
    if (silentRequests > 0) {
        --silentRequests;
        return;
    }
    if (nak) {
        device.Deliver({NAK}, StartAfter(replyDelay + linkDelay, 1));
        return;
    }
    if (status >= 0) {
        Reply(device, Frame({0x11, static_cast<std::uint8_t>(status)}));
        return;
    }
    if (payload.size() == 1 && payload[0] == 0xF0) {
        Reply(device, Frame({versionId}));
        return;
    }
    if (payload.size() >= 5) {
        std::uint32_t address = (payload[1] << 16) | (payload[2] << 8) | payload[3];
        std::size_t count = payload[4];
        if (payload[0] == 0x50) {
            Bytes reply{readReplyCode};
            Bytes values = Get(address, count + static_cast<std::size_t>(extraValue));
            std::size_t keep = values.size() > static_cast<std::size_t>(shortValue)
                                   ? values.size() - static_cast<std::size_t>(shortValue)
                                   : 0;
            reply.insert(reply.end(), values.begin(), values.begin() + static_cast<long>(keep));
            Reply(device, Frame(reply));
            return;
        }
        if (payload[0] == 0x60) {
            Set(address, Bytes(payload.begin() + 5, payload.end()));
            Reply(device, Frame({0x11, 0x00}));
            return;
        }
    }
    Reply(device, Frame({0x11, 0x01}));
}

} // namespace test
