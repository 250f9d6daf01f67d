// Keeping a channel in step with its panel: no reply is ever taken for
// another request's, however late it comes. The panel answers in order, so
// after an exchange that did not end cleanly the channel fences: it sends a
// request whose reply no read or write reply can be (the version request)
// and reads past everything until that reply has come; until then nothing
// else is sent.
//
// A fence's own reply must not be confused with the late reply of an
// earlier fence (version requests sent more than once leave version replies
// behind, and they all look alike). A version reply proves that everything
// sent before it has come, so it can end a fence only when no version reply
// sent before the unclean exchange can still come. When one can, the fence
// first sends a one-byte read and reads past version replies until any
// other valid frame has come: a reply to something sent after those version
// requests, and so after them on the line. The link state (link/link_state.h)
// keeps what may still be on its way; nothing of it rests on time.
#pragma once

#include <cstdint>

#include "link/exchange.h"

// Brings a channel back in step. True when it is; on false nothing may be
// sent but another fence. `address` is the request's own, which the
// one-byte read reads. No wake-up, and PanelVersionId is not touched.
bool Fence(const LinkChannel& channel, std::uint32_t address);

// A read's or a write's exchange: a channel that is out of step (or that
// may still see a fence's one-byte reads answered) first fences, and the
// request's own frame is not sent when the fence is not answered. A late
// version reply at the front of the reply is read past.
LinkResult RequestExchange(const LinkChannel& channel, const MsgBuffer& frame, MsgBuffer& reply, ReplyShape shape,
                           std::uint32_t address);

// The handshake's version exchange: waits up to the read timeout, reads past
// late read replies in front of its answer, learns the link's delay when
// nothing older can be on its way, and brings the channel in step when its
// answer is a version reply that cannot be an earlier one's.
LinkResult VersionExchange(const LinkChannel& channel, const MsgBuffer& request, MsgBuffer& reply);
