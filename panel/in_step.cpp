#include "panel/in_step.h"

#include "panel/version_reply.h"

bool Fence(const LinkChannel& channel) {
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
    shape.inStep = IsVersionReply;
    return Exchange(channel, request, reply, shape).Ok();
}

LinkResult RequestExchange(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply, ReplyShape shape) {
    if (OutOfStep(channel) && !Fence(channel)) return Linked(LinkStatus::NotInStep);
    shape.readPast = ReadPast::LeadingMatch;
    shape.frames = IsVersionReply;
    return Exchange(channel, frame, reply, shape);
}
