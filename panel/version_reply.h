// The version request and its reply: the one frame of the panel's that no
// read or write reply can be, which is what lets it fence a line.
#pragma once

#include <cstdint>

#include "link/msg_buffer.h"

constexpr std::uint8_t WakeCommand = 0x31;
constexpr std::uint8_t VersionCommand = 0xF0;

bool IsAcceptedVersionId(std::uint8_t id);

// The two fixed frames: a one-byte command between DLE STX and DLE ETX,
// followed by their CRC (which has no DLE byte, so no doubling).
void BuildFixedFrame(MsgBuffer& frame, std::uint8_t command);

// A read reply of one element or more: a payload of two bytes or more that
// is not a status reply. It can never answer a version request.
bool IsDataReply(const std::uint8_t* payload, int length);
// A payload of one byte that is an accepted identifier. No read reply (of
// one element or more, or of none, whose one byte is the reply code) and no
// status reply is such a frame.
bool IsVersionReply(const std::uint8_t* payload, int length);
