#include "panel/version_reply.h"

bool IsAcceptedVersionId(std::uint8_t id) { return id == 0xF2 || id == 0xF5 || id == 0xF6 || id == 0xFA; }

void BuildFixedFrame(MsgBuffer& frame, std::uint8_t command) {
    frame.data[0] = DLE;
    frame.data[1] = STX;
    frame.data[2] = command;
    frame.data[3] = DLE;
    frame.data[4] = ETX;
    frame.length = 5;
    CalcCRC(frame);
    frame.data[5] = frame.crcLow;
    frame.data[6] = frame.crcHigh;
    frame.length = 7;
}

bool IsDataReply(const std::uint8_t* payload, int length) { return length >= 2 && payload[0] != 0x11; }

bool IsVersionReply(const std::uint8_t* payload, int length) { return length == 1 && IsAcceptedVersionId(payload[0]); }
