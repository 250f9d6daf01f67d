#include "panel/in_step.h"

#include "panel/points.h"
#include "panel/version_reply.h"

namespace {

LinkState StateOf(const LinkChannel& channel) { return LoadLinkState(channel.state); }
void Keep(const LinkChannel& channel, const LinkState& state) { StoreLinkState(state, channel.state); }

bool Quiet(const LinkState& s) { return !s.outOfStep && !s.versionsBehind && !s.versionsPending && !s.readsPending; }

bool IsOtherThanVersionReply(const std::uint8_t* payload, int length) { return !IsVersionReply(payload, length); }

// After a version exchange whose answer proves that everything sent before
// it has come: what may still come are the replies to its own later
// attempts, and to version requests sent before it (the answer may have
// been one of theirs).
void InStepAfter(LinkState& s, const ExchangeReport& report) {
    s.outOfStep = false;
    s.versionsBehind = false;
    s.readsPending = false;
    s.versionsPending = s.versionsPending || report.attempts > 1;
}

// The one-byte read of a fence: any valid frame but a version reply ends it.
bool ReadPastVersionsBehind(const LinkChannel& channel, std::uint32_t address) {
    MsgBuffer request;
    MsgBuffer reply;
    ClearMsgBuffer(request);
    ClearMsgBuffer(reply);
    request.data[0] = BlockReadCommand;
    request.data[1] = static_cast<std::uint8_t>(address >> 16);
    request.data[2] = static_cast<std::uint8_t>(address >> 8);
    request.data[3] = static_cast<std::uint8_t>(address);
    request.data[4] = 1;
    request.length = 5;
    BuildFrame(request);
    ReplyShape shape;
    shape.readPast = ReadPast::AllButAnswer;
    shape.frames = IsOtherThanVersionReply;
    LinkResult result = Exchange(channel, request, reply, shape);
    LinkState s = StateOf(channel);
    s.readsPending = true;
    // Whatever the frame says, it came after the version replies behind.
    bool through = result.Ok() || result.status == LinkStatus::PanelStatus || result.status == LinkStatus::Unexpected;
    if (through) s.versionsBehind = false;
    Keep(channel, s);
    return through;
}

} // namespace

bool Fence(const LinkChannel& channel, std::uint32_t address) {
    if (StateOf(channel).versionsBehind && !ReadPastVersionsBehind(channel, address)) return false;

    MsgBuffer request;
    MsgBuffer reply;
    ClearMsgBuffer(request);
    ClearMsgBuffer(reply);
    BuildFixedFrame(request, VersionCommand);
    ReplyShape shape;
    shape.payloadLength = 1;
    shape.statusAnswers = false;
    shape.readPast = ReadPast::AllButAnswer;
    shape.frames = IsVersionReply;
    ExchangeReport report;
    bool answered = Exchange(channel, request, reply, shape, &report).Ok();
    LinkState s = StateOf(channel);
    if (answered) {
        InStepAfter(s, report);
    } else {
        s.versionsPending = true;
    }
    Keep(channel, s);
    return answered;
}

LinkResult RequestExchange(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply, ReplyShape shape,
                           std::uint32_t address) {
    LinkState before = StateOf(channel);
    if ((before.outOfStep || before.readsPending) && !Fence(channel, address)) return Linked(LinkStatus::NotInStep);
    before = StateOf(channel);
    shape.readPast = ReadPast::LeadingMatch;
    shape.frames = IsVersionReply;
    shape.learns = true;
    ExchangeReport report;
    LinkResult result = Exchange(channel, frame, reply, shape, &report);
    LinkState s = StateOf(channel);
    if (result.Ok() && report.answeredAtOnce) {
        // Its own reply, and it came after everything sent before it.
        s.versionsPending = false;
    } else if (!(report.answeredAtOnce && Quiet(before))) {
        // Its reply may still come: and the version replies that could have
        // come before it are now behind it.
        s.outOfStep = true;
        s.versionsBehind = s.versionsPending;
        s.versionsPending = false;
    }
    Keep(channel, s);
    return result;
}

LinkResult VersionExchange(const LinkChannel& channel, const MsgBuffer& request, MsgBuffer& reply) {
    LinkState before = StateOf(channel);
    ReplyShape shape;
    shape.readPast = ReadPast::LeadingMatch;
    shape.frames = IsDataReply;
    shape.learns = Quiet(before);
    shape.waitReadTimeout = true;
    ExchangeReport report;
    LinkResult result = Exchange(channel, request, reply, shape, &report);
    LinkState s = StateOf(channel);
    if (result.Ok() && IsVersionReply(reply.data + 2, ReplyPayloadLength(reply)) && !before.versionsBehind) {
        InStepAfter(s, report);
    } else if (!(report.answeredAtOnce && Quiet(before))) {
        s.versionsPending = true;
    }
    Keep(channel, s);
    return result;
}
