// A TCP client of bytes as written, for the tests of framing: what a
// careless or hostile neighbour sends, byte for byte, and what comes back
// before the other end closes or a wait ends.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace gwtest {

class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~RawClient() {
        if (fd_ >= 0) close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return fd_ >= 0; }
    // False once the other end refuses more (closed, reset).
    bool Send(const std::string& bytes) {
        std::size_t sent = 0;
        while (fd_ >= 0 && sent < bytes.size()) {
            ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return fd_ >= 0;
    }
    // What comes within `wait`, up to the other end's close (then closed() is true).
    std::string Receive(std::chrono::milliseconds wait) {
        std::string got;
        auto until = std::chrono::steady_clock::now() + wait;
        while (fd_ >= 0 && !closed_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[65536];
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    // Waits until `count` bytes have come (or the close, or the wait's end).
    std::string ReceiveBytes(std::size_t count, std::chrono::milliseconds wait) {
        std::string got;
        auto until = std::chrono::steady_clock::now() + wait;
        while (got.size() < count && !closed_ && std::chrono::steady_clock::now() < until) {
            got += Receive(std::chrono::milliseconds(20));
        }
        return got;
    }
    bool Closed() const { return closed_; }

private:
    int fd_ = -1;
    bool closed_ = false;
};

} // namespace gwtest
