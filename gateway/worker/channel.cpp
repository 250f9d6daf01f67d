#include "gateway/worker/channel.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace zulgate::worker {
namespace {

constexpr std::uint8_t LastPiece = 0;
constexpr std::uint8_t MorePieces = 1;

} // namespace

Channel::Channel(int fd, bool blocking) : fd_(fd), blocking_(blocking) {}

Channel::~Channel() {
    if (fd_ >= 0) close(fd_);
}

bool Channel::Send(const std::vector<std::uint8_t>& message) {
    std::size_t at = 0;
    do {
        std::size_t n = std::min(PacketBytes, message.size() - at);
        std::vector<std::uint8_t> packet;
        packet.reserve(n + 1);
        packet.push_back(at + n < message.size() ? MorePieces : LastPiece);
        packet.insert(packet.end(), message.begin() + static_cast<std::ptrdiff_t>(at),
                      message.begin() + static_cast<std::ptrdiff_t>(at + n));
        waiting_.push_back(std::move(packet));
        at += n;
    } while (at < message.size());
    return Flush();
}

bool Channel::Flush() {
    while (!waiting_.empty()) {
        const std::vector<std::uint8_t>& packet = waiting_.front();
        ssize_t n = send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL | (blocking_ ? 0 : MSG_DONTWAIT));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !blocking_) return true;
        if (n != static_cast<ssize_t>(packet.size())) return false;
        waiting_.pop_front();
    }
    return true;
}

Channel::Got Channel::Receive(std::vector<std::uint8_t>& message) {
    std::uint8_t packet[PacketBytes + 1];
    for (;;) {
        iovec io{packet, sizeof packet};
        msghdr header{};
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        ssize_t n = recvmsg(fd_, &header, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Got::Nothing : Got::Broken;
        if (n == 0) return Got::Closed; // a packet always holds its first byte
        if ((header.msg_flags & MSG_TRUNC) != 0 || packet[0] > MorePieces) return Got::Broken;
        if (assembling_.size() + static_cast<std::size_t>(n) - 1 > MostMessageBytes) return Got::Broken;
        assembling_.insert(assembling_.end(), packet + 1, packet + n);
        if (packet[0] == LastPiece) break;
    }
    message.swap(assembling_);
    assembling_.clear();
    return Got::Message;
}

} // namespace zulgate::worker
