// The wake-up and version handshake against each of the simulator's fixed
// fault modes: a failed handshake still starts the channel (ColdStart 0,
// port open) and logs why; WarmStart returns the handshake's result.
#include <functional>

#include "tests/e2e/host.h"

namespace e2e {
namespace {

const char* const kWakeFrame = "10 02 31 10 03 B4 BD";
const char* const kVersionRequest = "10 02 F0 10 03 F2 ED";

struct FaultCase {
    const char* name;
    std::function<void(zulsim::Options&)> set;
    std::int32_t timeout; // short where every read of the handshake times out
    std::int32_t rc;      // the handshake's result
    Log handshakeLines;   // before the ConfigureAdapter failure line
    std::size_t wakeFrames, versionRequests;
    bool warmStartToo;     // repeat with WarmStart (skipped for the slowest)
    double minSeconds = 0; // the documented cost of the ColdStart, where it is long
};

Log Failed(const Log& before, std::int32_t rc, const std::string& tail) {
    Log lines = before;
    lines.push_back({64, "ZUL01: TRK: ERROR ConfigureAdapter(): Fail rc = " + std::to_string(rc)});
    lines.push_back({tail.find("WarmStart") != std::string::npos ? 64 : 32, tail});
    return lines;
}

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class HandshakeFaults : public HostTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(HandshakeFaults, ColdStartStillStartsAndWarmStartReports) {
    const FaultCase& c = GetParam();
    zulsim::Options options;
    c.set(options);
    zulsim::PanelSim& sim = StartSim(options);

    Clock::time_point start = Clock::now();
    ASSERT_EQ(ColdStart(sim.DevicePath(), c.timeout), 0);
    double seconds = SecondsSince(start);
    EXPECT_GE(seconds, c.minSeconds);
    EXPECT_LT(seconds, c.minSeconds + 3.0) << "the handshake must stay bounded";
    EXPECT_NE(channel.PortHandle, nullptr) << "the port stays open";
    EXPECT_EQ(log,
              Failed(c.handshakeLines, c.rc, "ZUL01: TRK: ERROR ColdStart(): Fail rc = " + std::to_string(c.rc) + " "));
    line.WaitForAck(c.versionRequests ? 500 : 0);
    if (c.wakeFrames == 1) {
        // An ACK that an announcement crossed is no ACK: a retry may follow.
        EXPECT_EQ(WithoutWakeRetries(line.Frames(), kWakeFrame),
                  (std::vector<std::string>{kWakeFrame, kVersionRequest}));
    } else {
        EXPECT_EQ(line.Count(kWakeFrame), c.wakeFrames);
    }
    EXPECT_EQ(line.Count(kVersionRequest), c.versionRequests);

    if (!c.warmStartToo) return;
    log.clear();
    EXPECT_EQ(Call(WarmStartCode), c.rc);
    EXPECT_EQ(log,
              Failed(c.handshakeLines, c.rc, "ZUL01: TRK: ERROR WarmStart(): Fail rc = " + std::to_string(c.rc) + " "));
}

const Log kSilentExchange = {
    {64, "ZUL01: TRK: ERROR RecvStr(): rc = 2"},
    {64, "ZUL01: TRK: ERROR RecvStr(): rc = 2"},
    {64, "ZUL01: TRK: ERROR RecvStr(): rc = 2"},
    {64, "ZUL01: TRK: ERROR HandleCommSendRecv(): rc = 2"},
};

INSTANTIATE_TEST_SUITE_P(
    EachMode, HandshakeFaults,
    ::testing::Values(
        // No ENQ in five attempts is no failure by itself: the version
        // request still goes out, three times, and hears nothing. Every
        // handshake read times out, hence the short timeout: 5 x (200 ms
        // + 5 x 100 ms) of wake-up before the exchange.
        FaultCase{"silent", [](zulsim::Options& o) { o.silent = true; }, 10, 2, kSilentExchange, 0, 3, false, 3.5},
        // ENQ each time, never an ACK: five wake frames, no version request.
        FaultCase{"enqWithoutAck", [](zulsim::Options& o) { o.enqWithoutAck = true; }, 10, 2, {}, 5, 0, true},
        // The wake frame is answered by NAK, which is no ACK either.
        FaultCase{"nak", [](zulsim::Options& o) { o.nakAll = true; }, 100, 2, {}, 5, 0, true},
        FaultCase{"wrongIdentifier",
                  [](zulsim::Options& o) { o.versionId = 0xF3; },
                  100,
                  1,
                  {{32, "ZUL01: TRK: TRACKER Ver.ID ERROR"}},
                  1,
                  1,
                  true},
        FaultCase{"damagedCrc",
                  [](zulsim::Options& o) { o.damageCrc = true; },
                  100,
                  3,
                  {{64, "ERROR ChekReply:received CRC = 2BB0 , Calculated CRC = D44F"}},
                  1,
                  1,
                  true},
        FaultCase{"statusReply5",
                  [](zulsim::Options& o) { o.statusReply = 5; },
                  100,
                  5,
                  {{64, "ERROR ChekReply():Status reply = 5"}},
                  1,
                  1,
                  true},
        // Status 0 passes the reply check, but 0x11 is no identifier.
        FaultCase{"statusReply0",
                  [](zulsim::Options& o) { o.statusReply = 0; },
                  100,
                  1,
                  {{32, "ZUL01: TRK: TRACKER Ver.ID ERROR"}},
                  1,
                  1,
                  true},
        // The receive ends in the gap: the first half has no DLE ETX.
        FaultCase{"splitReplyLongGap",
                  [](zulsim::Options& o) { o.splitGapMs = 600; },
                  100,
                  2,
                  {{64, "ERROR ChekReply:BreakIt() Failed"}},
                  1,
                  1,
                  true}),
    [](const ::testing::TestParamInfo<FaultCase>& p) { return std::string(p.param.name); });

} // namespace
} // namespace e2e
