// The driver's log lines, as the host library hands them to the tool: kept
// for the report, shown on stderr as the log mode says, and read for the two
// facts a start leaves only there (the panel's identifier, the handshake's rc).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "host/tool/command_line.h"

namespace zulhost {

struct LogLine {
    int level;
    std::string text;
};

class LogCapture {
public:
    // Installs itself as the host library's sink; one instance at a time.
    explicit LogCapture(LogMode mode);
    ~LogCapture(); // restores the default sink

    const std::vector<LogLine>& Lines() const { return lines_; }
    std::size_t Mark() const { return lines_.size(); }

    // What the lines since mark say about a cold start: the identifier of
    // "TRACKER Ver.ID = 0x..h", and the rc of "ColdStart(): Fail rc = N".
    std::optional<unsigned> PanelIdSince(std::size_t mark) const;
    std::optional<int> HandshakeFailureSince(std::size_t mark) const;

    // In the default mode, the lines since mark go to stderr once a step has
    // failed (each line at most once).
    void ShowAfterFailure(std::size_t mark);

    static std::string Format(const LogLine& line); // "[64] ZUL01: TRK: ..."

private:
    static void Sink(int level, const char* text, void* context);

    LogMode mode_;
    std::vector<LogLine> lines_;
    std::size_t shown_ = 0;
};

} // namespace zulhost
