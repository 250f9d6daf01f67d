#include <cstring>

#include "link/msg_buffer.h"

namespace {

// Lengths handed in by callers are clamped so no loop below can leave data.
int ValidLength(const MsgBuffer& buffer) {
    if (buffer.length < 0) return 0;
    return buffer.length > MsgBufferSize ? MsgBufferSize : buffer.length;
}

void SetCrc(MsgBuffer& buffer, std::uint8_t low, std::uint8_t high) {
    buffer.crcLow = low;
    buffer.crcHigh = high;
    buffer.crc = static_cast<std::uint16_t>(low + 256 * high);
}

// Appends one CRC byte, doubled when it is DLE; false when it does not fit.
bool AppendStuffed(MsgBuffer& buffer, std::uint8_t byte) {
    int needed = byte == DLE ? 2 : 1;
    if (buffer.length + needed > MsgBufferSize) return false;
    buffer.data[buffer.length++] = byte;
    if (byte == DLE) buffer.data[buffer.length++] = DLE;
    return true;
}

} // namespace

void ClearMsgBuffer(MsgBuffer& buffer) { std::memset(&buffer, 0, sizeof buffer); }

void DLEScanAndAdd(MsgBuffer& buffer) {
    std::uint8_t scratch[MsgBufferSize];
    int in = ValidLength(buffer);
    int out = 0;
    for (int i = 0; i < in; ++i) {
        int needed = buffer.data[i] == DLE ? 2 : 1;
        if (out + needed > MsgBufferSize) {
            // The stuffed payload cannot be held: report it as a failed step.
            buffer.length = 0;
            return;
        }
        scratch[out++] = buffer.data[i];
        if (buffer.data[i] == DLE) scratch[out++] = DLE;
    }
    std::memcpy(buffer.data, scratch, static_cast<size_t>(out));
    buffer.length = out;
}

void WrapFrame(MsgBuffer& buffer) {
    if (buffer.length < 0 || buffer.length + 4 >= MsgBufferSize) return;
    std::uint8_t scratch[MsgBufferSize];
    int n = buffer.length;
    scratch[0] = DLE;
    scratch[1] = STX;
    std::memcpy(scratch + 2, buffer.data, static_cast<size_t>(n));
    scratch[n + 2] = DLE;
    scratch[n + 3] = ETX;
    std::memcpy(buffer.data, scratch, static_cast<size_t>(n + 4));
    buffer.length = n + 4;
}

void CalcCRC(MsgBuffer& buffer) {
    // CRC-16/X-25, bit by bit: reflected polynomial 0x8408, start and final
    // XOR 0xFFFF, over the frame body after DLE STX.
    std::uint16_t crc = 0xFFFF;
    int end = ValidLength(buffer);
    for (int i = 2; i < end; ++i) {
        crc ^= buffer.data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    crc ^= 0xFFFF;
    SetCrc(buffer, static_cast<std::uint8_t>(crc & 0xFF), static_cast<std::uint8_t>(crc >> 8));
}

void BuildFrame(MsgBuffer& buffer) {
    int payload = ValidLength(buffer);
    DLEScanAndAdd(buffer);
    int stuffed = buffer.length;
    if (stuffed < payload) {
        // The stuffed payload did not fit.
        buffer.length = 0;
        return;
    }
    WrapFrame(buffer);
    if (buffer.length != stuffed + 4) {
        buffer.length = 0;
        return;
    }
    CalcCRC(buffer);
    if (!AppendStuffed(buffer, buffer.crcLow) || !AppendStuffed(buffer, buffer.crcHigh)) {
        buffer.length = 0;
    }
}

namespace {

// Where the next DLE STX at or after `from` and before `end` begins; -1 if none.
int FrameStart(const std::uint8_t* d, int from, int end) {
    int s = from < 0 ? 0 : from;
    while (s + 1 < end && !(d[s] == DLE && d[s + 1] == STX)) ++s;
    return s + 1 < end ? s : -1;
}

// The closing ETX of the frame that starts at `start`, before `end`: the
// first ETX met after an odd number of DLE bytes since the STX (the count is
// never reset); -1 if none.
int ClosingEtx(const std::uint8_t* d, int start, int end) {
    int parity = 0;
    for (int i = start + 2; i < end && i - start + 1 <= MsgBufferSize - 1; ++i) {
        if (d[i] == DLE) {
            parity ^= 1;
        } else if (d[i] == ETX && parity == 1) {
            return i;
        }
    }
    return -1;
}

} // namespace

bool ReplyComplete(const MsgBuffer& reply, int received) {
    const std::uint8_t* d = reply.data;
    int n = received < 0 ? 0 : (received > MsgBufferSize ? MsgBufferSize : received);
    if (n >= 1 && d[0] == NAK) return true;
    int s = FrameStart(d, 0, n);
    if (s < 0) return false;
    int etx = ClosingEtx(d, s, n);
    if (etx < 0) return false;
    // Both CRC bytes; one that is DLE counts once its doubling is in too.
    int p = etx + 1;
    for (int crcByte = 0; crcByte < 2; ++crcByte) {
        if (p >= n) return false;
        p += d[p] == DLE ? 2 : 1;
    }
    return p <= n;
}

bool FindFrame(const MsgBuffer& buffer, int from, FrameSpan& span) {
    const std::uint8_t* d = buffer.data;
    int s = FrameStart(d, from, MsgBufferSize);
    if (s < 0) return false;
    int etx = ClosingEtx(d, s, MsgBufferSize);
    if (etx < 0) return false;

    // The CRC bytes must be inside the buffer too: a frame whose CRC would lie
    // beyond it counts as incomplete.
    int p = etx + 1;
    if (p < MsgBufferSize && d[p] == DLE) ++p;
    ++p; // low byte
    if (p < MsgBufferSize && d[p] == DLE && p + 1 < MsgBufferSize && d[p + 1] == DLE) ++p;
    ++p; // high byte
    if (p > MsgBufferSize) return false;

    span.start = s;
    span.etxEnd = etx + 1;
    span.crcEnd = p;
    return true;
}

void BreakIt(MsgBuffer& buffer) {
    buffer.length = 0;
    if (buffer.data[0] == ACK) {
        buffer.ackReceived = 1;
    } else if (buffer.data[0] == NAK) {
        buffer.nakReceived = 1;
        return;
    }
    FrameSpan span;
    if (!FindFrame(buffer, 0, span)) return;

    int p = span.etxEnd;
    if (buffer.data[p] == DLE) ++p;
    std::uint8_t low = buffer.data[p++];
    std::uint8_t high = buffer.data[p];
    SetCrc(buffer, low, high);

    int e = span.etxEnd - span.start;
    for (int i = 0; i < e; ++i) buffer.data[i] = buffer.data[span.start + i];
    buffer.length = e;
}

void DLEScanAndDel(MsgBuffer& buffer) {
    std::uint8_t scratch[MsgBufferSize];
    int n = ValidLength(buffer);
    int out = 0;
    for (int j = 0; j < n; ++j) {
        if (buffer.data[j] == DLE && j + 1 < n && buffer.data[j + 1] == DLE) ++j;
        scratch[out++] = buffer.data[j];
    }
    std::memcpy(buffer.data, scratch, static_cast<size_t>(out));
    buffer.length = out;
}
