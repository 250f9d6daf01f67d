#include "panel/handshake.h"

#include "panel/in_step.h"
#include "panel/results.h"
#include "panel/version_reply.h"
#include "platform/host_log.h"
#include "serial/port.h"

std::uint8_t PanelVersionId = 0;

namespace {

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

// The answer to the wake frame. An announcement still on its way from
// before the wake frame (on a long link there can be several) is no answer:
// it is read past, for as long as the read timeout.
bool WakeAcknowledged(HANDLE port) {
    const DWORD started = GetTickCount();
    const milliseconds readTimeout = ReadTimeoutOf(port);
    for (;;) {
        std::uint8_t byte = 0;
        if (!ReadOneByte(port, byte)) return false;
        if (byte != ENQ) return byte == ACK;
        if (milliseconds(static_cast<std::int64_t>(GetTickCount() - started)) >= readTimeout) return false;
    }
}

} // namespace

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
        if (WakeAcknowledged(port)) {
            result = HandshakeOk;
            break;
        }
        result = WakeNotAcknowledged;
    }

    if (result == HandshakeOk) {
        // A long link shows itself here first: the identifier may take the
        // whole read timeout, and teaches the channel how long its link takes.
        // A late read reply ahead of it is read past; anything else is the
        // panel's answer, as it always was.
        result = LinkResultCode(VersionExchange(channel, version, reply));
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
