// Keeping a channel in step with its panel. After an exchange that did not
// end cleanly, the line may still carry late replies to it, however late.
// The panel answers in order, so a fence (the version request, answered by
// a frame no read or write reply can be) is answered only after all of
// them; until a fence's answer has come, nothing else is sent.
#pragma once

#include "link/exchange.h"

// Sends the version request and reads past everything until its answer,
// waiting what the channel has learned. True when the answer came: the
// channel is in step. No wake-up, and PanelVersionId is not touched.
bool Fence(const LinkChannel& channel);

// A read's or a write's exchange: on a channel out of step, a fence first,
// and the request's own frame is not sent when the fence is not answered.
// A fence's late answer at the front of the reply is read past.
LinkResult RequestExchange(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply, ReplyShape shape);
