// One exchange with the panel and the check of its reply, on the fake port.
#include <cstring>

#include "link/exchange.h"
#include "serial/port.h"
#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

class ExchangeTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(OpenComm("COM5", LineSettings{}, channel.PortHandle), PortResult::Ok);
        link = LinkChannel{channel.PortHandle, 7, CharacterTime(LineSettings{})}; // 9600 baud, 8N1
        ClearMsgBuffer(frame);
        ClearMsgBuffer(reply);
        const Bytes read{0x50, 0x01, 0xA2, 0xF3, 0x04};
        std::memcpy(frame.data, read.data(), read.size());
        frame.length = 5;
        BuildFrame(frame);
        sent = Bytes(frame.data, frame.data + frame.length);
        panel.Set(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    }

    MsgBuffer Received(const Bytes& bytes) {
        MsgBuffer b;
        ClearMsgBuffer(b);
        std::memcpy(b.data, bytes.data(), bytes.size());
        return b;
    }

    // The link's results as the numbers the log lines and callers see.
    static int Code(LinkResult result) { return LinkResultCode(result); }

    // One exchange as a request makes it, with the drain.
    int Run(ReplyShape shape = ReplyShape{}) { return Code(Exchange(link, frame, reply, shape)); }

    LinkChannel link{};
    MsgBuffer frame, reply;
    Bytes sent;
};

// The read request frame is 11 bytes: 11.5 ms at 9600 baud, two more pauses
// before the first byte must have come.
constexpr fake::Micros Pause = 10 * fake::Ms;
constexpr int Window = 5 + 2;
constexpr int DrainPauses = 20;

TEST_F(ExchangeTest, CompleteReplyEndsTheReceiveAtTheNextEmptyPoll) {
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(device->CountWrites(sent), 1);
    EXPECT_EQ(device->Writes().back(), Bytes{ACK});
    EXPECT_EQ(Bytes(reply.data, reply.data + reply.length),
              (Bytes{0x10, 0x02, 0x50, 0x34, 0x12, 0x78, 0x56, 0x10, 0x03}));
    EXPECT_TRUE(log.empty());
    // The reply came 2 ms after the request: the pause ended on its first
    // byte, the poll after it found the reply whole, and no drain.
    EXPECT_EQ(fake::Now(), 2 * fake::Ms);
    EXPECT_EQ(device->timeouts.ReadTotalTimeoutConstant, 1000u) << "the port's own read timeout is back";
}

TEST_F(ExchangeTest, SilentPanelCostsThreeWindowsAndTheDrain) {
    panel.silent = true;
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(device->CountWrites(sent), 3);
    EXPECT_EQ(device->Writes().back(), Bytes{ACK});
    const std::vector<LogLine> expected = {
        {64, "ZUL07: TRK: ERROR RecvStr(): rc = 2"},
        {64, "ZUL07: TRK: ERROR RecvStr(): rc = 2"},
        {64, "ZUL07: TRK: ERROR RecvStr(): rc = 2"},
        {64, "ZUL07: TRK: ERROR HandleCommSendRecv(): rc = 2"},
    };
    EXPECT_EQ(log, expected);
    EXPECT_EQ(fake::Now(), (3 * Window + DrainPauses) * Pause);
}

// The window for the first byte starts when the request has left the port:
// at 1200 baud the 11-byte request alone takes 92 ms.
TEST_F(ExchangeTest, WindowStartsAfterTheRequestsLineTime) {
    panel.replyDelay = 130 * fake::Ms;
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(device->CountWrites(sent), 2) << "at 9600 baud the first attempt gave up before the reply";

    fake::Reset();
    SetUp();
    LineSettings slow;
    slow.baudRate = 1200;
    link.characterTime = CharacterTime(slow);
    panel.replyDelay = 130 * fake::Ms;
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(device->CountWrites(sent), 1);
    EXPECT_EQ(LimitsFor(link, 11).beforeFirstByte, 5 + 10);
}

// An announcement on its way when the request went out does not begin the
// reply: the receive still waits the whole window for it.
TEST_F(ExchangeTest, AnnouncementBeforeTheReplyKeepsTheWindow) {
    device->Deliver({ENQ}, 3 * fake::Ms);
    panel.replyDelay = 60 * fake::Ms;
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(device->CountWrites(sent), 1);
}

// A reply in progress may fall silent for half the read timeout (a device
// server's packets, a radio's frames); a longer silence ends it.
TEST_F(ExchangeTest, GapsUpToHalfTheReadTimeoutAreBridged) {
    panel.replyDelay = 35 * fake::Ms;
    panel.splitGap = 490 * fake::Ms;
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(device->CountWrites(sent), 1);

    SetUp();
    panel.splitGap = 520 * fake::Ms;
    EXPECT_EQ(Run(), 2);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), (LogLine{64, "ERROR ChekReply:BreakIt() Failed"}));
    Sleep(1000);
    EXPECT_EQ(device->Waiting(), 0u) << "the second half did not stay for the next request";
}

// A CRC byte 0x10 is complete only with its doubling: the receive waits for it.
TEST_F(ExchangeTest, DoubledCrcByteArrivingLateIsAwaited) {
    panel.silent = true;
    const Bytes cut{0x10, 0x02, 0x50, 0x00, 0x00, 0x00, 0x91, 0x10, 0x03, 0x10};
    device->Deliver(cut, 2 * fake::Ms);
    device->Deliver({0x10, 0x8A}, 30 * fake::Ms);
    ASSERT_EQ(Code(RecvStr(link, reply, LimitsFor(link, 11))), 0);
    EXPECT_EQ(Code(CheckReply(reply)), 0);
    EXPECT_EQ(fake::Now(), 3 * Pause);
}

TEST(ReplyComplete, EveryProperPrefixOfAReplyIsIncomplete) {
    const Bytes replies[] = {
        {0x10, 0x02, 0x31, 0x10, 0x03, 0xB4, 0xBD},
        {0x06, 0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x58},                         // ACK in front
        {0x10, 0x02, 0x50, 0x00, 0x00, 0x00, 0x91, 0x10, 0x03, 0x10, 0x10, 0x8A}, // low CRC byte 0x10
        {0x10, 0x02, 0x50, 0x00, 0x00, 0x00, 0x2F, 0x10, 0x03, 0x49, 0x10, 0x10}, // high CRC byte 0x10
        {0x10, 0x02, 0x03, 0x10, 0x10, 0x03, 0x10, 0x03, 0x7D, 0xC4},             // ETX inside the payload
        {0x05, 0x05, 0x10, 0x02, 0x11, 0x00, 0x10, 0x03, 0xCE, 0x84},             // announcements in front
        {0x15},                                                                   // NAK
    };
    for (const Bytes& whole : replies) {
        MsgBuffer b;
        ClearMsgBuffer(b);
        std::memcpy(b.data, whole.data(), whole.size());
        for (std::size_t n = 0; n < whole.size(); ++n) {
            MsgBuffer prefix;
            ClearMsgBuffer(prefix);
            std::memcpy(prefix.data, whole.data(), n);
            EXPECT_FALSE(ReplyComplete(prefix, static_cast<int>(n))) << n << " of " << whole.size();
        }
        EXPECT_TRUE(ReplyComplete(b, static_cast<int>(whole.size()))) << whole.size();
        MsgBuffer copy = b;
        EXPECT_EQ(std::memcmp(&copy, &b, sizeof b), 0) << "the check changes nothing";
    }
}

// A line that never falls silent and never completes a frame ends at the
// cap: the window, a full buffer's line time and twice the read timeout.
TEST_F(ExchangeTest, TrickleEndsAtTheCap) {
    panel.silent = true;
    device->Deliver(Bytes(1000, 0x41), 1 * fake::Ms, 9 * fake::Ms);
    ReceiveLimits limits = LimitsFor(link, 11);
    EXPECT_EQ(limits.total, milliseconds(Window * 10 + 615 + 2000));
    ASSERT_EQ(Code(RecvStr(link, reply, limits)), 0);
    EXPECT_GE(fake::Now(), limits.total.count() * fake::Ms);
    EXPECT_LE(fake::Now(), limits.total.count() * fake::Ms + Pause);
}

TEST_F(ExchangeTest, WholeBlockAtTheLinesPaceArrivesOnEveryTick) {
    // 127 W: a reply frame of 262 bytes paced at 9600 baud, behind a USB
    // adapter with a 16 ms latency timer, and pauses that last 15.6 ms.
    const Bytes read{0x50, 0x00, 0x30, 0x00, 254};
    std::memcpy(frame.data, read.data(), read.size());
    frame.length = 5;
    BuildFrame(frame);
    for (fake::Micros tick : {fake::Micros{0}, fake::Micros{15625}}) {
        for (fake::Micros latency : {fake::Micros{0}, 16 * fake::Ms}) {
            fake::SetSleepTick(tick);
            panel.perByte = link.characterTime.count();
            panel.latencyTimer = latency;
            panel.replyDelay = 20 * fake::Ms;
            ASSERT_EQ(Run(ReplyShape{255, false}), 0) << tick << " " << latency;
        }
    }
}

TEST_F(ExchangeTest, NakReplyPassesTheExchangeAndFailsTheCheck) {
    panel.nak = true;
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_EQ(fake::Now(), 2 * fake::Ms) << "a NAK is a whole reply";
    EXPECT_EQ(Code(CheckReply(reply)), 1);
    EXPECT_EQ(reply.nakReceived, 1);
    EXPECT_EQ(log, (std::vector<LogLine>{{64, "ERROR ChekReply:NAK recieved"}}));
}

TEST_F(ExchangeTest, ReplyCheckTable) {
    struct Case {
        const char* what;
        Bytes received;
        int result;
        std::vector<LogLine> lines;
    };
    const Case cases[] = {
        {"ACK then frame", {0x06, 0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x58}, 0, {}},
        {"status 0", {0x10, 0x02, 0x11, 0x00, 0x10, 0x03, 0xCE, 0x84}, 0, {}},
        {"status 5", {0x10, 0x02, 0x11, 0x05, 0x10, 0x03, 0x73, 0xBD}, 5, {{64, "ERROR ChekReply():Status reply = 5"}}},
        {"NAK", {0x15}, 1, {{64, "ERROR ChekReply:NAK recieved"}}},
        {"no frame", {0x41, 0x42}, 2, {{64, "ERROR ChekReply:BreakIt() Failed"}}},
        {"damaged last byte",
         {0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x59},
         3,
         {{64, "ERROR ChekReply:received CRC = 594A , Calculated CRC = 584A"}}},
        {"two frames",
         {0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x58, 0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x58},
         2,
         {{64, "ERROR ChekReply:BreakIt() Failed"}}},
        {"frame then a trailing byte", {0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x58, 0x05}, 0, {}},
        {"CRC with DLE then no second frame",
         {0x10, 0x02, 0x50, 0x00, 0x00, 0x00, 0x91, 0x10, 0x03, 0x10, 0x10, 0x8A, 0x02},
         0,
         {}},
    };
    for (const auto& c : cases) {
        log.clear();
        MsgBuffer b = Received(c.received);
        EXPECT_EQ(Code(CheckReply(b)), c.result) << c.what;
        EXPECT_EQ(log, c.lines) << c.what;
    }
    MsgBuffer f2 = Received({0x06, 0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x58});
    ASSERT_EQ(Code(CheckReply(f2)), 0);
    EXPECT_EQ(f2.ackReceived, 1);
    EXPECT_EQ(f2.data[2], 0xF2);
}

TEST_F(ExchangeTest, SendFailures) {
    device->failWrites = 3;
    EXPECT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 7);
    EXPECT_EQ(device->Writes(), (std::vector<Bytes>{{ACK}}));
    EXPECT_EQ(std::count(log.begin(), log.end(), LogLine{64, "ZUL07: TRK: ERROR SendStr(): rc = 7"}), 3);
    EXPECT_EQ(log.back(), (LogLine{64, "ZUL07: TRK: ERROR HandleCommSendRecv(): rc = 7"}));

    log.clear();
    device->shortWriteBy = 2;
    EXPECT_EQ(Code(SendStr(link, frame.data, frame.length)), frame.length - 2);
    device->shortWriteBy = 100;
    EXPECT_EQ(Code(SendStr(link, frame.data, frame.length)), 2);
    device->shortWriteBy = 0;
    EXPECT_EQ(Code(SendStr(link, frame.data, 0)), 0);
}

TEST_F(ExchangeTest, SendPurgesTheInputFirst) {
    device->Deliver({0x10, 0x02, 0x99, 0x10, 0x03, 0x00, 0x00});
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_EQ(Code(CheckReply(reply)), 0);
    EXPECT_EQ(reply.data[3], 0x34);
}

TEST_F(ExchangeTest, ReceiveNeverStoresBeyondTheBuffer) {
    panel.silent = true;
    device->Deliver(Bytes(1000, 0x41), 1 * fake::Ms, 1);
    device->Deliver({0x10, 0x02, 0x31, 0x10, 0x03, 0xB4, 0xBD}, 2 * fake::Ms);
    std::memset(&frame, 0, sizeof frame); // a zero-length send still receives
    EXPECT_EQ(Code(RecvStr(link, reply, LimitsFor(link, 11))), 0);
    Sleep(10);
    EXPECT_EQ(device->Waiting(), 1000u + 7u - MsgBufferSize);
}

TEST_F(ExchangeTest, FailedReadsYield7UnlessALaterReadSucceeds) {
    device->Deliver({0x41}, 1 * fake::Ms);
    device->failReads = 1;
    EXPECT_EQ(Code(RecvStr(link, reply, LimitsFor(link, 11))), 0) << "the retried read succeeded";
    EXPECT_EQ(reply.data[0], 0x41);

    // Bytes that wait but can never be read end the receive like empty
    // polls do, instead of keeping it busy for ever.
    device->Deliver({0x41, 0x42}, 1 * fake::Ms);
    device->failReads = 1000000;
    fake::Micros start = fake::Now();
    EXPECT_EQ(Code(RecvStr(link, reply, LimitsFor(link, 11))), 2);
    EXPECT_EQ(fake::Now() - start, Window * Pause);
    EXPECT_EQ(log.back(), (LogLine{64, "ZUL07: TRK: ERROR RecvStr(): rc = 2"}));
}

// A reply that arrives after its attempt gave up is drained before the
// exchange returns, so it can never answer the next request.
TEST_F(ExchangeTest, LateDuplicateIsDrainedBeforeTheExchangeReturns) {
    panel.lateReplies = 1;
    panel.lateBy = 110 * fake::Ms; // after attempt 2's receive ended
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(device->CountWrites(sent), 2);
    EXPECT_EQ(device->Waiting(), 0u) << "the late reply was drained";
    EXPECT_GE(fake::Now(), 112 * fake::Ms + DrainPauses * Pause);
    EXPECT_LE(fake::Now(), 112 * fake::Ms + (DrainPauses + 2) * Pause);
}

TEST_F(ExchangeTest, LateReplyBesideTheNextOneMakesItAmbiguous) {
    panel.lateReplies = 1;
    panel.lateBy = 70 * fake::Ms; // arrives together with attempt 2's own reply
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(log.back(), (LogLine{64, "ERROR ChekReply:BreakIt() Failed"}));
}

TEST_F(ExchangeTest, HealthyExchangeIsNotSlowedByTheDrain) {
    ASSERT_EQ(Run(), 0);
    EXPECT_LT(fake::Now(), 2 * Pause);
}

// A panel that announces itself with ENQ whenever the driver has been
// silent for a while does so during the drain as well. Those bytes are
// drained, but they do not hold the drain open until its cap.
TEST_F(ExchangeTest, AnnouncementsDoNotKeepTheDrainGoing) {
    panel.silentRequests = 1;
    device->Deliver(Bytes(10, ENQ), 120 * fake::Ms, 150 * fake::Ms); // one every 150 ms from 120 ms
    fake::Micros start = fake::Now();
    ASSERT_EQ(Run(), 0);
    // A silent attempt, one that got its reply, then 200 ms of a line that brings only ENQ.
    EXPECT_LE(fake::Now() - start, (Window + 1 + DrainPauses + 2) * Pause);
}

// Reply bytes among the announcements still count as traffic.
TEST_F(ExchangeTest, LateReplyAfterAnAnnouncementIsStillDrained) {
    panel.lateReplies = 1;
    panel.lateBy = 250 * fake::Ms; // the first attempt's reply, after an ENQ has come
    device->Deliver({ENQ}, 150 * fake::Ms);
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(device->Waiting(), 0u) << "the late reply was drained";
    EXPECT_GE(fake::Now(), 250 * fake::Ms + 200 * fake::Ms);
}

TEST_F(ExchangeTest, DrainIsCappedOnANoisyLine) {
    panel.silentRequests = 1;
    device->Deliver(Bytes(2000, 0x55), 60 * fake::Ms, 1 * fake::Ms); // noise for two seconds
    fake::Micros start = fake::Now();
    Run();
    // The receive ends when its buffer is full, the drain at its cap.
    EXPECT_LE(fake::Now() - start, LimitsFor(link, 11).total.count() * fake::Ms + 1000 * fake::Ms + 2 * Pause);
}

} // namespace
} // namespace test
