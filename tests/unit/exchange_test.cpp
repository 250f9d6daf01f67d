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
        link = LinkChannel{channel.PortHandle, 7};
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

    LinkChannel link{};
    MsgBuffer frame, reply;
    Bytes sent;
};

TEST_F(ExchangeTest, AcceptedReplyIsAcknowledgedOnce) {
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_EQ(device->CountWrites(sent), 1);
    EXPECT_EQ(device->Writes().back(), Bytes{ACK});
    ASSERT_EQ(Code(CheckReply(reply)), 0);
    EXPECT_EQ(Bytes(reply.data, reply.data + reply.length),
              (Bytes{0x10, 0x02, 0x50, 0x34, 0x12, 0x78, 0x56, 0x10, 0x03}));
    EXPECT_TRUE(log.empty());
    // Five pauses of 10 ms in all, and no drain.
    EXPECT_EQ(fake::Now(), 50 * fake::Ms);
}

TEST_F(ExchangeTest, SilentPanelCostsThreeAttemptsAndTheDrain) {
    panel.silent = true;
    EXPECT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 2);
    EXPECT_EQ(device->CountWrites(sent), 3);
    EXPECT_EQ(device->Writes().back(), Bytes{ACK});
    const std::vector<LogLine> expected = {
        {64, "ZUL07: TRK: ERROR RecvStr(): rc = 2"},
        {64, "ZUL07: TRK: ERROR RecvStr(): rc = 2"},
        {64, "ZUL07: TRK: ERROR RecvStr(): rc = 2"},
        {64, "ZUL07: TRK: ERROR HandleCommSendRecv(): rc = 2"},
    };
    EXPECT_EQ(log, expected);
    EXPECT_EQ(fake::Now(), 3 * 50 * fake::Ms + 200 * fake::Ms);
}

TEST_F(ExchangeTest, NakReplyPassesTheExchangeAndFailsTheCheck) {
    panel.nak = true;
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
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
        {"damaged last byte", {0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x59}, 3,
         {{64, "ERROR ChekReply:received CRC = 594A , Calculated CRC = 584A"}}},
        {"two frames", {0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x58, 0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x58}, 2,
         {{64, "ERROR ChekReply:BreakIt() Failed"}}},
        {"frame then a trailing byte", {0x10, 0x02, 0xF2, 0x10, 0x03, 0x4A, 0x58, 0x05}, 0, {}},
        {"CRC with DLE then no second frame", {0x10, 0x02, 0x50, 0x00, 0x00, 0x00, 0x91, 0x10, 0x03, 0x10, 0x10, 0x8A, 0x02},
         0, {}},
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

TEST_F(ExchangeTest, SplitReplyEndsInTheGap) {
    panel.splitGap = 80 * fake::Ms;
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_EQ(Code(CheckReply(reply)), 2);
}

TEST_F(ExchangeTest, ShortGapInsideTheReplyIsBridged) {
    panel.splitGap = 25 * fake::Ms;
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_EQ(Code(CheckReply(reply)), 0);
}

// The allowance is never restored: the receive ends at the sixth empty
// poll wherever it falls, even when the reply began later.
TEST_F(ExchangeTest, AllowanceCountsThePollsBeforeTheReply) {
    panel.replyDelay = 35 * fake::Ms; // four empty polls before the reply
    panel.splitGap = 25 * fake::Ms;   // the second half needs three more
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_EQ(Code(CheckReply(reply)), 2);
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
    EXPECT_EQ(Code(RecvStr(link, reply)), 0);
    EXPECT_EQ(device->Waiting(), 1000u + 7u - MsgBufferSize);
}

TEST_F(ExchangeTest, FailedReadsYield7UnlessALaterReadSucceeds) {
    device->Deliver({0x41}, 1 * fake::Ms);
    device->failReads = 1;
    EXPECT_EQ(Code(RecvStr(link, reply)), 0) << "the retried read succeeded";
    EXPECT_EQ(reply.data[0], 0x41);

    // Bytes that wait but can never be read end the receive like empty
    // polls do, instead of keeping it busy for ever.
    device->Deliver({0x41, 0x42}, 1 * fake::Ms);
    device->failReads = 1000000;
    fake::Micros start = fake::Now();
    EXPECT_EQ(Code(RecvStr(link, reply)), 2);
    EXPECT_LE(fake::Now() - start, 60 * fake::Ms);
    EXPECT_EQ(log.back(), (LogLine{64, "ZUL07: TRK: ERROR RecvStr(): rc = 2"}));
}

// A reply that arrives after its attempt gave up is drained before the
// exchange returns, so it can never answer the next request.
TEST_F(ExchangeTest, LateDuplicateIsDrainedBeforeTheExchangeReturns) {
    panel.lateReplies = 1;
    panel.lateBy = 110 * fake::Ms; // after attempt 2's receive ended
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_EQ(device->CountWrites(sent), 2);
    EXPECT_EQ(device->Waiting(), 0u) << "the late reply was drained";
    EXPECT_EQ(Code(CheckReply(reply)), 0);
    fake::Micros afterExchange = fake::Now();
    EXPECT_GE(afterExchange, 200 * fake::Ms);
    EXPECT_LE(afterExchange, 2 * 50 * fake::Ms + 1000 * fake::Ms + 60 * fake::Ms);
}

TEST_F(ExchangeTest, LateReplyInsideTheNextReceiveMakesItAmbiguous) {
    panel.lateReplies = 1;
    panel.lateBy = 70 * fake::Ms; // lands inside attempt 2's receive
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_EQ(Code(CheckReply(reply)), 2);
    EXPECT_EQ(log.back(), (LogLine{64, "ERROR ChekReply:BreakIt() Failed"}));
}

TEST_F(ExchangeTest, HealthyExchangeIsNotSlowedByTheDrain) {
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_LT(fake::Now(), 60 * fake::Ms);
}

// A panel that announces itself with ENQ whenever the driver has been
// silent for a while does so during the drain as well. Those bytes are
// drained, but they do not hold the drain open until its cap.
TEST_F(ExchangeTest, AnnouncementsDoNotKeepTheDrainGoing) {
    panel.silentRequests = 1;
    device->Deliver(Bytes(10, ENQ), 120 * fake::Ms, 150 * fake::Ms); // one every 150 ms from 120 ms
    fake::Micros start = fake::Now();
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_EQ(Code(CheckReply(reply)), 0);
    // Two attempts, then 200 ms of a line that brings only ENQ.
    EXPECT_LE(fake::Now() - start, 2 * 50 * fake::Ms + 200 * fake::Ms + 20 * fake::Ms);
}

// Reply bytes among the announcements still count as traffic.
TEST_F(ExchangeTest, LateReplyAfterAnAnnouncementIsStillDrained) {
    panel.lateReplies = 1;
    panel.lateBy = 250 * fake::Ms; // the first attempt's reply, after an ENQ has come
    device->Deliver({ENQ}, 150 * fake::Ms);
    ASSERT_EQ(Code(HandleCommSendRecv(link, frame, reply)), 0);
    EXPECT_EQ(Code(CheckReply(reply)), 0);
    EXPECT_EQ(device->Waiting(), 0u) << "the late reply was drained";
    EXPECT_GE(fake::Now(), 250 * fake::Ms + 200 * fake::Ms);
}

TEST_F(ExchangeTest, DrainIsCappedOnANoisyLine) {
    panel.silentRequests = 1;
    device->Deliver(Bytes(2000, 0x55), 60 * fake::Ms, 1 * fake::Ms); // noise for two seconds
    fake::Micros start = fake::Now();
    HandleCommSendRecv(link, frame, reply);
    EXPECT_LE(fake::Now() - start, 1100 * fake::Ms + 200 * fake::Ms);
}

} // namespace
} // namespace test
