// The driver's log lines, as the shared host layer hands them to the tool:
// kept for the report and shown on stderr as the log mode says. What a
// start's lines mean (the panel's identifier, the handshake's result) the
// host layer reads itself and returns with the start.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "host/client/driver_log.h"
#include "host/tool/command_line.h"

namespace zulhost {

using LogLine = zulclient::DriverLine;

class LogCapture {
public:
    // Watches every line the driver logs; one instance at a time.
    explicit LogCapture(LogMode mode);
    ~LogCapture(); // stops watching

    std::vector<LogLine> Lines() const;
    std::size_t Mark() const;

    // In the default mode, the lines since mark go to stderr once a step has
    // failed (each line at most once).
    void ShowAfterFailure(std::size_t mark);

    static std::string Format(const LogLine& line); // "[64] ZUL01: TRK: ..."

private:
    static void Watch(const LogLine& line, void* context);

    LogMode mode_;
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
    std::size_t shown_ = 0;
};

} // namespace zulhost
