// A capture of the panel's line: the bytes one side put on the line, with
// their time and their direction, as the simulator, the host tool's
// built-in panel and the spy record them, and as captures taken elsewhere
// (a hex dump, socat -x, the simulator's text trace) are read back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zultrace {

using Bytes = std::vector<std::uint8_t>;

enum class Direction : std::uint8_t {
    HostToPanel = 0, // the driver's side: requests, the ACK after each exchange
    PanelToHost = 1, // the panel's side: replies, ACK, NAK, ENQ
    Unknown = 2,     // a capture that does not say (a plain hex dump)
};

const char* DirectionName(Direction d); // "host>", "panel>", "?"

struct Chunk {
    double time = -1; // seconds (since the epoch in pcap; as given in text formats); < 0: none
    Direction direction = Direction::Unknown;
    Bytes bytes;
};

// Classic pcap (magic a1b2c3d4, version 2.4, microseconds), link type
// DLT_USER0 (147). Each record: one byte of direction (0 host to panel,
// 1 panel to host), then the bytes that side put on the line.
constexpr std::uint32_t LinkTypeUser0 = 147;

class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    // Creates (or truncates) the file and writes the header; false with a message.
    bool Open(const std::string& path, std::string* error);
    // Safe to call from any one thread at a time; records are flushed at once,
    // so a capture is readable while it grows and after a crash.
    void Record(Direction direction, const std::uint8_t* bytes, std::size_t count);
    void Record(Direction direction, const std::uint8_t* bytes, std::size_t count, double unixSeconds);
    bool IsOpen() const { return file_ != nullptr; }
    void Close();

private:
    std::FILE* file_ = nullptr;
};

// Reads a whole pcap of ours (either byte order, micro- or nanosecond
// stamps). False with a message for anything else.
bool ReadPcap(const Bytes& file, std::vector<Chunk>& chunks, std::string* error);

// Reads a capture in any of the formats we know, told apart by content:
// pcap, `socat -x` (with or without -v), the simulator's trace, a plain hex
// dump. `format` names the one found.
bool ReadCapture(const Bytes& file, std::vector<Chunk>& chunks, std::string* format, std::string* error);

// Seconds since the epoch, now.
double UnixNow();

} // namespace zultrace
