// One end of the connection between zulgate and a panel's worker: an
// AF_UNIX SOCK_SEQPACKET socket, which keeps each packet whole. A message
// longer than one packet (a long point list in the setup) goes in pieces,
// each with a first byte that says whether more follow.
//
// The gateway's end does not block: what cannot be sent now waits here
// until the socket takes it (Flush, when poll says it may write), so that a
// worker that does not read never holds up the gateway. The worker's end
// sends blocking: the gateway always reads.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace zulgate::worker {

class Channel {
public:
    // Takes the descriptor; blocking: whether sends wait for room.
    Channel(int fd, bool blocking);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    int Fd() const { return fd_; }

    // False when the connection is broken.
    bool Send(const std::vector<std::uint8_t>& message);
    bool Flush();
    bool Pending() const { return !waiting_.empty(); }

    enum class Got {
        Message, // `message` holds a whole message
        Nothing, // nothing more to read now (or only part of a message)
        Closed,  // the other end is gone
        Broken,  // an error, or a packet no message is made of
    };
    // Reads one packet, without waiting.
    Got Receive(std::vector<std::uint8_t>& message);

    static constexpr std::size_t PacketBytes = 32 * 1024; // the pieces' payload
    static constexpr std::size_t MostMessageBytes = 64 * 1024 * 1024;

private:
    int fd_;
    bool blocking_;
    std::deque<std::vector<std::uint8_t>> waiting_; // packets not sent yet
    std::vector<std::uint8_t> assembling_;
};

} // namespace zulgate::worker
