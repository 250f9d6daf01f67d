#include <cstring>

#include "link/exchange.h"
#include "panel/address.h"
#include "panel/handshake.h"
#include "panel/in_step.h"
#include "panel/points.h"
#include "panel/request_link.h"
#include "panel/results.h"
#include "panel/type_letters.h"
#include "platform/host_log.h"

namespace {

bool BitNumberValid(std::int32_t bit) { return bit == NoBit || (bit >= 0 && bit <= 15); }

void DecodeElement(const TypeLetterInfo& type, std::int32_t bit, const std::uint8_t* in, std::uint8_t* slot) {
    std::uint32_t value = 0;
    switch (type.kind) {
    case ValueKind::Float: {
        // The panel's two low bytes carry the value as a whole number.
        float number = static_cast<float>(in[0] + 256 * in[1]);
        std::memcpy(&value, &number, sizeof value);
        break;
    }
    case ValueKind::Date:
        value = static_cast<std::uint32_t>(TrkDateToTime(in[0], in[1]));
        break;
    case ValueKind::Unsigned:
    case ValueKind::Signed:
        value = ValueFromBytes(type, in);
        if (type.readPicksBit && bit != NoBit) value = (in[0] >> bit) & 1;
        break;
    }
    SetSlotValue(type, value, slot);
}

} // namespace

std::uint16_t SlotHalf(const std::uint8_t* slot) { return static_cast<std::uint16_t>(slot[2] | (slot[3] << 8)); }

void SetSlotHalf(std::uint8_t* slot, std::uint16_t value) {
    slot[2] = static_cast<std::uint8_t>(value & 0xFF);
    slot[3] = static_cast<std::uint8_t>(value >> 8);
}

int DecodeBlock(const PointRequest& request, const MsgBuffer& reply) {
    const TypeLetterInfo* type = FindTypeLetter(request.TypeLetter);
    int remaining = TransferByteCount(request);
    if (type == nullptr || remaining <= 0) return 0;
    const int size = type->bytes;
    const std::uint8_t* in = reply.data + 3;
    auto* slot = static_cast<std::uint8_t*>(request.ValueBuffer);
    for (; remaining > 0; remaining -= size, in += size, slot += 4) {
        DecodeElement(*type, request.BitNumber, in, slot);
    }
    return 0;
}

std::int32_t ReadPoints(const DriverRequest& request, const PointRequest& points) {
    std::int32_t byteCount = TransferByteCount(points);
    if (request.Channel == nullptr || FindTypeLetter(points.TypeLetter) == nullptr || byteCount < 0 ||
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
