// One exchange with the panel: send a frame, gather the reply, retry up to
// three times, acknowledge; and the check of the reply that came back.
#pragma once

#include <cstdint>

#include "link/link_result.h"
#include "link/msg_buffer.h"
#include "platform/win32_api.h"
#include "serial/time_units.h"

// What an exchange needs of a channel: its open port, and its number for
// the log lines.
struct LinkChannel {
    HANDLE port;
    std::int32_t number;
};

constexpr int ExchangeAttempts = 3;
constexpr int EmptyPollAllowance = 5;
constexpr milliseconds EmptyPollPause{10};
constexpr std::uint8_t StatusReplyCode = 0x11;

// After an attempt that heard nothing, a late reply may still be on its way:
// the exchange drains the line until it has been idle this long, within a cap.
constexpr milliseconds LateReplyIdle{200};
constexpr milliseconds LateReplyDrainCap{1000};

LinkResult HandleCommSendRecv(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply);
LinkResult SendStr(const LinkChannel& channel, const std::uint8_t* bytes, std::int32_t count);
LinkResult RecvStr(const LinkChannel& channel, MsgBuffer& reply);
// Bytes waiting in the port's input queue; 0 when its status cannot be read.
int GetInQueue(HANDLE port);

// Ok, Nak, NoFrame (no single complete frame), CrcMismatch or PanelStatus.
LinkResult CheckReply(MsgBuffer& reply);

// The unstuffed payload of a reply that CheckReply accepted.
inline int ReplyPayloadLength(const MsgBuffer& reply) { return reply.length - 4; }
