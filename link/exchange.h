// One exchange with the panel: send a frame, gather the reply, retry up to
// three times, acknowledge; and the check of the reply that came back.
#pragma once

#include <cstdint>

#include "driver/zul.h"
#include "link/msg_buffer.h"

constexpr int ExchangeAttempts = 3;
constexpr int EmptyPollAllowance = 5;
constexpr DWORD EmptyPollPauseMs = 10;
constexpr std::uint8_t StatusReplyCode = 0x11;

// After an attempt that heard nothing, a late reply may still be on its way:
// the exchange drains the line until it has been idle this long, within a cap.
constexpr int LateReplyIdleMs = 200;
constexpr int LateReplyDrainCapMs = 1000;

int HandleCommSendRecv(const DriverRequest& request, const MsgBuffer& frame, MsgBuffer& reply);
int SendStr(const DriverRequest& request, const std::uint8_t* bytes, std::int32_t count);
int RecvStr(const DriverRequest& request, MsgBuffer& reply);
int GetInQueue(HANDLE port);

// 0, 1 (NAK), 2 (no single complete frame), 3 (CRC mismatch) or a status code.
int CheckReply(MsgBuffer& reply);

// The unstuffed payload of a reply that CheckReply accepted.
inline int ReplyPayloadLength(const MsgBuffer& reply) { return reply.length - 4; }
