// A panel on the fake port: announces ENQ after an RTS pulse, ACKs the wake
// frame, answers the version request, serves block reads and writes from a
// sparse memory, and misbehaves on request.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "link/msg_buffer.h"
#include "platform/fake/fake_port.h"

namespace test {

using Bytes = std::vector<std::uint8_t>;

// A complete frame (with CRC and doubling) around a payload.
Bytes Frame(const Bytes& payload);

class FakePanel : public fake::Peer {
public:
    // Behaviour.
    bool announce = true;         // ENQ after each RTS rise
    bool ackWake = true;          // ACK the wake frame
    std::uint8_t wakeReply = ACK; // the byte sent for the wake frame
    std::uint8_t versionId = 0xF5;
    bool silent = false;    // answers no request frame
    int silentRequests = 0; // the next N request frames get no answer
    bool nak = false;       // NAK every request frame
    bool damageCrc = false; // replies with a wrong CRC
    int status = -1;        // >= 0: answer read/write frames with 11 status
    int shortValue = 0;     // read replies lack this many value bytes
    int extraValue = 0;     // read replies carry this many bytes too many
    std::uint8_t readReplyCode = 0x50;
    fake::Micros replyDelay = 2 * fake::Ms; // turnaround after the request has arrived
    fake::Micros perByte = 0;               // > 0: the line's pace, both ways (the port's write returns at once)
    fake::Micros latencyTimer = 0;          // > 0: a USB adapter hands bytes over at multiples of it, or per 62
    fake::Micros splitGap = 0;              // > 0: replies split in two with this gap
    fake::Micros lateBy = 0;                // > 0: the next reply comes this much later
    int lateReplies = 0;                    // how many replies come late
    std::deque<fake::Micros> lateness;      // each reply in turn this much later (before lateBy's)
    fake::Micros linkDelay = 0;             // a long link: everything the panel sends reaches the host this much later
    bool inOrder = false;                   // a reply never overtakes an earlier one: a late one holds back the rest
    std::function<void(FakePanel&)> beforeEach; // called for each request frame received, before it is served

    std::map<std::uint32_t, std::uint8_t> memory;
    std::vector<Bytes> requests; // unstuffed payloads of the frames received

    void Set(std::uint32_t address, const Bytes& bytes);
    Bytes Get(std::uint32_t address, std::size_t count) const;

    void OnWrite(fake::Device& device, const Bytes& bytes) override;
    void OnRts(fake::Device& device, bool raised) override;

private:
    void Reply(fake::Device& device, const Bytes& bytes);
    void DeliverThroughAdapter(fake::Device& device, const Bytes& bytes, fake::Micros start);
    // When the panel may start its next reply, in order: after the last one.
    fake::Micros StartAfter(fake::Micros delay, std::size_t bytes);
    std::size_t lastRequestBytes = 0;
    fake::Micros busyUntil = 0;
};

} // namespace test
