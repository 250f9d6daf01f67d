// A loopback port nobody holds now, for the servers the tests and the
// benchmark start: TCP by default, UDP with SOCK_DGRAM. Header only, so the
// benchmark takes it without linking anything of the tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zultest {

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

} // namespace zultest
