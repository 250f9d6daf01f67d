// One exchange with the panel: send a frame, gather the reply, retry up to
// three times, acknowledge; the check of the reply that came back; the drain
// that keeps a refused or late reply from answering the next request; and
// what the channel learns of its link and of whether it is in step.
#pragma once

#include <chrono>
#include <cstdint>

#include "link/link_result.h"
#include "link/link_state.h"
#include "link/msg_buffer.h"
#include "platform/win32_api.h"
#include "serial/time_units.h"

// What an exchange needs of a channel: its open port, its number for the
// log lines, how long one character takes on its line, and the two bytes in
// which it keeps its LinkState (null: nothing is learned or kept).
struct LinkChannel {
    HANDLE port;
    std::int32_t number;
    std::chrono::microseconds characterTime{0};
    std::uint8_t* state = nullptr;
};

constexpr int ExchangeAttempts = 3;
constexpr milliseconds EmptyPollPause{10};
constexpr std::uint8_t StatusReplyCode = 0x11;

// A receive waits a pause of EmptyPollPause after each poll that finds
// nothing; the pause ends early when a byte arrives. Counted in pauses it
// allows five before the first byte (after the request has left the port)
// and, once a reply has begun, five in a row of silence; a complete reply
// ends it at the next empty poll. On top of the counts come waits in real
// time that fit the link, bounded by R, the port's read timeout as the
// driver last set it: the first byte may take the learned wait, a reply in
// progress may fall silent for R/2. Where a pause lasts a 15.6 ms timer tick
// (Windows by default) the counts last 1.56 times as long; the waits in real
// time do not change.
constexpr int SilentPolls = 5;

// How long one receive may go on.
struct ReceiveLimits {
    int beforeFirstByte;        // pauses: SilentPolls, plus the request's own line time
    milliseconds firstByteWait; // and at least this long: the request's line time and the learned wait
    int silence;                // pauses in a row without a byte that end a reply in progress ...
    milliseconds silenceWait;   // ... once this long has passed since its last byte: R/2
    milliseconds total;         // the cap, restarted by each frame read past
};
// The limits of a read or write on this channel: its learned wait.
ReceiveLimits LimitsFor(const LinkChannel& channel, int requestBytes);
// The limits when the first byte may take `firstWait` beyond the request's line time.
ReceiveLimits LimitsFor(const LinkChannel& channel, int requestBytes, milliseconds firstWait);

// How long the first byte may take, beyond the request's own line time, on
// a link whose learned delay is `delay`: five pauses and half as much again
// as the delay beyond them, never more than the read timeout.
milliseconds LearnedWait(milliseconds delay, milliseconds readTimeout);
// R, the port's read timeout; a port without one (the null device) counts
// as the 1 s that an open gives.
milliseconds ReadTimeoutOf(HANDLE port);

// After an exchange that did not end on an accepted reply, or in which an
// attempt heard nothing, the line is drained until it has been idle this
// long, within a cap; both are counted in pauses.
constexpr milliseconds DrainIdle{200};
constexpr milliseconds DrainCap{1000};
// Stale frames one receive reads past before it gives up.
constexpr int MaxFramesReadPast = 8;

// Whether an unstuffed payload is a frame of some kind.
using FrameTest = bool (*)(const std::uint8_t* payload, int length);

// Which frames a receive reads past, as late replies to earlier requests.
enum class ReadPast {
    Nothing,      // every frame counts as the reply
    LeadingMatch, // a complete, valid frame at the front that `frames` accepts
    AllButAnswer, // every byte and frame until a valid one that `frames` accepts: the answer
};

// What a request expects of its reply beyond the reply check.
struct ReplyShape {
    int payloadLength = -1;    // unstuffed payload bytes; -1 for any
    bool statusAnswers = true; // whether a status reply can be this request's answer
    ReadPast readPast = ReadPast::Nothing;
    FrameTest frames = nullptr;
    bool learns = false;          // nothing older can be on its way: a clean reply tells the link's delay
    bool waitReadTimeout = false; // the first byte may take the whole read timeout
};

// How an exchange went, beyond its result.
struct ExchangeReport {
    int attempts = 0;            // request frames sent
    bool answeredAtOnce = false; // one frame sent, and a reply to it begun (accepted or not)
    int framesReadPast = 0;
};

// The request's exchange as every request makes it: HandleCommSendRecv, then
// CheckReply and the shape. Ok only for an accepted reply; anything else,
// and any attempt that heard nothing, leaves the line drained before it
// returns. A reply accepted at once, when the shape learns, teaches the
// channel its link's delay; a reply that came after its wait gave up makes
// the wait longer. Whether the channel is in step is the caller's to judge
// from the report (panel/in_step.h).
LinkResult Exchange(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply, ReplyShape shape,
                    ExchangeReport* report = nullptr);

// What the attempts of one exchange heard.
struct AttemptsHeard {
    int attempts = 0; // attempts made
    int silent = 0;   // attempts that heard not one byte
    int framesReadPast = 0;
    DWORD sentAt = 0;      // the first attempt's write began
    bool replied = false;  // the first attempt kept a reply ...
    DWORD firstByteAt = 0; // ... whose first byte came then
};

// Up to three attempts of SendStr and RecvStr, then one ACK. When given,
// *silentAttempts counts the attempts that heard not one byte.
LinkResult HandleCommSendRecv(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply,
                              int* silentAttempts = nullptr);
LinkResult HandleCommSendRecv(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply,
                              const ReceiveLimits& limits, const ReplyShape& shape, AttemptsHeard& heard);
// When given, *writeStartedAt is the tick at which the write began.
LinkResult SendStr(const LinkChannel& channel, const std::uint8_t* bytes, std::int32_t count,
                   DWORD* writeStartedAt = nullptr);

// What one receive heard.
struct ReceiveHeard {
    bool heardAny = false; // a byte other than ENQ came
    int framesReadPast = 0;
    bool begun = false;    // what it kept has begun (a byte other than ENQ) ...
    DWORD firstByteAt = 0; // ... at this tick
};
LinkResult RecvStr(const LinkChannel& channel, MsgBuffer& reply, const ReceiveLimits& limits);
LinkResult RecvStr(const LinkChannel& channel, MsgBuffer& reply, const ReceiveLimits& limits, const ReplyShape& shape,
                   ReceiveHeard& heard);
// Bytes waiting in the port's input queue; 0 when its status cannot be read.
int GetInQueue(HANDLE port);
// Reads and discards until the line has been idle for DrainIdle, at most
// DrainCap; true when it discarded anything but announcements.
bool DrainLine(HANDLE port);

// Ok, Nak, NoFrame (no single complete frame), CrcMismatch or PanelStatus.
LinkResult CheckReply(MsgBuffer& reply);

// The unstuffed payload of a reply that CheckReply accepted.
inline int ReplyPayloadLength(const MsgBuffer& reply) { return reply.length - 4; }
