#include "link/exchange.h"

#include <cstring>

#include "driver/host_log.h"
#include "serial/port.h"

namespace {

HANDLE PortOf(const DriverRequest& request) { return request.Channel->PortHandle; }

// True when every one of the n bytes is ENQ, the panel's announcement that
// it is ready, which it repeats while the driver is silent.
bool OnlyAnnouncements(const std::uint8_t* bytes, std::uint32_t n) {
    if (n == 0) return false;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (bytes[i] != ENQ) return false;
    }
    return true;
}

// Reads and discards until the input has been idle for LateReplyIdleMs, at
// most LateReplyDrainCapMs in all. Every round pauses, so the drain ends in
// bounded time even on a line that never falls silent. ENQ bytes alone are
// not reply traffic: a panel that announces itself during the drain's own
// silence would otherwise keep every drain going to the cap.
void DrainLateReply(HANDLE port) {
    std::uint8_t scratch[MsgBufferSize];
    int idle = 0;
    for (int elapsed = 0; elapsed < LateReplyDrainCapMs && idle < LateReplyIdleMs;
         elapsed += static_cast<int>(EmptyPollPauseMs)) {
        int waiting = GetInQueue(port);
        if (waiting > 0) {
            std::uint32_t ask = waiting > MsgBufferSize ? MsgBufferSize : static_cast<std::uint32_t>(waiting);
            std::uint32_t gathered = 0;
            ReadComm(port, scratch, ask, &gathered);
            idle = OnlyAnnouncements(scratch, gathered) ? idle + static_cast<int>(EmptyPollPauseMs) : 0;
        } else {
            idle += static_cast<int>(EmptyPollPauseMs);
        }
        Sleep(EmptyPollPauseMs);
    }
}

} // namespace

int GetInQueue(HANDLE port) {
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    // A port whose status cannot be read reports nothing waiting.
    if (!ClearCommError(port, &errors, &stat)) return 0;
    return stat.cbInQue > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(stat.cbInQue);
}

int SendStr(const DriverRequest& request, const std::uint8_t* bytes, std::int32_t count) {
    HANDLE port = PortOf(request);
    FlushInput(port);
    std::uint32_t written = 0;
    std::uint32_t ask = count < 0 ? 0 : static_cast<std::uint32_t>(count);
    int rc = WriteComm(port, bytes, ask, &written);
    int result = 0;
    if (rc == PortCallFailed) {
        result = 7;
    } else if (rc != PortOk) {
        result = written == 0 ? 2 : static_cast<int>(written);
    }
    if (result != 0) err(LogLevel64, "ZUL%02d: TRK: ERROR SendStr(): rc = %d", request.ChannelNumber, result);
    return result;
}

int RecvStr(const DriverRequest& request, MsgBuffer& reply) {
    HANDLE port = PortOf(request);
    // Each attempt starts from clean data, so no byte of an earlier attempt
    // can pass for part of this one's reply.
    std::memset(reply.data, 0, sizeof reply.data);
    int received = 0;
    int allowance = EmptyPollAllowance;
    int result = 0;
    for (;;) {
        int waiting = GetInQueue(port);
        if (waiting == 0 && allowance == 0) break;
        if (waiting > 0) {
            // The buffer holds one frame at most; once it is full the receive
            // ends, which also bounds it on a line that never falls silent.
            int room = MsgBufferSize - received;
            std::uint32_t ask = static_cast<std::uint32_t>(waiting < room ? waiting : room);
            std::uint32_t gathered = 0;
            result = ReadComm(port, reply.data + received, ask, &gathered);
            received += static_cast<int>(gathered);
            if (received >= MsgBufferSize) break;
            if (gathered == 0) {
                // Bytes that wait but cannot be read count as an empty poll,
                // so a failing port cannot keep the receive busy for ever.
                if (allowance == 0) break;
                --allowance;
                Sleep(EmptyPollPauseMs);
            }
        } else {
            --allowance;
            Sleep(EmptyPollPauseMs);
        }
    }
    if (received == 0) result = 2;
    if (result != 0) err(LogLevel64, "ZUL%02d: TRK: ERROR RecvStr(): rc = %d", request.ChannelNumber, result);
    return result;
}

int HandleCommSendRecv(const DriverRequest& request, const MsgBuffer& frame, MsgBuffer& reply) {
    int result = 0;
    bool heardNothing = false;
    for (int attempt = 0; attempt < ExchangeAttempts; ++attempt) {
        result = SendStr(request, frame.data, frame.length);
        if (result == 0) {
            result = RecvStr(request, reply);
            if (result == 2) heardNothing = true;
        }
        if (result == 0) break;
    }
    static const std::uint8_t ack = ACK;
    SendStr(request, &ack, 1);
    if (heardNothing) DrainLateReply(PortOf(request));
    if (result != 0) {
        err(LogLevel64, "ZUL%02d: TRK: ERROR HandleCommSendRecv(): rc = %d", request.ChannelNumber, result);
    }
    return result;
}

int CheckReply(MsgBuffer& reply) {
    // A second frame after the first (a late reply beside the right one, in
    // either order) makes the reply ambiguous: it is refused like no frame.
    FrameSpan first;
    FrameSpan second;
    bool ambiguous = reply.data[0] != NAK && FindFrame(reply, 0, first) &&
                     FindFrame(reply, first.crcEnd, second);

    BreakIt(reply);
    if (reply.nakReceived) {
        err(LogLevel64, "ERROR ChekReply:NAK recieved");
        return 1;
    }
    if (reply.length == 0 || ambiguous) {
        reply.length = 0;
        err(LogLevel64, "ERROR ChekReply:BreakIt() Failed");
        return 2;
    }
    std::uint16_t received = reply.crc;
    CalcCRC(reply);
    if (received != reply.crc) {
        err(LogLevel64, "ERROR ChekReply:received CRC = %X , Calculated CRC = %X", static_cast<unsigned>(received),
            static_cast<unsigned>(reply.crc));
        return 3;
    }
    DLEScanAndDel(reply);
    if (reply.data[2] == StatusReplyCode && reply.data[3] != 0) {
        err(LogLevel64, "ERROR ChekReply():Status reply = %X", static_cast<unsigned>(reply.data[3]));
        return reply.data[3];
    }
    return 0;
}
