#include "link/read_past.h"

#include <cstring>

namespace {

// Where a frame that begins at `start` (DLE STX) ends in the first n bytes.
struct FrameExtent {
    int end;       // the byte after it
    bool complete; // closing DLE ETX and both CRC bytes are in
    bool broken;   // a new DLE STX began inside it, or it outgrew a buffer: it ends there
};

// The closing ETX is the first one after an odd number of DLE bytes, as the
// reply check finds it. A STX in that place cannot be part of a stuffed
// body: a frame cut short was followed by a new one, which begins there.
FrameExtent ExtentOf(const std::uint8_t* d, int start, int n) {
    int parity = 0;
    for (int i = start + 2; i < n; ++i) {
        if (i - start + 1 > MsgBufferSize - 1) return {i, false, true};
        if (d[i] == DLE) {
            parity ^= 1;
        } else if (parity == 1 && d[i] == STX) {
            return {i - 1, false, true};
        } else if (parity == 1 && d[i] == ETX) {
            int p = i + 1;
            for (int crcByte = 0; crcByte < 2; ++crcByte) {
                if (p >= n) return {n, false, false};
                p += d[p] == DLE ? 2 : 1;
            }
            if (p > n) return {n, false, false};
            return {p, true, false};
        }
    }
    return {n, false, false};
}

int FrameStartIn(const std::uint8_t* d, int n) {
    for (int s = 0; s + 1 < n; ++s) {
        if (d[s] == DLE && d[s + 1] == STX) return s;
    }
    return -1;
}

// Whether the complete frame in d[start, end) has a good CRC and a payload
// that `test` accepts.
bool Passes(const std::uint8_t* d, int start, int end, FrameTest test) {
    if (test == nullptr) return false;
    MsgBuffer frame;
    ClearMsgBuffer(frame);
    std::memcpy(frame.data, d + start, static_cast<std::size_t>(end - start));
    BreakIt(frame);
    if (frame.length == 0) return false;
    std::uint16_t received = frame.crc;
    CalcCRC(frame);
    if (received != frame.crc) return false;
    DLEScanAndDel(frame);
    return test(frame.data + 2, frame.length - 4);
}

void DropFront(MsgBuffer& reply, int& received, int count) {
    std::memmove(reply.data, reply.data + count, static_cast<std::size_t>(received - count));
    std::memset(reply.data + received - count, 0, static_cast<std::size_t>(count));
    received -= count;
}

int DropLeadingMatches(MsgBuffer& reply, int& received, FrameTest test) {
    int dropped = 0;
    while (received > 0 && reply.data[0] != NAK) {
        int start = FrameStartIn(reply.data, received);
        if (start < 0) break;
        FrameExtent frame = ExtentOf(reply.data, start, received);
        if (!frame.complete || !Passes(reply.data, start, frame.end, test)) break;
        DropFront(reply, received, frame.end);
        ++dropped;
    }
    return dropped;
}

int DropAllButAnswer(MsgBuffer& reply, int& received, FrameTest answer) {
    int dropped = 0;
    for (;;) {
        int start = FrameStartIn(reply.data, received);
        if (start < 0) {
            // A DLE at the very end may be the first byte of the next frame.
            int keep = received > 0 && reply.data[received - 1] == DLE ? 1 : 0;
            DropFront(reply, received, received - keep);
            return dropped;
        }
        DropFront(reply, received, start);
        FrameExtent frame = ExtentOf(reply.data, 0, received);
        if (!frame.broken && !frame.complete) return dropped;
        if (frame.complete && Passes(reply.data, 0, frame.end, answer)) {
            // Only later answers can follow the answer: nothing after it is kept.
            std::memset(reply.data + frame.end, 0, static_cast<std::size_t>(received - frame.end));
            received = frame.end;
            return dropped;
        }
        DropFront(reply, received, frame.end);
        ++dropped;
    }
}

} // namespace

int DropStale(MsgBuffer& reply, int& received, const ReplyShape& shape) {
    switch (shape.readPast) {
    case ReadPast::LeadingMatch:
        return DropLeadingMatches(reply, received, shape.frames);
    case ReadPast::AllButAnswer:
        return DropAllButAnswer(reply, received, shape.frames);
    case ReadPast::Nothing:
        break;
    }
    return 0;
}
