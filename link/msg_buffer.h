// One frame of the panel line with its check values, and the operations that
// turn a payload into a frame and received bytes back into a payload. All of
// them work in place and never touch memory outside the buffer.
#pragma once

#include <cstdint>

constexpr int MsgBufferSize = 590;

constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;
constexpr std::uint8_t ENQ = 0x05;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t DLE = 0x10;
constexpr std::uint8_t NAK = 0x15;

struct MsgBuffer {
    std::uint8_t data[MsgBufferSize];
    std::int32_t length; // meaningful bytes at the start of data; 0 after a failed step
    std::uint16_t crc;
    std::uint8_t crcHigh;
    std::uint8_t crcLow;
    std::int32_t ackReceived;
    std::int32_t nakReceived;
};

// Every exchange starts from an all-zero buffer: the flags are only ever set.
void ClearMsgBuffer(MsgBuffer& buffer);

void DLEScanAndAdd(MsgBuffer& buffer);
void WrapFrame(MsgBuffer& buffer);
void CalcCRC(MsgBuffer& buffer);
void BuildFrame(MsgBuffer& buffer);
void BreakIt(MsgBuffer& buffer);
void DLEScanAndDel(MsgBuffer& buffer);

// Where the first complete frame at or after `from` lies in raw received
// bytes: its DLE, the byte after its closing ETX, and the byte after its CRC.
struct FrameSpan {
    int start;
    int etxEnd;
    int crcEnd;
};
bool FindFrame(const MsgBuffer& buffer, int from, FrameSpan& span);

// Whether the first `received` bytes already hold a whole reply: a NAK as
// the first byte, or a frame from DLE STX through its closing ETX (the rule
// of BreakIt) and both CRC bytes, a CRC byte 0x10 only with its doubling.
// Reads nothing beyond those bytes and changes nothing.
bool ReplyComplete(const MsgBuffer& reply, int received);
