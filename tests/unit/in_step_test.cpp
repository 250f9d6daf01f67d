// In step: a panel answers its requests in order, so after an exchange that
// did not end cleanly the channel fences (the version request, whose answer
// no read or write reply can be) and sends nothing else until the fence is
// answered. No late reply, however late, is taken for another request's.
#include <algorithm>
#include <cstring>

#include "link/link_state.h"
#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

const Bytes Fence{0xF0};

class InStepTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        panel.inOrder = true;
        // Two blocks whose replies look alike but whose values differ: a
        // reply to one taken for the other's shows.
        panel.Set(0x001000, {0x11, 0x11, 0x12, 0x12});
        panel.Set(0x002000, {0x21, 0x21, 0x22, 0x22});
    }
    bool InStep() const { return !LoadLinkState(&channel.StartByte).outOfStep; }

    // Reads two W; on success they must be the panel's.
    std::int32_t Read(std::uint32_t address) {
        std::uint8_t slots[2][4] = {};
        PointRequest p = Points('W', address, 2, slots);
        std::int32_t rc = Call(BlockReadCode, &p);
        if (rc == 0) {
            EXPECT_EQ(Bytes({slots[0][2], slots[0][3], slots[1][2], slots[1][3]}), panel.Get(address, 4))
                << "a value read at " << std::hex << address << " is another request's";
        }
        return rc;
    }
    std::int32_t Write(std::uint32_t address, std::uint8_t value) {
        std::uint8_t slots[1][4] = {{0, 0, value, value}};
        PointRequest p = Points('W', address, 1, slots);
        std::int32_t rc = Call(BlockWriteCode, &p);
        if (rc == 0) {
            EXPECT_EQ(panel.Get(address, 2), Bytes({value, value})) << "a write reported good is lost";
        }
        return rc;
    }
    std::size_t Fences() const {
        return static_cast<std::size_t>(std::count(panel.requests.begin(), panel.requests.end(), Fence));
    }
};

// The first attempt's reply is late, the other attempts' wait behind it:
// attempt 3 takes attempt 1's reply (the same request's), and the replies
// of attempts 2 and 3 come after the drain. The next read, of another block
// with replies of the same length, would take them for its own; it fences
// and reads past them.
TEST_F(InStepTest, LateRepliesOfARetriedReadDoNotAnswerTheNext) {
    Started();
    panel.lateness = {150 * fake::Ms, 330 * fake::Ms, 0};
    EXPECT_EQ(Read(0x001000), 0);
    EXPECT_FALSE(InStep());
    EXPECT_EQ(Read(0x002000), 0);
    EXPECT_TRUE(InStep());
    EXPECT_EQ(Fences(), 1u);
    EXPECT_EQ(Write(0x003000, 0x5A), 0);
    EXPECT_EQ(Fences(), 1u) << "a channel in step sends no fence";
}

// Replies far later than anything waits for: the read fails, the next
// requests' fences fail without sending their frames, and once the late
// replies have come the fence reads past them.
TEST_F(InStepTest, RepliesSecondsLateAreReadPastByALaterFence) {
    Started();
    panel.lateness = {2500 * fake::Ms, 0, 0};
    EXPECT_EQ(Read(0x001000), 2);
    std::size_t frames = panel.requests.size();
    EXPECT_EQ(Write(0x003000, 0x77), 2);
    EXPECT_EQ(Read(0x002000), 2);
    for (std::size_t i = frames; i < panel.requests.size(); ++i) EXPECT_EQ(panel.requests[i], Fence);
    EXPECT_NE(panel.Get(0x003000, 1), Bytes{0x77}) << "nothing but fences went out";
    Sleep(3000);
    EXPECT_EQ(Read(0x002000), 0);
    EXPECT_EQ(Write(0x003000, 0x77), 0);
    EXPECT_TRUE(InStep());
}

// A write whose frame never reached the panel must not take an earlier
// write's late status reply for its own: that would report a lost write as
// done.
TEST_F(InStepTest, LateStatusReplyIsNotTakenForALostWrite) {
    Started();
    panel.lateness = {300 * fake::Ms, 300 * fake::Ms, 300 * fake::Ms};
    EXPECT_EQ(Write(0x003000, 0x01), 2);
    panel.silentRequests = 3; // the next frames are lost on the way
    EXPECT_EQ(Write(0x003000, 0x02), 2);
    EXPECT_EQ(panel.Get(0x003000, 1), Bytes{0x01});
    Sleep(1000);
    EXPECT_EQ(Write(0x003000, 0x03), 0);
    EXPECT_TRUE(InStep());
}

// The fence's own answer lost, or late: a later attempt of it is answered,
// and a late answer of it at the front of the next reply is read past.
TEST_F(InStepTest, FencesOwnAnswerLostOrLate) {
    Started();
    panel.silentRequests = 3; // the read goes unanswered
    EXPECT_EQ(Read(0x001000), 2);
    panel.silentRequests = 1; // the fence's first attempt too
    EXPECT_EQ(Read(0x002000), 0);
    EXPECT_EQ(Fences(), 2u);

    // The fence's first answer comes during its second attempt, the second
    // answer after the drain: the read drops it from the front of its reply.
    panel.silentRequests = 3;
    EXPECT_EQ(Read(0x001000), 2);
    panel.lateness = {100 * fake::Ms, 400 * fake::Ms};
    EXPECT_EQ(Read(0x002000), 0);
    EXPECT_EQ(Read(0x001000), 0);
    EXPECT_EQ(Read(0x002000), 0);
    EXPECT_TRUE(InStep());
}

// A fence answered on its second attempt leaves its first attempt's reply,
// or its second's, to come; a read that then goes unanswered puts that
// version reply behind its own. The next fence must not take it for its
// answer: it first sends a one-byte read and reads past version replies
// until another frame has come, then fences with the version request.
TEST_F(InStepTest, AnEarlierFencesLateVersionReplyDoesNotEndTheNext) {
    Started();
    panel.silentRequests = 3;
    EXPECT_EQ(Read(0x001000), 2);
    // The fence's first answer comes during its second attempt; the second
    // answer comes late, and the next read's replies wait behind it.
    panel.lateness = {100 * fake::Ms, 900 * fake::Ms};
    EXPECT_EQ(Read(0x002000), 2) << "fenced, but its replies are behind the late version reply";
    EXPECT_TRUE(LoadLinkState(&channel.StartByte).versionsBehind);
    std::size_t before = panel.requests.size();
    Sleep(2000);
    EXPECT_EQ(Read(0x002000), 0);
    ASSERT_GE(panel.requests.size(), before + 3);
    EXPECT_EQ(panel.requests[before], (Bytes{0x50, 0x00, 0x20, 0x00, 0x01})) << "the one-byte read first";
    EXPECT_EQ(panel.requests[before + 1], Fence);
    EXPECT_TRUE(InStep());
}

// Two channels: one out of step fences, the other sends only its requests.
TEST_F(InStepTest, TwoChannelsOneOutOfStep) {
    FakePanel other;
    other.Set(0x001000, {1, 2, 3, 4});
    fake::Device& com6 = fake::AddDevice("COM6");
    com6.peer = &other;
    Started();
    ChannelContext first = channel;
    std::memset(&channel, 0, sizeof channel);
    ASSERT_EQ(ColdStartOn("COM6"), 0);
    ChannelContext second = channel;
    other.requests.clear();

    channel = first;
    panel.silentRequests = 3;
    EXPECT_EQ(Read(0x001000), 2);
    first = channel;
    for (int i = 0; i < 3; ++i) {
        channel = second;
        std::uint8_t slots[2][4] = {};
        PointRequest p = Points('W', 0x001000, 2, slots);
        EXPECT_EQ(Call(BlockReadCode, &p), 0);
        second = channel;
    }
    EXPECT_EQ(std::count(other.requests.begin(), other.requests.end(), Fence), 0);
    channel = first;
    EXPECT_EQ(Read(0x002000), 0);
    EXPECT_EQ(Fences(), 1u);
}

// A stale read reply ahead of the version reply: the handshake reads past it.
TEST_F(InStepTest, HandshakeReadsPastAStaleReadReply) {
    Started();
    device->Deliver(Frame({0x50, 0xAA, 0xBB}), 252 * fake::Ms);
    panel.replyDelay = 10 * fake::Ms;
    EXPECT_EQ(Call(WarmStartCode), 0); // the version request goes out at 250 ms
    EXPECT_EQ(log.front(), (LogLine{32, "ZUL01: TRK: TRACKER Ver.ID = 0xF5h"}));
}

// A read of no element is answered by its reply code alone: one payload
// byte, but no version reply; also on a channel out of step.
TEST_F(InStepTest, ReadOfNoElement) {
    Started();
    PointRequest p = Points('W', 0x001000, 0, nullptr);
    EXPECT_EQ(Call(BlockReadCode, &p), 0);
    panel.silentRequests = 3;
    EXPECT_EQ(Read(0x001000), 2);
    EXPECT_EQ(Call(BlockReadCode, &p), 0);
    EXPECT_EQ(panel.requests.back(), (Bytes{0x50, 0x00, 0x10, 0x00, 0x00}));
    EXPECT_TRUE(InStep());
}

} // namespace
} // namespace test
