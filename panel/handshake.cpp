#include "panel/handshake.h"

#include "panel/results.h"
#include "platform/host_log.h"
#include "serial/port.h"

std::uint8_t PanelVersionId = 0;

namespace {

constexpr std::uint8_t WakeCommand = 0x31;
constexpr std::uint8_t VersionCommand = 0xF0;

// The two fixed frames: a one-byte command between DLE STX and DLE ETX,
// followed by their CRC (which has no DLE byte, so no doubling).
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

bool ReadOneByte(HANDLE port, std::uint8_t& byte) {
    std::uint32_t gathered = 0;
    return ReadComm(port, &byte, 1, &gathered) == PortResult::Ok && gathered == 1;
}

// RTS pulse, pause, then up to five single-byte reads looking for ENQ.
bool PanelAnnounced(HANDLE port) {
    EscapeCommFunction(port, CLRRTS);
    EscapeCommFunction(port, SETRTS);
    Pause(AfterRtsPulse);
    for (int read = 0; read < EnqReadsPerAttempt; ++read) {
        std::uint8_t byte = 0;
        if (ReadOneByte(port, byte) && byte == ENQ) return true;
    }
    return false;
}

} // namespace

bool IsAcceptedVersionId(std::uint8_t id) { return id == 0xF2 || id == 0xF5 || id == 0xF6 || id == 0xFA; }

std::int32_t ConfigureAdapter(const LinkChannel& channel) {
    PanelVersionId = 0;
    std::int32_t result = HandshakeOk;
    MsgBuffer wake;
    MsgBuffer version;
    MsgBuffer reply;
    ClearMsgBuffer(wake);
    ClearMsgBuffer(version);
    ClearMsgBuffer(reply);
    BuildFixedFrame(wake, WakeCommand);
    BuildFixedFrame(version, VersionCommand);
    HANDLE port = channel.port;

    for (int attempt = 0; attempt < WakeAttempts; ++attempt) {
        if (!PanelAnnounced(port)) continue;
        FlushInput(port);
        WriteComm(port, wake.data, static_cast<std::uint32_t>(wake.length), nullptr);
        Pause(BeforeAckRead);
        std::uint8_t byte = 0;
        if (ReadOneByte(port, byte) && byte == ACK) {
            result = HandshakeOk;
            break;
        }
        result = WakeNotAcknowledged;
    }

    if (result == HandshakeOk) {
        result = LinkResultCode(Exchange(channel, version, reply, ReplyShape{}));
    }
    if (result == HandshakeOk) {
        PanelVersionId = reply.data[2];
        if (IsAcceptedVersionId(PanelVersionId)) {
            err(LogLevel32, "ZUL%02d: TRK: TRACKER Ver.ID = 0x%Xh", channel.number,
                static_cast<unsigned>(PanelVersionId));
        } else {
            PanelVersionId = 0;
            result = VersionRefused;
            err(LogLevel32, "ZUL%02d: TRK: TRACKER Ver.ID ERROR", channel.number);
        }
    }
    if (result != HandshakeOk) {
        err(LogLevel64, "ZUL%02d: TRK: ERROR ConfigureAdapter(): Fail rc = %d", channel.number, result);
    }
    return result;
}
