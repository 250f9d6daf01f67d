// The tap between a host and a real serial device: a pseudo-terminal that
// the host opens instead of the device (its path also at a link of the
// user's naming), every byte forwarded unchanged both ways, and a capture of
// what each side put on the line. Linux only (spy_none.cpp elsewhere).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/tool/command_line.h"
#include "host/tool/output.h"

namespace zulhost {

struct SpyStats {
    std::uint64_t toPanel = 0, toHost = 0; // bytes forwarded
    std::uint64_t chunks = 0;
    std::vector<double> forwardUs; // from reading a chunk on one side to its last byte written on the other
    std::string ended;             // why the spy stopped
};

// Runs until the host closes the pseudo-terminal after using it, the real
// device goes away, a signal (SIGINT, SIGTERM) or --seconds. Returns the
// exit status.
int RunSpy(Report& report, const Options& options);

// The same, for a program that drives it in-process (the benchmark):
// `ready` receives the pseudo-terminal's path once it serves; `stop`, when
// set by another thread, ends it.
struct SpySetup {
    std::string realPort; // a device path, or a name as the driver resolves it
    std::string link;     // where the pseudo-terminal's path is linked; may be empty
    std::uint32_t baud = 9600;
    int dataBits = 8;
    int parity = 0;     // 0 none, 1 odd, 2 even
    int stopBits = 0;   // 0 one, 2 two
    std::string pcap;   // may be empty
    double seconds = 0; // 0: no limit
};
bool Spy(const SpySetup& setup, const std::function<void(const std::string& pty)>& ready,
         const std::function<void(const std::string& line)>& decoded, const volatile bool* stop, SpyStats& stats,
         std::string* error);

} // namespace zulhost
