// Frames cut off on the line, as a tap records them: where each one must
// end, so that what follows it (an ENQ, the host's retry, a new frame) is
// still read as itself. The decoder and the dissector are held to one table.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "link/msg_buffer.h"
#include "trace/capture.h"

namespace cutoff {

using zultrace::Bytes;
using zultrace::Direction;

inline Bytes Frame(const Bytes& payload) {
    MsgBuffer b;
    ClearMsgBuffer(b);
    std::memcpy(b.data, payload.data(), payload.size());
    b.length = static_cast<int>(payload.size());
    BuildFrame(b);
    return Bytes(b.data, b.data + b.length);
}

inline Bytes Part(const Bytes& b, std::size_t from, std::size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

struct Record {
    int ms;
    Direction direction;
    Bytes bytes;
};

struct Case {
    const char* name;
    std::vector<Record> records;
    const char* types; // the dissector's item types, '|' between them
};

constexpr Direction H = Direction::HostToPanel, P = Direction::PanelToHost;

inline std::vector<Case> Cases() {
    const Bytes read = Frame({0x50, 0x01, 0xA2, 0xF3, 0x04}), reply = Frame({0x50, 0x34, 0x12, 0x78, 0x56});
    return {
        {"cut off, then an ENQ long after",
         {{0, H, read}, {2, P, Part(reply, 0, 5)}, {240, P, {0x05}}},
         "read_request|broken|enq"},
        {"cut right after a DLE, then the host's retry",
         {{0, H, read}, {2, P, Part(reply, 0, 8)}, {55, H, read}, {57, P, reply}, {107, H, {0x06}}},
         "read_request|broken|read_request|read_reply|ack"},
        {"a reply in USB packets 16 ms apart is whole",
         {{0, H, read}, {18, P, Part(reply, 0, 6)}, {34, P, Part(reply, 6, reply.size())}, {84, H, {0x06}}},
         "read_request|read_reply|ack"},
        {"cut off as the capture ends, over two records",
         {{0, H, read}, {2, P, Part(reply, 0, 4)}, {5, P, Part(reply, 4, 7)}},
         "read_request|broken"},
    };
}

inline std::vector<zultrace::Chunk> Chunks(const Case& c) {
    std::vector<zultrace::Chunk> chunks;
    for (const Record& r : c.records) {
        zultrace::Chunk chunk;
        chunk.time = 1700000000.0 + r.ms / 1000.0;
        chunk.direction = r.direction;
        chunk.bytes = r.bytes;
        chunks.push_back(chunk);
    }
    return chunks;
}

} // namespace cutoff
