// A wake-up for a front end's thread: the point store raises it when a
// value, its quality or a panel's state changes, and a write's ticket when
// the write is done, so that the front end passes the change on at once
// instead of finding it on a timer. It is an eventfd, so a thread that also
// waits on a socket (the MQTT bridge on its broker) waits on both in one
// poll(). Raises between two looks pile into one.
#pragma once

#include <chrono>

namespace zulgate {

class ChangeNotice {
public:
    ChangeNotice();
    ~ChangeNotice();
    ChangeNotice(const ChangeNotice&) = delete;
    ChangeNotice& operator=(const ChangeNotice&) = delete;

    // False when the system gave no eventfd.
    bool Usable() const { return fd_ >= 0; }
    // Any thread.
    void Raise();
    // Readable (POLLIN) while raised.
    int Fd() const { return fd_; }
    // Lowers it; whether it had been raised.
    bool Take();
    // Until it is raised or the wait ends; lowers it; whether it had been raised.
    bool Wait(std::chrono::milliseconds wait);

private:
    int fd_ = -1;
};

} // namespace zulgate
