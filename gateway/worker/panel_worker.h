// A panel's worker: zulgate run again by zulgate (the hidden option
// --panel-worker FD) for one panel. It loads the driver itself, so that it
// has a copy of the driver's module-wide state of its own, within which
// calls never overlap, and drives its panel's link as the gateway would:
// its writes first, one at a time in the order they come, then its poll
// steps. Its panel's setup comes over the connection FD, and everything the
// link finds goes back over it.
//
// It ends when the gateway says Stop (after the request on the line: the
// port closed, exit 0), or when the gateway is gone (its end of the
// connection closed, or the kernel's kill when the gateway's thread that
// started it ends). SIGTERM and SIGINT are the gateway's to take: a
// service manager or a terminal sends them to every process of the group.
#pragma once

namespace zulgate::worker {

// The descriptor the worker finds its connection on.
constexpr int ConnectionFd = 3;

// Exit statuses besides 0 (stopped on request).
constexpr int ExitSetupFailed = 3; // no setup, or one it cannot use (said over the connection first)
constexpr int ExitGatewayGone = 4; // the connection closed or broke
constexpr int ExitBadMessage = 5;  // a message it cannot read

int RunPanelWorker(int fd);

} // namespace zulgate::worker
