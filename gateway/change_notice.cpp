#include "gateway/change_notice.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace zulgate {

ChangeNotice::ChangeNotice() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ChangeNotice::~ChangeNotice() {
    if (fd_ >= 0) close(fd_);
}

void ChangeNotice::Raise() {
    if (fd_ < 0) return;
    std::uint64_t one = 1;
    // Fails only when the counter is full, and then it is raised anyway.
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
}

bool ChangeNotice::Take() {
    if (fd_ < 0) return false;
    std::uint64_t count = 0;
    return read(fd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count) && count > 0;
}

bool ChangeNotice::Wait(std::chrono::milliseconds wait) {
    if (fd_ < 0) return false;
    pollfd fd{fd_, POLLIN, 0};
    poll(&fd, 1, static_cast<int>(wait.count()));
    return Take();
}

} // namespace zulgate
