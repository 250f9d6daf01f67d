#include <cstring>

#include "link/exchange.h"
#include "panel/address.h"
#include "panel/in_step.h"
#include "panel/points.h"
#include "panel/request_link.h"
#include "panel/results.h"
#include "panel/type_letters.h"
#include "platform/host_log.h"

namespace {

// A one-element read of the point into the scratch slot, on a copy of the
// host's request so that the host's block stays as it was.
std::int32_t PreparatoryRead(const DriverRequest& request, const PointRequest& points, std::int32_t letter,
                             std::uint8_t (&scratch)[4]) {
    PointRequest copy = points;
    copy.TypeLetter = letter;
    copy.BitNumber = NoBit;
    copy.ElementCount = 1;
    copy.ValueBuffer = scratch;
    return ReadPoints(request, copy);
}

} // namespace

int WriteBit(const DriverRequest& request, std::uint8_t (&scratch)[4]) {
    const auto& points = *static_cast<const PointRequest*>(request.Params);
    bool newBit = (SlotHalf(scratch) & 1) != 0;
    std::int32_t rc = PreparatoryRead(request, points, points.TypeLetter, scratch);
    if (rc != ReadOk) return rc;
    auto mask = static_cast<std::uint16_t>(1u << points.BitNumber);
    std::uint16_t half = SlotHalf(scratch);
    SetSlotHalf(scratch, static_cast<std::uint16_t>(newBit ? (half | mask) : (half & ~mask)));
    return 0;
}

std::int32_t BlockWrite(DriverRequest* request) {
    auto* points = static_cast<const PointRequest*>(request->Params);
    std::int32_t result = WriteOk;
    MsgBuffer frame;
    MsgBuffer reply;
    std::uint8_t scratch[4] = {0, 0, 0, 0};
    ClearMsgBuffer(frame);
    ClearMsgBuffer(reply);

    std::int32_t n = points ? TransferByteCount(*points) : -1;
    const TypeLetterInfo* type = points ? FindTypeLetter(points->TypeLetter) : nullptr;
    bool bitWrite = points && points->BitNumber != NoBit;
    bool merged = type && (bitWrite || type->Nibble());
    if (points == nullptr || request->Channel == nullptr || n < 0 || type == nullptr ||
        type->write == WriteRule::None ||
        (points->BitNumber != NoBit && (points->BitNumber < 0 || points->BitNumber > 15)) ||
        (merged && points->ElementCount > 1) || (n > 0 && points->ValueBuffer == nullptr)) {
        // Nothing that could be sent safely: no exchange at all.
        result = WriteRefused;
    } else {
        frame.data[0] = BlockWriteCommand;
        frame.data[1] = static_cast<std::uint8_t>(points->PointAddress >> 16);
        frame.data[2] = static_cast<std::uint8_t>(points->PointAddress >> 8);
        frame.data[3] = static_cast<std::uint8_t>(points->PointAddress);
        frame.data[4] = static_cast<std::uint8_t>(n);
        frame.length = 5 + n;

        const int size = type->bytes;
        std::uint8_t* out = frame.data + 5;
        const auto* slot = static_cast<const std::uint8_t*>(points->ValueBuffer);
        for (int remaining = n; remaining > 0 && result == WriteOk; remaining -= size, slot += 4) {
            const std::uint8_t* source = slot;
            if (bitWrite) {
                std::memcpy(scratch, slot, 4);
                result = WriteBit(*request, scratch);
                source = scratch;
            }
            if (result != WriteOk) break;
            if (type->write == WriteRule::Copy) {
                // The element's bytes as the slot holds them: a half's
                // bytes 2-3, or all four.
                const std::uint8_t* bytes = type->slot == SlotPart::Half ? source + 2 : source;
                for (int i = 0; i < size; ++i) *out++ = bytes[i];
            } else {
                // A nibble, merged into the panel's current byte.
                std::uint32_t value = source[2];
                result = PreparatoryRead(*request, *points, 'B', scratch);
                if (result == ReadOk) *out++ = MergeIntoByte(*type, scratch[2], value);
            }
        }

        if (result == WriteOk) {
            LinkChannel channel = LinkOf(*request);
            BuildFrame(frame);
            if (frame.length == 0) {
                result = WriteRefused;
            } else {
                LinkResult exchange = RequestExchange(channel, frame, reply, ReplyShape{},
                                                      static_cast<std::uint32_t>(points->PointAddress));
                if (ReplyRefused(exchange)) {
                    err(LogLevel64, "ZUL%02d: TRK: ERROR BlockWrite():CheckReply() Fail rc = %d",
                        request->ChannelNumber, LinkResultCode(exchange));
                    result = WriteRefused;
                } else if (!exchange.Ok()) {
                    result = WriteFailed;
                }
            }
        }
    }
    if (result != WriteOk)
        err(LogLevel64, "ZUL%02d: TRK: ERROR BlockWrite(): Fail rc = %d", request->ChannelNumber, result);
    return result;
}
