// Loopback ports for the servers the tests and the benchmark start: one
// nobody holds now, and a listener of the test's own. Header only, so the
// benchmark takes it without linking anything of the tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zultest {

// TCP by default, UDP with SOCK_DGRAM.
inline int FreePort(int type = SOCK_STREAM) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

// A TCP listener on a loopback port of its own, with this backlog; its
// address in `address`. -1 when there is none.
inline int LoopbackListener(int backlog, sockaddr_in& address) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, backlog) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

} // namespace zultest
