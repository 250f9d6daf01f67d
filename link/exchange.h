// One exchange with the panel: send a frame, gather the reply, retry up to
// three times, acknowledge; the check of the reply that came back; and the
// drain that keeps a refused or late reply from answering the next request.
#pragma once

#include <chrono>
#include <cstdint>

#include "link/link_result.h"
#include "link/msg_buffer.h"
#include "platform/win32_api.h"
#include "serial/time_units.h"

// What an exchange needs of a channel: its open port, its number for the
// log lines, and how long one character takes on its line.
struct LinkChannel {
    HANDLE port;
    std::int32_t number;
    std::chrono::microseconds characterTime{0};
};

constexpr int ExchangeAttempts = 3;
constexpr milliseconds EmptyPollPause{10};
constexpr std::uint8_t StatusReplyCode = 0x11;

// A receive waits a pause of EmptyPollPause after each poll that finds
// nothing; the pause ends early when a byte arrives. Before the first byte it
// allows five pauses after the request has left the port; once a reply has
// begun, five in a row of silence; a complete reply ends it at the next
// empty poll. Where a pause lasts a 15.6 ms timer tick (Windows by default),
// each count of pauses lasts 1.56 times as long; the cap is kept in time.
constexpr int SilentPolls = 5;

// How long one receive may go on, counted in pauses.
struct ReceiveLimits {
    int beforeFirstByte; // SilentPolls, plus the request's own line time
    int silence;         // SilentPolls, restarted by every byte
    int total;           // the cap, in real time: beforeFirstByte, a full buffer's line time and the silence
};
ReceiveLimits LimitsFor(const LinkChannel& channel, int requestBytes);

// After an exchange that did not end on an accepted reply, or in which an
// attempt heard nothing, the line is drained until it has been idle this
// long, within a cap; both are counted in pauses.
constexpr milliseconds DrainIdle{200};
constexpr milliseconds DrainCap{1000};

// What a request expects of its reply beyond the reply check.
struct ReplyShape {
    int payloadLength = -1;    // unstuffed payload bytes; -1 for any
    bool statusAnswers = true; // whether a status reply can be this request's answer
};

// The request's exchange as every request makes it: HandleCommSendRecv, then
// CheckReply and the shape. Ok only for an accepted reply; anything else,
// and any attempt that heard nothing, leaves the line drained before it
// returns, so that no byte of this exchange can answer the next one.
LinkResult Exchange(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply, ReplyShape shape);

// Up to three attempts of SendStr and RecvStr, then one ACK. When given,
// *silentAttempts counts the attempts that heard not one byte.
LinkResult HandleCommSendRecv(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply,
                              int* silentAttempts = nullptr);
LinkResult SendStr(const LinkChannel& channel, const std::uint8_t* bytes, std::int32_t count);
LinkResult RecvStr(const LinkChannel& channel, MsgBuffer& reply, const ReceiveLimits& limits);
// Bytes waiting in the port's input queue; 0 when its status cannot be read.
int GetInQueue(HANDLE port);
// Reads and discards until the line has been idle for DrainIdle, at most DrainCap.
void DrainLine(HANDLE port);

// Ok, Nak, NoFrame (no single complete frame), CrcMismatch or PanelStatus.
LinkResult CheckReply(MsgBuffer& reply);

// The unstuffed payload of a reply that CheckReply accepted.
inline int ReplyPayloadLength(const MsgBuffer& reply) { return reply.length - 4; }
