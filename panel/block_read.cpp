#include <cstring>

#include "link/exchange.h"
#include "panel/address.h"
#include "panel/handshake.h"
#include "panel/in_step.h"
#include "panel/points.h"
#include "panel/request_link.h"
#include "panel/results.h"
#include "platform/host_log.h"

namespace {

bool HasDecodingRule(std::int32_t letter) {
    return letter == 'B' || letter == 'E' || letter == 'M' || letter == 'T' || letter == 'W' || letter == 'L' ||
           letter == 'F' || letter == 'D';
}

bool BitNumberValid(std::int32_t bit) { return bit == NoBit || (bit >= 0 && bit <= 15); }

void DecodeElement(std::int32_t letter, std::int32_t bit, const std::uint8_t* in, std::uint8_t* slot) {
    switch (letter) {
    case 'B':
        SetSlotHalf(slot, bit == NoBit ? in[0] : static_cast<std::uint16_t>((in[0] >> bit) & 1));
        break;
    case 'E':
        SetSlotHalf(slot, in[0] & 0x0F);
        break;
    case 'M':
        SetSlotHalf(slot, (in[0] >> 4) & 0x0F);
        break;
    case 'L':
        SetSlotWord(slot, in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<std::uint32_t>(in[3]) << 24));
        break;
    case 'F': {
        // The panel's two low bytes carry the value as a whole number.
        float value = static_cast<float>(in[0] + 256 * in[1]);
        std::memcpy(slot, &value, 4);
        break;
    }
    case 'D':
        SetSlotWord(slot, static_cast<std::uint32_t>(TrkDateToTime(in[0], in[1])));
        break;
    default: // T, W
        SetSlotHalf(slot, static_cast<std::uint16_t>(in[0] + 256 * in[1]));
        break;
    }
}

} // namespace

std::uint16_t SlotHalf(const std::uint8_t* slot) { return static_cast<std::uint16_t>(slot[2] | (slot[3] << 8)); }

void SetSlotHalf(std::uint8_t* slot, std::uint16_t value) {
    slot[2] = static_cast<std::uint8_t>(value & 0xFF);
    slot[3] = static_cast<std::uint8_t>(value >> 8);
}

void SetSlotWord(std::uint8_t* slot, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) slot[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

int DecodeBlock(const PointRequest& request, const MsgBuffer& reply) {
    int size = BytesPerElement(request.TypeLetter);
    int remaining = TransferByteCount(request);
    if (size <= 0 || remaining <= 0) return 0;
    const std::uint8_t* in = reply.data + 3;
    auto* slot = static_cast<std::uint8_t*>(request.ValueBuffer);
    for (; remaining > 0; remaining -= size, in += size, slot += 4) {
        DecodeElement(request.TypeLetter, request.BitNumber, in, slot);
    }
    return 0;
}

std::int32_t ReadPoints(const DriverRequest& request, const PointRequest& points) {
    std::int32_t byteCount = TransferByteCount(points);
    if (request.Channel == nullptr || !HasDecodingRule(points.TypeLetter) || byteCount < 0 ||
        !BitNumberValid(points.BitNumber) || (byteCount > 0 && points.ValueBuffer == nullptr)) {
        err(LogLevel64, "ZUL%02d: TRK: ERROR BlockRead(): Fail rc = %d", request.ChannelNumber, ReadRefused);
        return ReadRefused;
    }

    MsgBuffer frame;
    MsgBuffer reply;
    ClearMsgBuffer(frame);
    ClearMsgBuffer(reply);
    frame.data[0] = BlockReadCommand;
    frame.data[1] = static_cast<std::uint8_t>(points.PointAddress >> 16);
    frame.data[2] = static_cast<std::uint8_t>(points.PointAddress >> 8);
    frame.data[3] = static_cast<std::uint8_t>(points.PointAddress);
    frame.data[4] = static_cast<std::uint8_t>(byteCount);
    frame.length = 5;
    BuildFrame(frame);

    LinkChannel channel = LinkOf(request);
    std::int32_t result = ReadOk;
    // A read's answer is its reply code and exactly the announced value
    // bytes; a status reply, or any other length, may be a late reply to
    // another request and is refused.
    LinkResult exchange = RequestExchange(channel, frame, reply, ReplyShape{1 + byteCount, false},
                                          static_cast<std::uint32_t>(points.PointAddress));
    if (exchange.Ok()) {
        DecodeBlock(points, reply);
    } else if (!ReplyRefused(exchange)) {
        result = ReadFailed;
    } else if (reply.nakReceived) {
        result = ReadRefused;
    } else {
        // Recover the panel, but report the read as failed: no value was
        // read, and untouched slots must not pass for fresh ones.
        ConfigureAdapter(channel);
        result = ReadFailed;
    }
    if (result != ReadOk)
        err(LogLevel64, "ZUL%02d: TRK: ERROR BlockRead(): Fail rc = %d", request.ChannelNumber, result);
    return result;
}

std::int32_t BlockRead(DriverRequest* request) {
    auto* points = static_cast<const PointRequest*>(request->Params);
    if (points == nullptr) {
        err(LogLevel64, "ZUL%02d: TRK: ERROR BlockRead(): Fail rc = %d", request->ChannelNumber, ReadRefused);
        return ReadRefused;
    }
    return ReadPoints(*request, *points);
}
