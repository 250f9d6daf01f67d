// Names what went over the panel's line, frame by frame: the driver's
// requests (wake frame, version request, block read, block write) and its
// ACK, the panel's replies (identifier, read values, status), its ACK, NAK
// and ENQ, frames whose CRC is wrong and bytes outside any frame; and links
// each reply to the request it answers.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "trace/capture.h"
#include "trace/frame_scanner.h"

namespace zultrace {

struct Item {
    enum class Kind { Frame, Control, Noise, Broken };
    int number = 0;   // 1, 2, ... in the order items are complete
    double time = -1; // of the chunk that completed it; < 0: none
    Direction direction = Direction::Unknown;
    Kind kind = Kind::Noise;
    Bytes raw;           // as on the line
    std::string meaning; // in words
    std::string crc;     // "good" or "bad" for a frame, else empty
    int replyTo = 0;     // the request this answers, 0 for none
    double replyMs = -1; // its time after that request; < 0: unknown

    // What the frame carries, where it carries it (-1: nothing).
    int command = -1;
    long address = -1;
    int count = -1;
    int status = -1;
    int versionId = -1;
    Bytes payload; // unstuffed, frames only
    Bytes values;  // the value bytes of a read reply or a write
};

const char* KindName(Item::Kind kind);

class LineDecoder {
public:
    // The items that the chunk completes. A frame left unfinished comes out
    // cut off when its side stays silent longer than FrameGap, when the
    // other side starts sending after it paused for TurnGap (the line is
    // half duplex), or at the end of the capture from Finish().
    std::vector<Item> Feed(const Chunk& chunk);
    std::vector<Item> Finish();

private:
    struct Pending {
        int number = 0;
        double time = -1;
        int command = -1;
        int count = 0;
    };
    static constexpr double FrameGap = 0.100, TurnGap = 0.020; // seconds; the driver itself stops after 0.05
    zultrace::FrameScanner& ScannerFor(Direction d);
    void ExpireStale(const Chunk& chunk, std::vector<Item>& out);
    void Emit(const Inbound& in, Direction d, double time, std::vector<Item>& out);
    void NameHostFrame(Item& item);
    void NamePanelFrame(Item& item);
    void NameControl(Item& item);
    void Answer(Item& item);

    std::array<FrameScanner, 3> scanners_;       // by direction
    std::array<double, 3> lastTime_{-1, -1, -1}; // of each direction's latest chunk
    Pending pending_;                            // the request that waits for its answer
    int next_ = 1;
};

// Bytes as "10 02 F0", after `most` of them " ..." (0: all).
std::string HexText(const Bytes& bytes, std::size_t most = 0);

// The items as a table, one line each, times relative to the first item's.
std::string FormatTable(const std::vector<Item>& items);
std::string FormatItem(const Item& item, double origin);

} // namespace zultrace
