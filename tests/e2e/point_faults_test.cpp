// Reads and writes against a panel in each of the simulator's fault modes:
// the results, the log lines in order, what went out on the line, and
// what the panel's memory and the host's slots hold afterwards.
#include <functional>

#include "tests/e2e/host.h"

namespace e2e {
namespace {

constexpr std::uint32_t kAddress = 0x01A2F3;
const Bytes kMemory = {0x34, 0x12, 0x78, 0x56};

const char* const kRead = "50 01 A2 F3 04";        // two W
const char* const kByteRead = "50 01 A2 F3 01";    // the byte of a nibble
const char* const kWrite = "60 01 A2 F3 02 CD AB"; // one W, ABCD
const char* const kWake = "31";
const char* const kVersion = "F0";

LogLine L64(const std::string& text) { return {64, text}; }

const LogLine kReadFailed2 = L64("ZUL01: TRK: ERROR BlockRead(): Fail rc = 2");
const LogLine kWriteFailed1 = L64("ZUL01: TRK: ERROR BlockWrite(): Fail rc = 1");
const LogLine kWriteFailed2 = L64("ZUL01: TRK: ERROR BlockWrite(): Fail rc = 2");
const LogLine kNak = L64("ERROR ChekReply:NAK recieved");
const LogLine kNoFrame = L64("ERROR ChekReply:BreakIt() Failed");
const LogLine kStatus5 = L64("ERROR ChekReply():Status reply = 5");
const LogLine kVersionCrc = L64("ERROR ChekReply:received CRC = 2BB0 , Calculated CRC = D44F");
const LogLine kNothingHeard[] = {L64("ZUL01: TRK: ERROR RecvStr(): rc = 2"), L64("ZUL01: TRK: ERROR RecvStr(): rc = 2"),
                                 L64("ZUL01: TRK: ERROR RecvStr(): rc = 2"),
                                 L64("ZUL01: TRK: ERROR HandleCommSendRecv(): rc = 2")};

enum class Op { ReadTwoWords, WriteWord, WriteNibble };

struct PointFault {
    const char* name;
    std::function<void(zulsim::Options&)> set;
    Op op;
    std::int32_t rc;
    Log lines;
    std::vector<std::string> payloads; // everything the driver sent, in order
    Bytes memoryAfter;                 // at kAddress
};

void PrintTo(const PointFault& c, std::ostream* os) { *os << c.name; }

class PointFaults : public HostTest, public ::testing::WithParamInterface<PointFault> {};

TEST_P(PointFaults, ResultLinesLineAndMemory) {
    const PointFault& c = GetParam();
    zulsim::Options options;
    c.set(options);
    zulsim::PanelSim& sim = StartSim(options);
    sim.SetBytes(kAddress, kMemory);
    if (options.silent) {
        // A silent panel makes a ColdStart cost seconds; a reopen opens the
        // same device without the handshake.
        ASSERT_EQ(Reopen(sim.DevicePath()), 0);
    } else {
        ASSERT_EQ(ColdStart(sim.DevicePath()), 0); // whatever its handshake gave
        line.WaitForAck();
        // A split reply's second half is still on its way: the panel's line
        // is busy until it has gone, and it then waits in the input queue,
        // which the next send purges.
        if (options.splitGapMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(options.splitGapMs + 50));
    }
    ASSERT_NE(channel.PortHandle, nullptr);
    log.clear();
    line.Clear();

    Clock::time_point start = Clock::now();
    std::vector<std::uint32_t> slots(2, Untouched);
    switch (c.op) {
    case Op::ReadTwoWords:
        EXPECT_EQ(Read('W', kAddress, slots), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(slots, (std::vector<std::uint32_t>{(Untouched & 0xFFFF) | 0x1234u << 16,
                                                         (Untouched & 0xFFFF) | 0x5678u << 16}));
        } else {
            EXPECT_EQ(slots, std::vector<std::uint32_t>(2, Untouched)) << "a failed read leaves the slots";
        }
        break;
    case Op::WriteWord:
        EXPECT_EQ(Write('W', kAddress, {Half(0xABCD)}), c.rc);
        break;
    case Op::WriteNibble:
        EXPECT_EQ(Write('E', kAddress, {Half(7)}), c.rc);
        break;
    }
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_EQ(log, c.lines);
    line.WaitForAck(300);
    EXPECT_EQ(WithoutWakeRetries(line.Payloads(), kWake), c.payloads);
    EXPECT_EQ(Hex(sim.GetBytes(kAddress, 4)), Hex(c.memoryAfter));
}

Log Join(std::initializer_list<LogLine> head, const LogLine* more = nullptr, std::size_t n = 0,
         std::initializer_list<LogLine> tail = {}) {
    Log lines(head);
    for (std::size_t i = 0; i < n; ++i) lines.push_back(more[i]);
    lines.insert(lines.end(), tail);
    return lines;
}

INSTANTIATE_TEST_SUITE_P(
    EachMode, PointFaults,
    ::testing::Values(
        // ---- reads
        // NAK: refused at once, no handshake.
        PointFault{"readNak",
                   [](zulsim::Options& o) { o.nakAll = true; },
                   Op::ReadTwoWords,
                   1,
                   {kNak, L64("ZUL01: TRK: ERROR BlockRead(): Fail rc = 1")},
                   {kRead},
                   kMemory},
        // Any other refusal re-runs the handshake and fails the read with 2
        // (no value was read), whatever the handshake gives.
        PointFault{"readStatus5",
                   [](zulsim::Options& o) { o.statusReply = 5; },
                   Op::ReadTwoWords,
                   2,
                   {kStatus5, kStatus5, L64("ZUL01: TRK: ERROR ConfigureAdapter(): Fail rc = 5"), kReadFailed2},
                   {kRead, kWake, kVersion},
                   kMemory},
        // A reply one value byte short is no answer to this read; the
        // handshake that follows succeeds, and the read still fails.
        PointFault{"readShortValueArea",
                   [](zulsim::Options& o) { o.shortValueArea = true; },
                   Op::ReadTwoWords,
                   2,
                   {{32, "ZUL01: TRK: TRACKER Ver.ID = 0xF5h"}, kReadFailed2},
                   {kRead, kWake, kVersion},
                   kMemory},
        PointFault{"readDamagedCrc",
                   [](zulsim::Options& o) { o.damageCrc = true; },
                   Op::ReadTwoWords,
                   2,
                   {L64("ERROR ChekReply:received CRC = 3959 , Calculated CRC = C6A6"), kVersionCrc,
                    L64("ZUL01: TRK: ERROR ConfigureAdapter(): Fail rc = 3"), kReadFailed2},
                   {kRead, kWake, kVersion},
                   kMemory},
        // A reply in progress may fall silent for half the read timeout (R =
        // 1 s here): a gap of 400 ms is bridged, one of 600 ms cuts it.
        PointFault{"readSplitGapWithinHalfR",
                   [](zulsim::Options& o) { o.splitGapMs = 400; },
                   Op::ReadTwoWords,
                   0,
                   {},
                   {kRead},
                   kMemory},
        PointFault{"readSplitLongGap",
                   [](zulsim::Options& o) { o.splitGapMs = 600; },
                   Op::ReadTwoWords,
                   2,
                   {kNoFrame, kNoFrame, L64("ZUL01: TRK: ERROR ConfigureAdapter(): Fail rc = 2"), kReadFailed2},
                   {kRead, kWake, kVersion},
                   kMemory},
        // Nothing heard: three attempts, then the exchange fails; no handshake.
        PointFault{"readSilent",
                   [](zulsim::Options& o) { o.silent = true; },
                   Op::ReadTwoWords,
                   2,
                   Join({}, kNothingHeard, 4, {kReadFailed2}),
                   {kRead, kRead, kRead},
                   kMemory},

        // ---- writes: a refused reply is 1, a failed exchange 2, no handshake
        PointFault{"writeNak",
                   [](zulsim::Options& o) { o.nakAll = true; },
                   Op::WriteWord,
                   1,
                   {kNak, L64("ZUL01: TRK: ERROR BlockWrite():CheckReply() Fail rc = 1"), kWriteFailed1},
                   {kWrite},
                   kMemory},
        // The panel refuses the write with status 5 and keeps its memory.
        PointFault{"writeStatus5",
                   [](zulsim::Options& o) { o.statusReply = 5; },
                   Op::WriteWord,
                   1,
                   {kStatus5, L64("ZUL01: TRK: ERROR BlockWrite():CheckReply() Fail rc = 5"), kWriteFailed1},
                   {kWrite},
                   kMemory},
        // The panel stored the value; only its reply was damaged.
        PointFault{"writeDamagedCrc",
                   [](zulsim::Options& o) { o.damageCrc = true; },
                   Op::WriteWord,
                   1,
                   {L64("ERROR ChekReply:received CRC = 7B31 , Calculated CRC = 84CE"),
                    L64("ZUL01: TRK: ERROR BlockWrite():CheckReply() Fail rc = 3"), kWriteFailed1},
                   {kWrite},
                   {0xCD, 0xAB, 0x78, 0x56}},
        PointFault{"writeSplitLongGap",
                   [](zulsim::Options& o) { o.splitGapMs = 600; },
                   Op::WriteWord,
                   1,
                   {kNoFrame, L64("ZUL01: TRK: ERROR BlockWrite():CheckReply() Fail rc = 2"), kWriteFailed1},
                   {kWrite},
                   {0xCD, 0xAB, 0x78, 0x56}},
        PointFault{"writeSilent",
                   [](zulsim::Options& o) { o.silent = true; },
                   Op::WriteWord,
                   2,
                   Join({}, kNothingHeard, 4, {kWriteFailed2}),
                   {kWrite, kWrite, kWrite},
                   kMemory},

        // ---- merged writes: a failed preparatory read sends no write
        PointFault{"nibbleWriteNak",
                   [](zulsim::Options& o) { o.nakAll = true; },
                   Op::WriteNibble,
                   1,
                   {kNak, L64("ZUL01: TRK: ERROR BlockRead(): Fail rc = 1"), kWriteFailed1},
                   {kByteRead},
                   kMemory},
        PointFault{"nibbleWriteShortValueArea",
                   [](zulsim::Options& o) { o.shortValueArea = true; },
                   Op::WriteNibble,
                   2,
                   {{32, "ZUL01: TRK: TRACKER Ver.ID = 0xF5h"}, kReadFailed2, kWriteFailed2},
                   {kByteRead, kWake, kVersion},
                   kMemory}),
    [](const ::testing::TestParamInfo<PointFault>& p) { return std::string(p.param.name); });

using LateReplies = HostTest;

// Every reply 80 ms late: the first attempt hears nothing, the second takes
// the first attempt's reply, and the second reply, still on its way, is
// drained before the exchange ends. Without that drain the next read (of
// another address, with the same byte count) would take it for its own.
TEST_F(LateReplies, AreDrainedBeforeTheNextRead) {
    zulsim::PanelSim& sim = Started(With([](zulsim::Options& o) {
        o.faults.late = 1;
        o.faults.lateMinMs = o.faults.lateMaxMs = 80;
    }));
    sim.SetBytes(0x000100, {0x01, 0x02, 0x03, 0x04});
    sim.SetBytes(0x000200, {0x05, 0x06, 0x07, 0x08});
    std::vector<std::uint32_t> first(2, Untouched), second(2, Untouched);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Read('W', 0x000100, first), 0);
    EXPECT_LT(SecondsSince(start), 1.2) << "the drain is capped";
    EXPECT_EQ(Read('W', 0x000200, second), 0);
    EXPECT_EQ(first, (std::vector<std::uint32_t>{0x0201AAAA, 0x0403AAAA}));
    EXPECT_EQ(second, (std::vector<std::uint32_t>{0x0605AAAA, 0x0807AAAA}));
    for (const LogLine& l : log) EXPECT_EQ(l, L64("ZUL01: TRK: ERROR RecvStr(): rc = 2")) << "only unanswered attempts";
}

} // namespace
} // namespace e2e
