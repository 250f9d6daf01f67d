#include "link/exchange.h"

#include <algorithm>
#include <cstring>

#include "link/read_past.h"
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

bool AnyReplyByte(const std::uint8_t* bytes, int n) { return n > 0 && !OnlyAnnouncements(bytes, n); }

// Whole pauses that cover a stretch of line time.
int PausesFor(std::chrono::microseconds time) {
    const std::int64_t pause = std::chrono::microseconds(EmptyPollPause).count();
    return static_cast<int>((time.count() + pause - 1) / pause);
}

milliseconds Ceil(std::chrono::microseconds time) { return std::chrono::ceil<milliseconds>(time); }

bool FitsShape(const MsgBuffer& reply, const ReplyShape& shape) {
    if (!shape.statusAnswers && reply.data[2] == StatusReplyCode) return false;
    return shape.payloadLength < 0 || ReplyPayloadLength(reply) == shape.payloadLength;
}

// One pause of a receive: waits for a byte, at most EmptyPollPause, and
// stores it; true when one came. Where reads cannot wait, or the read
// fails, the pause is a plain sleep.
bool WaitForByte(HANDLE port, const ReadWaitScope& waits, MsgBuffer& reply, int& received) {
    if (waits.Active()) {
        std::uint32_t gathered = 0;
        PortResult rc = ReadComm(port, reply.data + received, 1, &gathered);
        if (gathered == 1) {
            ++received;
            return true;
        }
        if (rc == PortResult::NothingRead) return false;
    }
    Pause(EmptyPollPause);
    return false;
}

milliseconds Since(DWORD tick, DWORD now) { return milliseconds(static_cast<std::int64_t>(now - tick)); }

// A clean first attempt's delay pulls the learned delay toward it: at once
// when it is longer (a slow link must not fail while it is learned), by an
// eighth of the difference when it is shorter.
void Learn(LinkState& state, milliseconds sample) {
    if (sample >= state.delay) {
        state.delay = sample;
    } else {
        milliseconds step = (state.delay - sample + milliseconds(7)) / 8;
        state.delay -= step;
    }
    state.delay = std::min(state.delay, MaxLearnedDelay);
}

} // namespace

milliseconds LearnedWait(milliseconds delay, milliseconds readTimeout) {
    milliseconds wait = EmptyPollPause * SilentPolls + delay + delay / 2;
    return std::min(wait, readTimeout);
}

milliseconds ReadTimeoutOf(HANDLE port) {
    milliseconds timeout = ReadTimeout(port);
    return timeout > milliseconds(0) ? std::min(timeout, MaxReadTimeout) : OpenReadTimeout;
}

ReceiveLimits LimitsFor(const LinkChannel& channel, int requestBytes) {
    LinkState state = LoadLinkState(channel.state);
    return LimitsFor(channel, requestBytes, LearnedWait(state.delay, ReadTimeoutOf(channel.port)));
}

ReceiveLimits LimitsFor(const LinkChannel& channel, int requestBytes, milliseconds firstWait) {
    const milliseconds readTimeout = ReadTimeoutOf(channel.port);
    const auto requestTime = channel.characterTime * (requestBytes > 0 ? requestBytes : 0);
    const auto fullBuffer = channel.characterTime * MsgBufferSize;
    ReceiveLimits limits;
    limits.beforeFirstByte = SilentPolls + PausesFor(requestTime);
    limits.firstByteWait = Ceil(requestTime) + firstWait;
    limits.silence = SilentPolls;
    limits.silenceWait = readTimeout / 2;
    // Room for a reply of several pieces, each gap up to R/2, and at least
    // what the counts in pauses allow.
    const milliseconds quiet = std::max(EmptyPollPause * SilentPolls, readTimeout * 2);
    limits.total = std::max(limits.firstByteWait, EmptyPollPause * limits.beforeFirstByte) + Ceil(fullBuffer) + quiet;
    return limits;
}

// Reads and discards until the input has been idle for DrainIdle, at most
// DrainCap in all. Every round pauses, so the drain ends in bounded time even
// on a line that never falls silent. ENQ bytes alone are not reply traffic: a
// panel that announces itself during the drain's own silence would otherwise
// keep every drain going to the cap.
bool DrainLine(HANDLE port) {
    std::uint8_t scratch[MsgBufferSize];
    milliseconds idle{0};
    bool heard = false;
    for (milliseconds elapsed{0}; elapsed < DrainCap && idle < DrainIdle; elapsed += EmptyPollPause) {
        int waiting = GetInQueue(port);
        if (waiting > 0) {
            std::uint32_t ask = waiting > MsgBufferSize ? MsgBufferSize : static_cast<std::uint32_t>(waiting);
            std::uint32_t gathered = 0;
            ReadComm(port, scratch, ask, &gathered);
            bool announcements = OnlyAnnouncements(scratch, gathered);
            heard = heard || (gathered > 0 && !announcements);
            idle = announcements ? idle + EmptyPollPause : milliseconds{0};
        } else {
            idle += EmptyPollPause;
        }
        Pause(EmptyPollPause);
    }
    return heard;
}

int GetInQueue(HANDLE port) {
    DWORD errors = 0;
    COMSTAT stat;
    std::memset(&stat, 0, sizeof stat);
    // A port whose status cannot be read reports nothing waiting.
    if (!ClearCommError(port, &errors, &stat)) return 0;
    return stat.cbInQue > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(stat.cbInQue);
}

LinkResult SendStr(const LinkChannel& channel, const std::uint8_t* bytes, std::int32_t count, DWORD* writeStartedAt) {
    FlushInput(channel.port);
    std::uint32_t written = 0;
    std::uint32_t ask = count < 0 ? 0 : static_cast<std::uint32_t>(count);
    if (writeStartedAt) *writeStartedAt = GetTickCount();
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
    ReceiveHeard heard;
    return RecvStr(channel, reply, limits, ReplyShape{}, heard);
}

LinkResult RecvStr(const LinkChannel& channel, MsgBuffer& reply, const ReceiveLimits& limits, const ReplyShape& shape,
                   ReceiveHeard& heard) {
    // Each attempt starts from clean data, so no byte of an earlier attempt
    // can pass for part of this one's reply.
    std::memset(reply.data, 0, sizeof reply.data);
    heard = ReceiveHeard{};
    int received = 0;
    bool begun = false; // a byte other than an announcement has come
    int quietPolls = 0; // pauses without a byte since the reply's last byte (or the start)
    // The waits in real time: a pause that ends early on a byte is shorter.
    DWORD started = GetTickCount();
    DWORD lastByte = started;
    LinkResult result;
    // Each pause waits for the next byte rather than sleeping: a one-byte
    // read that ends when a byte comes, or after the pause with nothing.
    ReadWaitScope waits(channel.port, EmptyPollPause);
    // New bytes at [before, received): what they begin, and what the shape
    // reads past. False when the receive must end: too many frames read past.
    auto took = [&](int before) {
        DWORD now = GetTickCount();
        // ENQ is the panel announcing itself, not the start of a reply: one
        // that was on its way when the request went out must not cut the
        // wait for the reply to the silence of one begun.
        if (!begun && AnyReplyByte(reply.data + before, received - before)) {
            begun = true;
            heard.heardAny = true;
            heard.begun = true;
            heard.firstByteAt = now;
        }
        if (begun) {
            quietPolls = 0;
            lastByte = now;
        }
        if (shape.readPast == ReadPast::Nothing) return true;
        int kept = received;
        int frames = DropStale(reply, received, shape);
        if (received == kept) return true;
        heard.framesReadPast += frames;
        // What is left waits afresh for its first byte: a late reply read
        // past says nothing of when this request's reply comes.
        begun = AnyReplyByte(reply.data, received);
        heard.begun = begun;
        heard.firstByteAt = now;
        quietPolls = 0;
        if (frames > 0) started = lastByte = now;
        return heard.framesReadPast <= MaxFramesReadPast;
    };
    for (;;) {
        int before = received;
        int waiting = GetInQueue(channel.port);
        if (waiting > 0) {
            // The buffer holds one frame at most; once it is full the receive
            // ends, which also bounds it on a line that never falls silent.
            int room = MsgBufferSize - received;
            std::uint32_t ask = static_cast<std::uint32_t>(waiting < room ? waiting : room);
            std::uint32_t gathered = 0;
            PortResult rc = ReadComm(channel.port, reply.data + received, ask, &gathered);
            result = rc == PortResult::Ok ? LinkResult{} : Linked(LinkStatus::ReadFailed);
            received += static_cast<int>(gathered);
            if (received > before) {
                if (!took(before)) break;
                if (received >= MsgBufferSize) break;
                continue;
            }
            // Bytes that wait but cannot be read count as an empty poll, so
            // a failing port cannot keep the receive busy for ever.
        }
        if (ReplyComplete(reply, received)) break;
        DWORD now = GetTickCount();
        bool over = begun ? quietPolls >= limits.silence && Since(lastByte, now) >= limits.silenceWait
                          : quietPolls >= limits.beforeFirstByte && Since(started, now) >= limits.firstByteWait;
        if (over || Since(started, now) >= limits.total) break;
        before = received;
        if (WaitForByte(channel.port, waits, reply, received)) {
            if (!took(before)) break;
            if (received >= MsgBufferSize) break;
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
    AttemptsHeard heard;
    LinkResult result = HandleCommSendRecv(channel, frame, reply, LimitsFor(channel, frame.length), ReplyShape{},
                                           heard);
    if (silentAttempts) *silentAttempts = heard.silent;
    return result;
}

LinkResult HandleCommSendRecv(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply,
                              const ReceiveLimits& limits, const ReplyShape& shape, AttemptsHeard& heard) {
    // The write may return before its bytes are on the wire (a USB adapter
    // takes them at once), so the wait for the first byte of the reply
    // includes the request's own line time; a reply that comes sooner ends
    // the receive all the same.
    LinkResult result;
    heard = AttemptsHeard{};
    for (int attempt = 0; attempt < ExchangeAttempts; ++attempt) {
        ++heard.attempts;
        DWORD sentAt = 0;
        result = SendStr(channel, frame.data, frame.length, &sentAt);
        if (result.Ok()) {
            ReceiveHeard receive;
            result = RecvStr(channel, reply, limits, shape, receive);
            heard.framesReadPast += receive.framesReadPast;
            if (attempt == 0) {
                heard.sentAt = sentAt;
                heard.replied = receive.begun;
                heard.firstByteAt = receive.firstByteAt;
            }
            if (!receive.heardAny && receive.framesReadPast == 0) ++heard.silent;
        }
        if (result.Ok()) break;
    }
    static const std::uint8_t ack = ACK;
    SendStr(channel, &ack, 1);
    if (!result.Ok()) {
        err(LogLevel64, "ZUL%02d: TRK: ERROR HandleCommSendRecv(): rc = %d", channel.number, LinkResultCode(result));
    }
    return result;
}

LinkResult Exchange(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply, ReplyShape shape,
                    ExchangeReport* report) {
    LinkState state = LoadLinkState(channel.state);
    const milliseconds readTimeout = ReadTimeoutOf(channel.port);
    const milliseconds firstWait = shape.waitReadTimeout ? readTimeout : LearnedWait(state.delay, readTimeout);
    const ReceiveLimits limits = LimitsFor(channel, frame.length, firstWait);

    AttemptsHeard heard;
    LinkResult result = HandleCommSendRecv(channel, frame, reply, limits, shape, heard);
    if (result.Ok()) {
        result = CheckReply(reply);
        if (result.Ok() && !FitsShape(reply, shape)) result = Linked(LinkStatus::Unexpected);
    }
    // The rest of a refused reply, or the late answer to an attempt that
    // heard nothing, must not be waiting when the next request listens.
    bool drained = (!result.Ok() || heard.silent > 0) && DrainLine(channel.port);

    // Karn's rule: only a reply to a request sent once, on a line that held
    // nothing older, tells how long the link takes.
    const bool answeredAtOnce = heard.attempts == 1 && heard.replied;
    if (shape.learns && result.Ok() && answeredAtOnce && heard.framesReadPast == 0) {
        const auto requestTime = Ceil(channel.characterTime * frame.length);
        Learn(state, std::max(milliseconds(0), Since(heard.sentAt, heard.firstByteAt) - requestTime));
    } else if (!shape.waitReadTimeout && ((heard.silent > 0 && drained) || heard.framesReadPast > 0)) {
        // A reply came after its wait had given up (drained after a silent
        // attempt, or read past as a late reply to an earlier request): the
        // link is slower than the wait. Silence alone teaches nothing, so a
        // dead panel stays cheap, and neither does a retry that was answered.
        state.delay = std::max(state.delay, std::min(readTimeout, 2 * firstWait));
    }
    StoreLinkState(state, channel.state);
    if (report) {
        report->attempts = heard.attempts;
        report->answeredAtOnce = answeredAtOnce;
        report->framesReadPast = heard.framesReadPast;
    }
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
