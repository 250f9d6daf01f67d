#include "link/exchange.h"

#include <cstring>

#include "platform/host_log.h"
#include "serial/port.h"

namespace {

// True when every one of the n bytes is ENQ, the panel's announcement that
// it is ready, which it repeats while the driver is silent.
bool OnlyAnnouncements(const std::uint8_t* bytes, std::uint32_t n) {
    if (n == 0) return false;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (bytes[i] != ENQ) return false;
    }
    return true;
}

// Whole pauses that cover a stretch of line time.
int PausesFor(std::chrono::microseconds time) {
    const std::int64_t pause = std::chrono::microseconds(EmptyPollPause).count();
    return static_cast<int>((time.count() + pause - 1) / pause);
}

bool FitsShape(const MsgBuffer& reply, const ReplyShape& shape) {
    if (!shape.statusAnswers && reply.data[2] == StatusReplyCode) return false;
    return shape.payloadLength < 0 || ReplyPayloadLength(reply) == shape.payloadLength;
}

// One pause of a receive: waits for a byte, at most EmptyPollPause, and
// stores it; true when one came. Where reads cannot wait, or the read
// fails, the pause is a plain sleep.
bool WaitForByte(HANDLE port, const ReadWaitScope& waits, MsgBuffer& reply, int& received, bool& begun) {
    if (waits.Active()) {
        std::uint32_t gathered = 0;
        PortResult rc = ReadComm(port, reply.data + received, 1, &gathered);
        if (gathered == 1) {
            begun = begun || reply.data[received] != ENQ;
            ++received;
            return true;
        }
        if (rc == PortResult::NothingRead) return false;
    }
    Pause(EmptyPollPause);
    return false;
}

} // namespace

ReceiveLimits LimitsFor(const LinkChannel& channel, int requestBytes) {
    int request = PausesFor(channel.characterTime * (requestBytes > 0 ? requestBytes : 0));
    int fullBuffer = PausesFor(channel.characterTime * MsgBufferSize);
    int beforeFirstByte = SilentPolls + request;
    return ReceiveLimits{beforeFirstByte, SilentPolls, beforeFirstByte + fullBuffer + SilentPolls};
}

// Reads and discards until the input has been idle for DrainIdle, at most
// DrainCap in all. Every round pauses, so the drain ends in bounded time even
// on a line that never falls silent. ENQ bytes alone are not reply traffic: a
// panel that announces itself during the drain's own silence would otherwise
// keep every drain going to the cap.
void DrainLine(HANDLE port) {
    std::uint8_t scratch[MsgBufferSize];
    milliseconds idle{0};
    for (milliseconds elapsed{0}; elapsed < DrainCap && idle < DrainIdle; elapsed += EmptyPollPause) {
        int waiting = GetInQueue(port);
        if (waiting > 0) {
            std::uint32_t ask = waiting > MsgBufferSize ? MsgBufferSize : static_cast<std::uint32_t>(waiting);
            std::uint32_t gathered = 0;
            ReadComm(port, scratch, ask, &gathered);
            idle = OnlyAnnouncements(scratch, gathered) ? idle + EmptyPollPause : milliseconds{0};
        } else {
            idle += EmptyPollPause;
        }
        Pause(EmptyPollPause);
    }
}

int GetInQueue(HANDLE port) {
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    // A port whose status cannot be read reports nothing waiting.
    if (!ClearCommError(port, &errors, &stat)) return 0;
    return stat.cbInQue > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(stat.cbInQue);
}

LinkResult SendStr(const LinkChannel& channel, const std::uint8_t* bytes, std::int32_t count) {
    FlushInput(channel.port);
    std::uint32_t written = 0;
    std::uint32_t ask = count < 0 ? 0 : static_cast<std::uint32_t>(count);
    PortResult rc = WriteComm(channel.port, bytes, ask, &written);
    LinkResult result;
    if (rc == PortResult::ShortWrite) {
        result = Linked(LinkStatus::ShortWrite, static_cast<int>(written));
    } else if (rc != PortResult::Ok) {
        result = Linked(LinkStatus::WriteFailed);
    }
    if (!result.Ok()) {
        err(LogLevel64, "ZUL%02d: TRK: ERROR SendStr(): rc = %d", channel.number, LinkResultCode(result));
    }
    return result;
}

LinkResult RecvStr(const LinkChannel& channel, MsgBuffer& reply, const ReceiveLimits& limits) {
    // Each attempt starts from clean data, so no byte of an earlier attempt
    // can pass for part of this one's reply.
    std::memset(reply.data, 0, sizeof reply.data);
    int received = 0;
    bool begun = false; // a byte other than an announcement has come
    int quietPolls = 0; // pauses without a byte since the reply's last byte (or the start)
    // The cap counts real time: a pause that ends early on a byte is shorter.
    const DWORD started = GetTickCount();
    const DWORD cap = static_cast<DWORD>(limits.total) * static_cast<DWORD>(EmptyPollPause.count());
    LinkResult result;
    // Each pause waits for the next byte rather than sleeping: a one-byte
    // read that ends when a byte comes, or after the pause with nothing.
    ReadWaitScope waits(channel.port, EmptyPollPause);
    for (;;) {
        int waiting = GetInQueue(channel.port);
        if (waiting > 0) {
            // The buffer holds one frame at most; once it is full the receive
            // ends, which also bounds it on a line that never falls silent.
            int room = MsgBufferSize - received;
            std::uint32_t ask = static_cast<std::uint32_t>(waiting < room ? waiting : room);
            std::uint32_t gathered = 0;
            PortResult rc = ReadComm(channel.port, reply.data + received, ask, &gathered);
            result = rc == PortResult::Ok ? LinkResult{} : Linked(LinkStatus::ReadFailed);
            // ENQ is the panel announcing itself, not the start of a reply:
            // one that was on its way when the request went out must not
            // cut the wait for the reply to the silence of one begun.
            for (std::uint32_t i = 0; i < gathered && !begun; ++i) begun = reply.data[received + i] != ENQ;
            received += static_cast<int>(gathered);
            if (received >= MsgBufferSize) break;
            if (gathered > 0) {
                if (begun) quietPolls = 0;
                continue;
            }
            // Bytes that wait but cannot be read count as an empty poll, so
            // a failing port cannot keep the receive busy for ever.
        }
        if (ReplyComplete(reply, received)) break;
        int allowed = begun ? limits.silence : limits.beforeFirstByte;
        if (quietPolls >= allowed || GetTickCount() - started >= cap) break;
        if (WaitForByte(channel.port, waits, reply, received, begun)) {
            if (received >= MsgBufferSize) break;
            if (begun) quietPolls = 0;
        } else {
            ++quietPolls;
        }
    }
    if (received == 0) result = Linked(LinkStatus::NoReply);
    if (!result.Ok()) {
        err(LogLevel64, "ZUL%02d: TRK: ERROR RecvStr(): rc = %d", channel.number, LinkResultCode(result));
    }
    return result;
}

LinkResult HandleCommSendRecv(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply,
                              int* silentAttempts) {
    // The write may return before its bytes are on the wire (a USB adapter
    // takes them at once), so the wait for the first byte of the reply
    // includes the request's own line time; a reply that comes sooner ends
    // the receive all the same.
    const ReceiveLimits limits = LimitsFor(channel, frame.length);
    LinkResult result;
    int silent = 0;
    for (int attempt = 0; attempt < ExchangeAttempts; ++attempt) {
        result = SendStr(channel, frame.data, frame.length);
        if (result.Ok()) {
            result = RecvStr(channel, reply, limits);
            if (result.status == LinkStatus::NoReply) ++silent;
        }
        if (result.Ok()) break;
    }
    static const std::uint8_t ack = ACK;
    SendStr(channel, &ack, 1);
    if (!result.Ok()) {
        err(LogLevel64, "ZUL%02d: TRK: ERROR HandleCommSendRecv(): rc = %d", channel.number, LinkResultCode(result));
    }
    if (silentAttempts) *silentAttempts = silent;
    return result;
}

LinkResult Exchange(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply, ReplyShape shape) {
    int silent = 0;
    LinkResult result = HandleCommSendRecv(channel, frame, reply, &silent);
    if (result.Ok()) {
        result = CheckReply(reply);
        if (result.Ok() && !FitsShape(reply, shape)) result = Linked(LinkStatus::Unexpected);
    }
    // The rest of a refused reply, or the late answer to an attempt that
    // heard nothing, must not be waiting when the next request listens.
    if (!result.Ok() || silent > 0) DrainLine(channel.port);
    return result;
}

LinkResult CheckReply(MsgBuffer& reply) {
    // A second frame after the first (a late reply beside the right one, in
    // either order) makes the reply ambiguous: it is refused like no frame.
    FrameSpan first;
    FrameSpan second;
    bool ambiguous = reply.data[0] != NAK && FindFrame(reply, 0, first) && FindFrame(reply, first.crcEnd, second);

    BreakIt(reply);
    if (reply.nakReceived) {
        err(LogLevel64, "ERROR ChekReply:NAK recieved");
        return Linked(LinkStatus::Nak);
    }
    if (reply.length == 0 || ambiguous) {
        reply.length = 0;
        err(LogLevel64, "ERROR ChekReply:BreakIt() Failed");
        return Linked(LinkStatus::NoFrame);
    }
    std::uint16_t received = reply.crc;
    CalcCRC(reply);
    if (received != reply.crc) {
        err(LogLevel64, "ERROR ChekReply:received CRC = %X , Calculated CRC = %X", static_cast<unsigned>(received),
            static_cast<unsigned>(reply.crc));
        return Linked(LinkStatus::CrcMismatch);
    }
    DLEScanAndDel(reply);
    if (reply.data[2] == StatusReplyCode && reply.data[3] != 0) {
        err(LogLevel64, "ERROR ChekReply():Status reply = %X", static_cast<unsigned>(reply.data[3]));
        return Linked(LinkStatus::PanelStatus, reply.data[3]);
    }
    return LinkResult{};
}
