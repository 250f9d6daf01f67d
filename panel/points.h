// Block read and block write of panel points, and the conversions between
// the panel's bytes and the host's 4-byte value slots.
#pragma once

#include <cstdint>

#include "driver/zultrk.h"
#include "link/msg_buffer.h"

constexpr std::uint8_t BlockReadCommand = 0x50;
constexpr std::uint8_t BlockWriteCommand = 0x60;
constexpr int MaxTransferBytes = 255;

// The request operations (codes 5 and 6, 7 and 10).
std::int32_t BlockRead(DriverRequest* request);
std::int32_t BlockWrite(DriverRequest* request);

// Seconds since 1970 of local midnight of a panel day number (1 is
// 1 January 1977), or -1 when that does not fit a signed 32-bit value.
std::int32_t TrkDateToTime(std::uint8_t low, std::uint8_t high);

// Fills the value slots from an accepted read reply; always 0.
int DecodeBlock(const PointRequest& request, const MsgBuffer& reply);

// Performs the bit merge of a bit write into the scratch slot: 0, or the
// preparatory read's non-zero result.
int WriteBit(const DriverRequest& request, std::uint8_t (&scratch)[4]);

// Reads into slots the caller owns, with the request's channel; shared by
// the host's read requests and the write's preparatory reads.
std::int32_t ReadPoints(const DriverRequest& request, const PointRequest& points);

// The 16-bit half of a 4-byte value slot, where a bit write merges its bit.
std::uint16_t SlotHalf(const std::uint8_t* slot);
void SetSlotHalf(std::uint8_t* slot, std::uint16_t value);
