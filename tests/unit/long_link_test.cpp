// Links that take their time: radio modems, cellular routers, device servers
// across a WAN. The channel learns how long its link takes (first in the
// handshake, which may wait the whole read timeout R), and its waits fit it,
// bounded by R.
#include <cstring>
#include <random>

#include "link/link_state.h"
#include "serial/line_settings.h"
#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

class LongLinkTest : public DriverTest {
protected:
    void StartAt(std::uint16_t baud, std::int32_t timeout) {
        ColdStartParams p;
        std::memset(&p, 0, sizeof p);
        std::strcpy(p.PortName, "COM5");
        p.ActiveFlag = 1;
        p.ResponseTimeout = timeout;
        p.BaudRate = baud;
        p.ByteSize = 8;
        ASSERT_EQ(Call(ColdStartCode, &p), 0);
        ASSERT_EQ(log.back().text, "ZUL01: TRK: ColdStart(): TRK Driver loaded successfully");
        log.clear();
    }
    void Pace(std::uint16_t baud) {
        LineSettings line;
        line.baudRate = baud;
        panel.perByte = CharacterTime(line).count();
    }
    milliseconds Learned() const { return LoadLinkState(&channel.StartByte).delay; }
    bool InStep() const { return !LoadLinkState(&channel.StartByte).outOfStep; }

    std::int32_t Transfer(std::int32_t code, std::uint32_t address, std::int32_t count, std::uint8_t (*slots)[4],
                          char letter = 'W') {
        PointRequest p = Points(letter, address, count, slots);
        return Call(code, &p);
    }
    // A read of two W, checked against the panel's memory; the time it took.
    fake::Micros TimedRead(std::int32_t* result) {
        std::uint8_t slots[2][4] = {};
        fake::Micros start = fake::Now();
        *result = Transfer(BlockReadCode, 0x01A2F3, 2, slots);
        if (*result == 0) {
            EXPECT_EQ(Bytes({slots[0][2], slots[0][3], slots[1][2], slots[1][3]}), panel.Get(0x01A2F3, 4));
        }
        return fake::Now() - start;
    }
};

// Every block size each way, at three speeds, behind links of up to R/2,
// after ColdStart: each request answered on its first attempt.
TEST_F(LongLinkTest, EveryBlockSizeReadsAndWritesBehindALinkOfHalfTheReadTimeout) {
    struct Link {
        std::int32_t timeout; // the host's, in 10 ms
        fake::Micros delay;
    };
    std::mt19937 random(11);
    for (std::uint16_t baud : {9600, 19200, 38400}) {
        for (Link link : {Link{100, 500 * fake::Ms}, Link{200, 1000 * fake::Ms}, Link{600, 3000 * fake::Ms}}) {
            SCOPED_TRACE(testing::Message() << baud << " baud, link " << link.delay / fake::Ms << " ms");
            SetUp();
            panel = FakePanel{};
            Pace(baud);
            panel.replyDelay = 20 * fake::Ms;
            panel.linkDelay = link.delay;
            StartAt(baud, link.timeout);
            EXPECT_GE(Learned(), milliseconds(link.delay / fake::Ms));
            EXPECT_LE(Learned(), milliseconds(link.delay / fake::Ms + 60));
            for (std::int32_t n = 1; n <= 127; ++n) {
                std::uint8_t slots[127][4] = {};
                for (int i = 0; i < n; ++i) {
                    slots[i][2] = static_cast<std::uint8_t>(random());
                    slots[i][3] = static_cast<std::uint8_t>(random());
                }
                std::size_t before = panel.requests.size();
                ASSERT_EQ(Transfer(BlockWriteCode, 0x004000, n, slots), 0) << n;
                std::uint8_t back[127][4] = {};
                ASSERT_EQ(Transfer(BlockReadCode, 0x004000, n, back), 0) << n;
                ASSERT_EQ(panel.requests.size(), before + 2) << n << ": one frame each way";
                for (int i = 0; i < n; ++i) {
                    ASSERT_EQ(back[i][2], slots[i][2]) << n << " " << i;
                    ASSERT_EQ(back[i][3], slots[i][3]) << n << " " << i;
                }
            }
            EXPECT_TRUE(log.empty()) << log.front().text;
        }
    }
}

// Announcements that were on their way when the wake frame went out (a
// panel that repeats ENQ while the line is idle, behind a long link) are
// no answer to it: the handshake reads past them to the ACK.
TEST_F(LongLinkTest, AnnouncementsOnTheirWayAreNoAnswerToTheWakeFrame) {
    panel.linkDelay = 300 * fake::Ms;
    device->Deliver({ENQ}, 350 * fake::Ms);
    device->Deliver({ENQ}, 420 * fake::Ms);
    StartAt(9600, 100);
    EXPECT_EQ(device->CountWrites(Frame({0x31})), 1) << "one wake frame";
}

// A reply in progress that falls silent for up to R/2 arrives whole, also
// on a learned long link.
TEST_F(LongLinkTest, GapOfHalfTheReadTimeoutInsideAReplyOnALongLink) {
    panel.linkDelay = 700 * fake::Ms;
    StartAt(9600, 200);
    panel.Set(0x01A2F3, {1, 2, 3, 4});
    panel.splitGap = 990 * fake::Ms;
    std::int32_t rc = -1;
    TimedRead(&rc);
    EXPECT_EQ(rc, 0);
    panel.splitGap = 1100 * fake::Ms;
    TimedRead(&rc);
    EXPECT_EQ(rc, 2) << "a silence longer than R/2 ends the reply";
}

// The link turns slow (a radio hop, a congested router), then fast again:
// the wait follows it up at once, and back down, and no value is wrong.
TEST_F(LongLinkTest, LinkThatTurnsSlowAndFastAgain) {
    panel.Set(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    panel.inOrder = true;
    panel.linkDelay = 10 * fake::Ms;
    StartAt(9600, 100);
    EXPECT_LE(Learned(), milliseconds(25));

    panel.linkDelay = 450 * fake::Ms;
    int failed = 0;
    int cleanInARow = 0;
    for (int i = 0; i < 12 && cleanInARow < 3; ++i) {
        std::size_t before = panel.requests.size();
        std::int32_t rc = -1;
        TimedRead(&rc);
        failed += rc != 0;
        bool clean = rc == 0 && panel.requests.size() == before + 1 && InStep();
        cleanInARow = clean ? cleanInARow + 1 : 0;
    }
    EXPECT_EQ(cleanInARow, 3) << "after " << failed << " failed reads";
    EXPECT_LE(failed, 3);
    EXPECT_GE(Learned(), milliseconds(450));

    panel.linkDelay = 10 * fake::Ms;
    for (int i = 0; i < 40; ++i) {
        std::int32_t rc = -1;
        TimedRead(&rc);
        ASSERT_EQ(rc, 0) << i;
    }
    EXPECT_LE(Learned(), milliseconds(40)) << "the wait came back down";
}

// Karn's rule: a reply to a retried request could answer either attempt, so
// it teaches nothing; neither does a silent attempt.
TEST_F(LongLinkTest, RetriedExchangeTeachesNothing) {
    StartAt(9600, 100);
    const milliseconds learned = Learned();
    panel.silentRequests = 1;
    panel.replyDelay = 40 * fake::Ms;
    std::int32_t rc = -1;
    TimedRead(&rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(Learned(), learned);
    panel.silent = true;
    TimedRead(&rc);
    EXPECT_EQ(rc, 2);
    EXPECT_EQ(Learned(), learned) << "silence alone does not grow the wait";
}

// What a silent panel costs: on a direct line no more than before the
// waits were learned (three attempts of seven pauses and the drain: 410 ms),
// and then less, since an out-of-step channel sends only its fence; on a
// learned long link three learned waits and the drain. No single wait is
// longer than R and the request's line time.
TEST_F(LongLinkTest, SilentPanelCost) {
    struct Case {
        const char* line;
        fake::Micros linkDelay;
        std::int32_t timeout;
        fake::Micros first, later; // the first failed read, the next ones
    };
    const Case cases[] = {
        {"direct", 0, 100, 410 * fake::Ms, 380 * fake::Ms},
        {"400 ms link, R = 2 s", 400 * fake::Ms, 200, 3 * 670 * fake::Ms + 200 * fake::Ms,
         3 * 670 * fake::Ms + 200 * fake::Ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        SetUp();
        panel = FakePanel{};
        panel.linkDelay = c.linkDelay;
        StartAt(9600, c.timeout);
        panel.silent = true;
        std::int32_t rc = -1;
        EXPECT_LE(TimedRead(&rc), c.first);
        EXPECT_EQ(rc, 2);
        std::size_t frames = panel.requests.size();
        for (int i = 0; i < 3; ++i) {
            EXPECT_LE(TimedRead(&rc), c.later);
            EXPECT_EQ(rc, 2);
        }
        for (std::size_t i = frames; i < panel.requests.size(); ++i) {
            EXPECT_EQ(panel.requests[i], Bytes{0xF0}) << "out of step, only fences go out";
        }
        // The longest silence between two writes: one wait for a first byte.
        fake::Micros longest = 0, last = 0;
        for (const fake::Event& e : device->events) {
            if (e.kind != fake::Event::Write) continue;
            if (last > 0) longest = std::max(longest, e.at - last);
            last = e.at;
        }
        EXPECT_LE(longest, c.timeout * 10 * fake::Ms + 12 * fake::Ms + 200 * fake::Ms)
            << "R and the request's line time, or the drain";
    }
}

// Each channel learns its own link: a long one does not slow a direct one.
TEST_F(LongLinkTest, TwoChannelsLearnTheirOwnLinks) {
    FakePanel far;
    far.linkDelay = 600 * fake::Ms;
    far.Set(0x01A2F3, {9, 8, 7, 6});
    fake::Device& com6 = fake::AddDevice("COM6");
    com6.peer = &far;
    ChannelContext nearChannel;
    std::memset(&nearChannel, 0, sizeof nearChannel);
    StartAt(9600, 200);
    nearChannel = channel;
    std::memset(&channel, 0, sizeof channel);
    ASSERT_EQ(ColdStartOn("COM6", 200), 0);
    ChannelContext farChannel = channel;
    EXPECT_GE(LoadLinkState(&farChannel.StartByte).delay, milliseconds(590)) << "600 ms, less the request's line time";
    EXPECT_LE(LoadLinkState(&nearChannel.StartByte).delay, milliseconds(10));

    for (int i = 0; i < 5; ++i) {
        std::uint8_t slots[2][4] = {};
        channel = farChannel;
        ASSERT_EQ(Transfer(BlockReadCode, 0x01A2F3, 2, slots), 0);
        EXPECT_EQ(slots[0][2], 9);
        farChannel = channel;
        channel = nearChannel;
        panel.silent = true;
        fake::Micros start = fake::Now();
        Transfer(BlockReadCode, 0x01A2F3, 2, slots);
        EXPECT_LE(fake::Now() - start, 410 * fake::Ms) << "the direct line's silent panel stays cheap";
        panel.silent = false;
        nearChannel = channel;
    }
}

} // namespace
} // namespace test
