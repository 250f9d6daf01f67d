// The simulator's fault modes, line timing and wake announcement.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <bitset>
#include <functional>
#include <thread>

#include "tests/sim/raw_client.h"

using namespace simtest;

namespace {

const char* const kWake = "10 02 31 10 03 B4 BD";
const char* const kVersion = "10 02 F0 10 03 F2 ED";
const char* const kVersionReply = "10 02 F5 10 03 4F D4";
const char* const kRead4 = "10 02 50 01 A2 F3 04 10 03 55 90"; // 4 bytes at 01A2F3

using Check = std::function<void(const std::vector<TimedByte>&)>;

Check Exactly(const char* hex) {
    std::string want = hex;
    return [want](const std::vector<TimedByte>& got) { EXPECT_EQ(Hex(ValuesOf(got)), want); };
}

Check Nothing() { return Exactly(""); }

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

} // namespace

TEST(SimFixedFaults, EachModeAnswersAsItSays) {
    struct Case {
        const char* name;
        std::function<void(zulsim::Options&)> set;
        const char* request;
        Check check;
    } cases[] = {
        {"silent: no ACK", [](zulsim::Options& o) { o.silent = true; o.enqIdleMs = 50; }, kWake, Nothing()},
        {"silent: no version", [](zulsim::Options& o) { o.silent = true; o.enqIdleMs = 50; }, kVersion, Nothing()},
        {"ENQ without ACK: wake frame unanswered", [](zulsim::Options& o) { o.enqWithoutAck = true; }, kWake,
         Nothing()},
        {"ENQ without ACK: version still answered", [](zulsim::Options& o) { o.enqWithoutAck = true; }, kVersion,
         Exactly(kVersionReply)},
        {"wrong identifier", [](zulsim::Options& o) { o.versionId = 0xF3; }, kVersion,
         Exactly("10 02 F3 10 03 96 02")},
        {"NAK: wake frame", [](zulsim::Options& o) { o.nakAll = true; }, kWake, Exactly("15")},
        {"NAK: version", [](zulsim::Options& o) { o.nakAll = true; }, kVersion, Exactly("15")},
        {"NAK: read", [](zulsim::Options& o) { o.nakAll = true; }, kRead4, Exactly("15")},
        {"damaged CRC: frame found, check fails",
         [](zulsim::Options& o) { o.damageCrc = true; }, kVersion,
         [](const std::vector<TimedByte>& got) {
             Bytes b = ValuesOf(got), payload;
             ASSERT_EQ(b.size(), 7u);
             EXPECT_EQ(Hex(Bytes(b.begin(), b.begin() + 5)), "10 02 F5 10 03");
             EXPECT_FALSE(PayloadOf(b, &payload));
         }},
        {"damaged CRC: ACK unaffected", [](zulsim::Options& o) { o.damageCrc = true; }, kWake, Exactly("06")},
        {"status 5: version", [](zulsim::Options& o) { o.statusReply = 5; }, kVersion,
         Exactly("10 02 11 05 10 03 73 BD")},
        {"status 5: read", [](zulsim::Options& o) { o.statusReply = 5; }, kRead4, Exactly("10 02 11 05 10 03 73 BD")},
        {"status 5: wake still ACKed", [](zulsim::Options& o) { o.statusReply = 5; }, kWake, Exactly("06")},
        {"status 0: version", [](zulsim::Options& o) { o.statusReply = 0; }, kVersion,
         Exactly("10 02 11 00 10 03 CE 84")},
        {"short value area", [](zulsim::Options& o) { o.shortValueArea = true; }, kRead4,
         Exactly("10 02 50 34 12 78 10 03 E8 55")},
        {"read reply code", [](zulsim::Options& o) { o.readReplyCode = 0x41; }, "10 02 50 01 A2 F3 00 10 03 34 F3",
         Exactly("10 02 41 10 03 6C 3D")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zulsim::Options o = Quiet();
        c.set(o);
        zulsim::PanelSim sim(o);
        sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
        ASSERT_TRUE(sim.Start());
        RawClient client(sim.DevicePath());
        ASSERT_TRUE(client.Ok());
        client.Send(H(c.request));
        c.check(client.ReceiveTimed(200, 40));
    }
}

TEST(SimFixedFaults, NonZeroStatusRefusesWrites) {
    for (int status : {0, 5}) {
        SCOPED_TRACE(status);
        zulsim::Options o = Quiet();
        o.statusReply = status;
        zulsim::PanelSim sim(o);
        ASSERT_TRUE(sim.Start());
        RawClient client(sim.DevicePath());
        ASSERT_TRUE(client.Ok());
        Bytes reply = client.Exchange(H("10 02 60 01 A2 F3 02 34 12 10 03 48 80"));
        EXPECT_EQ(reply, FrameOf({0x11, static_cast<std::uint8_t>(status)}));
        EXPECT_EQ(sim.GetBytes(0x01A2F3, 2), status == 0 ? H("34 12") : H("00 00"));
    }
}

TEST(SimTiming, SplitReplyHasItsGap) {
    zulsim::Options o = Quiet();
    o.splitGapMs = 100;
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    client.Send(H(kVersion));
    std::vector<TimedByte> got = client.ReceiveTimed(200, 250);
    ASSERT_EQ(Hex(ValuesOf(got)), kVersionReply);
    double widest = 0;
    std::size_t at = 0;
    for (std::size_t i = 1; i < got.size(); ++i) {
        if (got[i].ms - got[i - 1].ms > widest) {
            widest = got[i].ms - got[i - 1].ms;
            at = i;
        }
    }
    EXPECT_GE(widest, 70); // less only by the test's own reading latency
    EXPECT_LT(widest, 250);
    EXPECT_EQ(at, 3u); // the reply is cut in the middle
}

TEST(SimTiming, PacingTakesTheLineTime) {
    // A 100-byte read: 107 bytes on the line, none of them doubled.
    const Bytes request = H("10 02 50 00 30 00 64 10 03 48 EB");
    for (int baud : {0, 9600, 19200}) {
        SCOPED_TRACE(baud);
        zulsim::Options o = Quiet();
        o.baud = baud;
        zulsim::PanelSim sim(o);
        ASSERT_TRUE(sim.Start());
        RawClient client(sim.DevicePath());
        ASSERT_TRUE(client.Ok());
        auto start = Clock::now();
        client.Send(request);
        std::vector<TimedByte> got = client.ReceiveTimed(300, 100, start);
        ASSERT_EQ(got.size(), 107u);
        double last = got.back().ms;
        if (baud == 0) {
            EXPECT_LT(last - got.front().ms, 20); // one burst
            continue;
        }
        double line = 107 * 10 * 1000.0 / baud;
        EXPECT_GE(last, 0.95 * line); // never faster than the line
        EXPECT_LT(last, 2 * line + 100);
        EXPECT_GE(got.back().ms - got.front().ms, 0.5 * line); // spread out, not one burst
    }
}

TEST(SimTiming, LateReplyArrivesWhileALaterRequestIsServed) {
    zulsim::Options o = Quiet();
    o.faults.late = 1;
    o.faults.lateMinMs = o.faults.lateMaxMs = 200;
    zulsim::PanelSim sim(o);
    sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());

    auto start = Clock::now();
    client.Send(H(kVersion));
    Sleep(20);
    double secondSent = MsSince(start);
    client.Send(H(kRead4));
    std::vector<TimedByte> got = client.ReceiveTimed(500, 200, start);

    const Bytes first = H(kVersionReply), second = H("10 02 50 34 12 78 56 10 03 A6 C6");
    ASSERT_EQ(got.size(), first.size() + second.size());
    Bytes all = ValuesOf(got);
    EXPECT_EQ(Bytes(all.begin(), all.begin() + 7), first);
    EXPECT_EQ(Bytes(all.begin() + 7, all.end()), second);
    EXPECT_GE(got.front().ms, 195);
    EXPECT_GE(got[7].ms - secondSent, 195);
    // Due 200 ms after its own request, about 20 ms after the first reply;
    // had serving waited for the first reply, it would come 200 ms after it.
    EXPECT_LT(got[7].ms - got[0].ms, 150);
    EXPECT_EQ(sim.GetStats().lateReplies, 2u);
    EXPECT_EQ(sim.GetStats().faultsInjected, 2u);
}

TEST(SimRandomFaults, EachFaultShowsAndIsCounted) {
    const Bytes clean = H(kVersionReply);
    struct Case {
        const char* name;
        std::function<void(zulsim::LineFaults&)> set;
        const char* request;
        std::uint64_t faults;
        Check check;
    } cases[] = {
        {"flipped bits", [](zulsim::LineFaults& f) { f.flipBit = 1; }, kVersion, 7,
         [&](const std::vector<TimedByte>& got) {
             ASSERT_EQ(got.size(), clean.size());
             for (std::size_t i = 0; i < clean.size(); ++i) {
                 EXPECT_EQ(std::bitset<8>(got[i].byte ^ clean[i]).count(), 1u) << i;
             }
         }},
        {"dropped bytes", [](zulsim::LineFaults& f) { f.dropByte = 1; }, kVersion, 7, Nothing()},
        {"noise byte", [](zulsim::LineFaults& f) { f.noiseByte = 1; }, kVersion, 1,
         [&](const std::vector<TimedByte>& got) {
             Bytes b = ValuesOf(got);
             ASSERT_EQ(b.size(), clean.size() + 1);
             bool found = false;
             for (std::size_t i = 0; i < b.size() && !found; ++i) {
                 Bytes less = b;
                 less.erase(less.begin() + static_cast<std::ptrdiff_t>(i));
                 found = less == clean;
             }
             EXPECT_TRUE(found) << Hex(b);
         }},
        {"delay", [](zulsim::LineFaults& f) { f.delay = 1; f.delayMs = 80; }, kVersion, 1,
         [&](const std::vector<TimedByte>& got) {
             EXPECT_EQ(ValuesOf(got), clean);
             ASSERT_FALSE(got.empty());
             EXPECT_GE(got.front().ms, 75);
         }},
        {"truncated", [](zulsim::LineFaults& f) { f.truncate = 1; }, kVersion, 1,
         [&](const std::vector<TimedByte>& got) {
             Bytes b = ValuesOf(got);
             ASSERT_FALSE(b.empty());
             ASSERT_LT(b.size(), clean.size());
             EXPECT_EQ(b, Bytes(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(b.size())));
         }},
        {"silence", [](zulsim::LineFaults& f) { f.silence = 1; }, kVersion, 1, Nothing()},
        {"damaged ACK", [](zulsim::LineFaults& f) { f.damageAck = 1; }, kWake, 1,
         [](const std::vector<TimedByte>& got) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_NE(got[0].byte, ACK);
         }},
        {"damaged ACK leaves frames alone", [](zulsim::LineFaults& f) { f.damageAck = 1; }, kVersion, 0,
         Exactly(kVersionReply)},
        {"late", [](zulsim::LineFaults& f) { f.late = 1; f.lateMinMs = f.lateMaxMs = 60; }, kVersion, 1,
         [&](const std::vector<TimedByte>& got) {
             EXPECT_EQ(ValuesOf(got), clean);
             ASSERT_FALSE(got.empty());
             EXPECT_GE(got.front().ms, 55);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zulsim::Options o = Quiet();
        c.set(o.faults);
        zulsim::PanelSim sim(o);
        ASSERT_TRUE(sim.Start());
        RawClient client(sim.DevicePath());
        ASSERT_TRUE(client.Ok());
        auto start = Clock::now();
        client.Send(H(c.request));
        c.check(client.ReceiveTimed(200, 40, start));
        EXPECT_EQ(sim.GetStats().faultsInjected, c.faults);
        EXPECT_EQ(sim.GetStats().framesIn, 1u);
    }
}

TEST(SimRandomFaults, SameSeedSameLine) {
    auto run = [](std::uint64_t seed, std::uint64_t* faults) {
        zulsim::Options o = Quiet();
        o.faults.flipBit = 0.1;
        o.faults.dropByte = 0.1;
        o.faults.noiseByte = 0.3;
        o.faults.truncate = 0.2;
        o.faults.seed = seed;
        zulsim::PanelSim sim(o);
        Bytes all;
        if (!sim.Start()) return all;
        RawClient client(sim.DevicePath());
        for (int i = 0; i < 6; ++i) {
            Bytes b = client.Exchange(H(kVersion), 60, 20);
            all.insert(all.end(), b.begin(), b.end());
            all.push_back(0xEE); // keeps the replies apart
        }
        *faults = sim.GetStats().faultsInjected;
        return all;
    };
    std::uint64_t a = 0, b = 0, c = 0;
    Bytes first = run(7, &a), again = run(7, &b), other = run(8, &c);
    EXPECT_EQ(first, again);
    EXPECT_EQ(a, b);
    EXPECT_GT(a, 0u);
    EXPECT_NE(first, other);
}

TEST(SimRandomFaults, OnlyIntactWriteFramesChangeMemory) {
    zulsim::Options o = Quiet();
    o.faults.flipBit = 0.5;
    o.faults.truncate = 0.5;
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    // Intact write frames are stored whatever happens to the replies; a
    // damaged one is never stored.
    client.Exchange(H("10 02 60 01 A2 F3 02 34 12 10 03 48 80"), 60, 20);
    client.Exchange(H("10 02 60 00 20 00 01 A7 10 03 71 EE"), 60, 20);
    EXPECT_EQ(sim.GetBytes(0x01A2F3, 2), H("34 12"));
    EXPECT_EQ(sim.GetBytes(0x002000, 1), H("00"));
    EXPECT_EQ(sim.GetStats().writes, 1u);
}

TEST(SimAnnounce, EnqAfterSilenceAtMostEveryRepeat) {
    zulsim::Options o;
    o.enqIdleMs = 50;
    o.enqRepeatMs = 100;
    auto start = Clock::now();
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    std::vector<TimedByte> got = client.Collect(400, start);
    ASSERT_GE(got.size(), 3u);
    ASSERT_LE(got.size(), 4u);
    EXPECT_GE(got[0].ms, 45);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].byte, ENQ);
        if (i > 0) {
            EXPECT_GE(got[i].ms - got[i - 1].ms, 70); // less only by the test's reading latency
        }
    }
    EXPECT_EQ(sim.GetStats().enqsOut, got.size());
}

TEST(SimAnnounce, NoEnqWhileTheDriverTalks) {
    zulsim::Options o;
    o.enqIdleMs = 100;
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    Bytes heard;
    auto quiet = Clock::now();
    for (int i = 0; i < 12; ++i) {
        client.Send({ACK}); // the driver's closing ACK: not a request, but not silence either
        quiet = Clock::now();
        Bytes b = client.Receive(25, 5);
        heard.insert(heard.end(), b.begin(), b.end());
    }
    EXPECT_EQ(Hex(heard), "");
    std::vector<TimedByte> after = client.ReceiveTimed(250, 10, quiet);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after[0].byte, ENQ);
    EXPECT_GE(after[0].ms, 90);
}

TEST(SimAnnounce, UnreadAnnouncementsDoNotPileUp) {
    zulsim::Options o;
    o.enqIdleMs = 1;
    o.enqRepeatMs = 1;
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    Sleep(300); // room for 300 announcements, but nobody has the device open
    std::uint64_t sent = sim.GetStats().enqsOut;
    Sleep(100);
    EXPECT_EQ(sim.GetStats().enqsOut, sent); // they have stopped
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    int waiting = 0;
    ASSERT_EQ(ioctl(client.Fd(), FIONREAD, &waiting), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(waiting), sent);
    EXPECT_GE(waiting, 32);
}

// The wake-up as the driver performs it: after its (invisible) RTS pulse and
// 200 ms, an ENQ waits; the wake frame gets ACK within 50 ms.
TEST(SimAnnounce, HandshakeAsTheDriverDoesIt) {
    zulsim::PanelSim sim{zulsim::Options{}};
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    Sleep(200);
    Bytes waiting = client.Receive(10, 5);
    ASSERT_FALSE(waiting.empty());
    EXPECT_EQ(waiting[0], ENQ);
    tcflush(client.Fd(), TCIFLUSH);
    client.Send(H(kWake));
    Sleep(50);
    EXPECT_EQ(Hex(client.Receive(100, 5)), "06");
    tcflush(client.Fd(), TCIFLUSH);
    EXPECT_EQ(Hex(client.Exchange(H(kVersion), 150, 10)), kVersionReply);
}
