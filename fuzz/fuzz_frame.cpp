// The frame codec and the reply check on arbitrary bytes: received bytes
// through BreakIt and through CheckReply, and the input as a payload through
// BuildFrame and back, judged against an independent reading of the format.
#include <algorithm>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "link/exchange.h"

using namespace fuzz;

namespace {

void Load(MsgBuffer& buffer, const std::uint8_t* data, std::size_t size) {
    ClearMsgBuffer(buffer);
    std::copy(data, data + (size < MsgBufferSize ? size : MsgBufferSize), buffer.data);
}

// DLE STX ... ETX. The closing ETX follows an odd number of DLE bytes since
// the STX, which need not include the byte right before it.
bool IsFrame(const MsgBuffer& b) {
    int n = b.length;
    return n >= 4 && n <= MsgBufferSize && b.data[0] == DLE && b.data[1] == STX && b.data[n - 1] == ETX;
}

bool EndsInDleEtx(const MsgBuffer& b) { return IsFrame(b) && b.data[b.length - 2] == DLE; }

void Received(const std::uint8_t* data, std::size_t size) {
    Bytes raw(data, data + (size < MsgBufferSize ? size : MsgBufferSize));
    ref::Parsed expected = ref::Parse(raw);

    MsgBuffer b;
    Load(b, data, size);
    BreakIt(b);
    Check(b.length >= 0 && b.length <= MsgBufferSize - 1, "BreakIt length out of range");
    Check(b.crc == b.crcLow + 256 * b.crcHigh || b.length == 0, "BreakIt crc halves disagree");
    Check(b.nakReceived == (size > 0 && data[0] == NAK), "BreakIt NAK flag");
    Check(b.ackReceived == (size > 0 && data[0] == ACK), "BreakIt ACK flag");
    Check((b.length > 0) == expected.framed, "BreakIt found a frame the format does not give");
    if (b.length > 0) Check(IsFrame(b), "BreakIt result is not DLE STX ... ETX");

    MsgBuffer r;
    Load(r, data, size);
    int rc = LinkResultCode(CheckReply(r));
    Check(rc >= 0 && rc <= 255, "CheckReply result out of range");
    Check(r.length >= 0 && r.length <= MsgBufferSize, "CheckReply length out of range");
    if (expected.nak) Check(rc == 1, "NAK not refused with 1");
    if (!expected.nak && !expected.framed) Check(rc == 2, "missing frame not refused with 2");
    // A second frame behind the first makes the reply ambiguous: 2 then.
    if (expected.framed && !expected.crcOk) Check(rc == 2 || rc == 3, "bad CRC not refused");
    if (rc == 0) {
        Check(expected.framed && expected.crcOk, "CheckReply accepted a reply the format refuses");
        Check(IsFrame(r), "accepted reply is not DLE STX ... ETX");
        Check(ReplyPayloadLength(r) == static_cast<int>(expected.payload.size()), "accepted payload length");
        Check(std::equal(expected.payload.begin(), expected.payload.end(), r.data + 2), "accepted payload differs");
        Check(!(expected.payload.size() >= 2 && expected.payload[0] == 0x11 && expected.payload[1] != 0),
              "status reply with a non-zero status accepted");
    }
}

void RoundTrip(const std::uint8_t* data, std::size_t size) {
    if (size > MsgBufferSize) size = MsgBufferSize;
    Bytes payload(data, data + size);
    Bytes expected = ref::Frame(payload);

    MsgBuffer b;
    Load(b, data, size);
    b.length = static_cast<std::int32_t>(size);
    BuildFrame(b);
    if (expected.size() > static_cast<std::size_t>(MsgBufferSize)) {
        Check(b.length == 0, "BuildFrame made a frame that does not fit");
        return;
    }
    Check(b.length == static_cast<std::int32_t>(expected.size()), "BuildFrame length");
    Check(std::memcmp(b.data, expected.data(), expected.size()) == 0, "BuildFrame bytes");

    // Back again, as the reply check does it.
    MsgBuffer rx;
    ClearMsgBuffer(rx);
    std::memcpy(rx.data, b.data, static_cast<std::size_t>(b.length));
    BreakIt(rx);
    Check(rx.length == static_cast<std::int32_t>(ref::Stuff(payload).size()) + 4, "BreakIt frame length");
    std::uint16_t received = rx.crc;
    CalcCRC(rx);
    Check(received == rx.crc, "CRC read back differs from CRC computed");
    DLEScanAndDel(rx);
    Check(rx.length == static_cast<std::int32_t>(size) + 4, "unstuffed length");
    Check(EndsInDleEtx(rx), "unstuffed frame shape");
    Check(std::equal(payload.begin(), payload.end(), rx.data + 2), "payload did not come back");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QuietLog();
    Received(data, size);
    RoundTrip(data, size);
    return 0;
}
