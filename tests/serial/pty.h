// A pseudo-terminal: the code under test opens the device end by its path,
// the test plays the far end on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <vector>

#include "platform/win32_api.h"

using Bytes = std::vector<std::uint8_t>;

struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    char path[64] = {};
    Pty() {
        if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, path, sizeof path) != 0)
            ADD_FAILURE() << "no pseudo-terminal";
    }
    ~Pty() { CloseMaster(); }
    void CloseMaster() {
        if (master >= 0) close(master);
        master = -1;
    }
    void Send(const Bytes& bytes) const { ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    // What the device end sent until the line stayed quiet for `ms`.
    Bytes Receive(int ms) const {
        Bytes got;
        std::uint8_t chunk[512];
        pollfd p{master, POLLIN, 0};
        for (ssize_t n; poll(&p, 1, ms) > 0 && (n = read(master, chunk, sizeof chunk)) > 0;)
            got.insert(got.end(), chunk, chunk + n);
        return got;
    }
};

inline HANDLE OpenDevice(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The input count; waits up to 1 s for `count` since the pty moves bytes asynchronously.
inline DWORD InQueue(HANDLE handle, DWORD count = 0) {
    COMSTAT stat{};
    DWORD errors = 0;
    for (int i = 0; i < 1000 && ClearCommError(handle, &errors, &stat) && stat.cbInQue < count; ++i) usleep(1000);
    return stat.cbInQue;
}

inline Bytes Sequence(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i);
    return bytes;
}

// Wall and process CPU time since construction: a waiting call must not spin.
struct Stopwatch {
    static double CpuMs() {
        timespec t;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    }
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double cpuStart = CpuMs();
    double Ms() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    }
    double CpuSpentMs() const { return CpuMs() - cpuStart; }
};
