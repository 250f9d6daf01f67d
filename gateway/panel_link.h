// One panel as its worker drives it: its channel, started with ColdStart;
// its poll cycle, one block read per step; its writes; and what it does
// when the panel goes away: a vanished device (the port's device no longer
// exists) is watched for without a request, a silent panel (the device is
// there, nothing answers) is probed with one cheap read every probe_ms, and
// the channel is started again with ColdStart only when the probe answers
// or the device is back, so the handshake that a silent panel holds its
// line for (up to 5 x (200 ms + 6 R)) is never run blindly. Every method
// runs on one thread; what it finds goes out through a PanelOutput.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "gateway/config.h"
#include "gateway/log.h"
#include "gateway/metrics.h"
#include "gateway/panel_output.h"
#include "gateway/point_map.h"
#include "gateway/point_store.h"
#include "gateway/request_plan.h"
#include "gateway/write_queue.h"
#include "host/client/driver_client.h"
#include "host/client/port_lookup.h"

namespace zulgate {

using zulclient::DeviceIdentity;
using zulclient::LookUpDevice;

struct PanelSetup {
    std::size_t index = 0; // its channel is index + 1
    const PanelConfig* config = nullptr;
    const PanelMap* map = nullptr;
    zulclient::LineSettings line;
    std::string port; // the name the driver is given: the configured one, or the gateway's entry for a URL
};

class PanelLink {
public:
    PanelLink(const PanelSetup& setup, ZulMainFunction entry, PanelOutput& out);
    PanelLink(const PanelLink&) = delete;
    PanelLink& operator=(const PanelLink&) = delete;

    // When it next has something to do; Step does it (at most one request,
    // or one ColdStart).
    Clock::time_point NextDue() const { return due_; }
    void Step(Clock::time_point now);
    WriteOutcome Write(const WriteRequest& request);
    void Close(); // ClosePort, at the end

private:
    enum class Phase {
        Start,   // ColdStart is due
        Poll,    // up: cycles of block reads
        Confirm, // a read found no answer: one probe tells a lost exchange from a silent panel
        Probe,   // silent: one cheap read every probe_ms
        Watch,   // the device is gone: watched for, no request
    };

    void StartChannel(Clock::time_point now);
    void PollStep(Clock::time_point now);
    void ProbeStep(Clock::time_point now);
    void WatchStep(Clock::time_point now);

    // Reads one block into the store; false when the panel went away.
    bool ReadBlock(const BlockRead& block, std::size_t planIndex, bool inCycle);
    void EndCycle(Clock::time_point now);
    // Away, as silent (probed) or gone (watched).
    void GoSilent(const std::string& why, const std::vector<DriverLine>& lines);
    void GoGone(const DeviceIdentity& id);
    // After a request that failed: whether the device has gone (its node,
    // or a device server's connection, which the driver's lines tell).
    bool Vanished(const zulclient::Result& request, DeviceIdentity& id) const;
    bool CheckDevice(); // false (and away) when the device is gone or another one
    // A write's elements into the values of every other point on the same
    // bytes: revised where its bits say it, else read again before served.
    void CarryToNeighbours(const PointWrite& write, int firstElement, int elements);
    void Say(Level level, const std::string& text, const std::vector<DriverLine>& lines = {});

    std::size_t index_;
    const PanelConfig& config_;
    const std::string port_; // as the driver is given it
    const PanelMap& map_;
    zulclient::LineSettings line_;
    zulclient::DriverClient client_;
    PanelOutput& out_;

    std::vector<BlockRead> plan_;
    Phase phase_ = Phase::Start;
    Clock::time_point due_;
    DeviceIdentity opened_;
    bool everStarted_ = false;
    int failedStarts_ = 0; // handshakes in a row that failed although the probe had answered
    Clock::time_point nextStartAllowed_;
    std::vector<DriverLine> pendingLines_; // of the read that a Confirm probe is to judge
    std::string pendingRead_;              // the block, or empty when a write was the request
    bool pendingInCycle_ = false;

    bool inCycle_ = false;
    std::size_t next_ = 0;
    Clock::time_point cycleStart_, nextCycle_;
    CycleStats stats_;
    int cycleRequests_ = 0, cycleFailed_ = 0;
    std::vector<char> reread_; // by value: changed by a write to other bytes it shares
    Episodes episodes_;
};

} // namespace zulgate
