// The simulator's fault modes, line timing and wake announcement.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <bitset>
#include <cmath>
#include <functional>
#include <mutex>
#include <thread>

#include "tests/sim/raw_client.h"

using namespace simtest;

namespace {

const char* const kWake = "10 02 31 10 03 B4 BD";
const char* const kVersion = "10 02 F0 10 03 F2 ED";
const char* const kVersionReply = "10 02 F5 10 03 4F D4";
const char* const kRead4 = "10 02 50 01 A2 F3 04 10 03 55 90";        // 4 bytes at 01A2F3
const char* const kWrite2 = "10 02 60 01 A2 F3 02 AA BB 10 03 0C 53"; // AA BB to 01A2F3

using Timed = std::vector<TimedByte>;
using Check = std::function<void(const Timed&)>;

Check Exactly(const char* hex) {
    std::string want = hex;
    return [want](const Timed& got) { EXPECT_EQ(Hex(ValuesOf(got)), want); };
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

} // namespace

TEST(SimFixedFaults, EachModeAnswersAsItSaysAndKeepsMemory) {
    using Set = std::function<void(zulsim::Options&)>;
    struct Case {
        const char* name;
        Set set;
        const char* request;
        Check check;
    } cases[] = {
        {"silent, wake",
         [](auto& o) {
             o.silent = true;
             o.enqIdleMs = 50;
         },
         kWake, Exactly("")},
        {"silent, version", [](auto& o) { o.silent = true; }, kVersion, Exactly("")},
        {"ENQ without ACK, wake", [](auto& o) { o.enqWithoutAck = true; }, kWake, Exactly("")},
        {"ENQ without ACK, version", [](auto& o) { o.enqWithoutAck = true; }, kVersion, Exactly(kVersionReply)},
        {"wrong identifier", [](auto& o) { o.versionId = 0xF3; }, kVersion, Exactly("10 02 F3 10 03 96 02")},
        {"NAK, wake", [](auto& o) { o.nakAll = true; }, kWake, Exactly("15")},
        {"NAK, read", [](auto& o) { o.nakAll = true; }, kRead4, Exactly("15")},
        {"NAK, write", [](auto& o) { o.nakAll = true; }, kWrite2, Exactly("15")},
        {"damaged CRC, version", [](auto& o) { o.damageCrc = true; }, kVersion,
         [](const Timed& got) {
             std::string text = Hex(ValuesOf(got));
             EXPECT_EQ(text.substr(0, 14), "10 02 F5 10 03");
             EXPECT_EQ(text.size(), 20u);
             EXPECT_NE(text, kVersionReply);
         }},
        {"damaged CRC, ACK unchanged", [](auto& o) { o.damageCrc = true; }, kWake, Exactly("06")},
        {"status 5, version", [](auto& o) { o.statusReply = 5; }, kVersion, Exactly("10 02 11 05 10 03 73 BD")},
        {"status 5, read", [](auto& o) { o.statusReply = 5; }, kRead4, Exactly("10 02 11 05 10 03 73 BD")},
        {"status 5, write refused", [](auto& o) { o.statusReply = 5; }, kWrite2, Exactly("10 02 11 05 10 03 73 BD")},
        {"status 5, wake still ACKed", [](auto& o) { o.statusReply = 5; }, kWake, Exactly("06")},
        {"status 0, version", [](auto& o) { o.statusReply = 0; }, kVersion, Exactly("10 02 11 00 10 03 CE 84")},
        {"short value area", [](auto& o) { o.shortValueArea = true; }, kRead4,
         Exactly("10 02 50 34 12 78 10 03 E8 55")},
        {"read reply code", [](auto& o) { o.readReplyCode = 0x41; }, "10 02 50 01 A2 F3 00 10 03 34 F3",
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
        client.Send(H(c.request));
        c.check(client.ReceiveTimed(200, 40));
        EXPECT_EQ(Hex(sim.GetBytes(0x01A2F3, 2)), "34 12");
    }
}

TEST(SimRandomFaults, EachFaultShowsAndIsCounted) {
    const Bytes clean = H(kVersionReply);
    using Set = std::function<void(zulsim::LineFaults&)>;
    struct Case {
        const char* name;
        Set set;
        const char* request;
        std::uint64_t faults;
        Check check;
    } cases[] = {
        {"flipped bits", [](auto& f) { f.flipBit = 1; }, kVersion, 7,
         [&](const Timed& got) {
             ASSERT_EQ(got.size(), clean.size());
             for (std::size_t i = 0; i < clean.size(); ++i)
                 EXPECT_EQ(std::bitset<8>(got[i].byte ^ clean[i]).count(), 1u);
         }},
        {"dropped bytes", [](auto& f) { f.dropByte = 1; }, kVersion, 7, Exactly("")},
        {"noise byte", [](auto& f) { f.noiseByte = 1; }, kVersion, 1,
         [&](const Timed& got) {
             Bytes b = ValuesOf(got);
             bool found = false;
             for (std::size_t i = 0; i < b.size() && !found; ++i) {
                 Bytes less = b;
                 less.erase(less.begin() + static_cast<std::ptrdiff_t>(i));
                 found = less == clean;
             }
             EXPECT_TRUE(found) << Hex(b);
         }},
        {"delay",
         [](auto& f) {
             f.delay = 1;
             f.delayMs = 80;
         },
         kVersion, 1,
         [&](const Timed& got) {
             ASSERT_EQ(ValuesOf(got), clean);
             EXPECT_GE(got.front().ms, 75);
         }},
        {"truncated", [](auto& f) { f.truncate = 1; }, kVersion, 1,
         [&](const Timed& got) {
             Bytes b = ValuesOf(got);
             ASSERT_FALSE(b.empty());
             ASSERT_LT(b.size(), clean.size());
             EXPECT_EQ(b, Bytes(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(b.size())));
         }},
        {"silence", [](auto& f) { f.silence = 1; }, kVersion, 1, Exactly("")},
        {"damaged ACK", [](auto& f) { f.damageAck = 1; }, kWake, 1,
         [](const Timed& got) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_NE(got[0].byte, ACK);
         }},
        {"damaged ACK leaves frames", [](auto& f) { f.damageAck = 1; }, kVersion, 0, Exactly(kVersionReply)},
        {"late",
         [](auto& f) {
             f.late = 1;
             f.lateMinMs = f.lateMaxMs = 60;
         },
         kVersion, 1,
         [&](const Timed& got) {
             ASSERT_EQ(ValuesOf(got), clean);
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
        auto start = Clock::now();
        client.Send(H(c.request));
        c.check(client.ReceiveTimed(200, 40, start));
        EXPECT_EQ(sim.GetStats().faultsInjected, c.faults);
    }
}

// The widest gap between two bytes and the index of the byte after it.
std::pair<double, std::size_t> WidestGap(const Timed& got) {
    double widest = 0;
    std::size_t at = 0;
    for (std::size_t i = 1; i < got.size(); ++i) {
        if (got[i].ms - got[i - 1].ms > widest) {
            widest = got[i].ms - got[i - 1].ms;
            at = i;
        }
    }
    return {widest, at};
}

TEST(SimRandomFaults, SplitCutsAReplyInTwo) {
    zulsim::Options o = Quiet();
    o.faults.split = 1;
    o.faults.splitMinMs = o.faults.splitMaxMs = 80;
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    auto start = Clock::now();
    client.Send(H(kVersion));
    Timed got = client.ReceiveTimed(300, 200, start);
    ASSERT_EQ(Hex(ValuesOf(got)), kVersionReply);
    auto [widest, at] = WidestGap(got);
    EXPECT_GE(widest, 50); // less only by the test's own reading latency
    EXPECT_EQ(at, 3u);     // cut in the middle
    EXPECT_EQ(sim.GetStats().faultsInjected, 1u);
}

// A late reply may come split as well: held back first, then cut in two.
TEST(SimRandomFaults, LateReplySplitByItsOwnGap) {
    zulsim::Options o = Quiet();
    o.faults.late = 1;
    o.faults.lateMinMs = o.faults.lateMaxMs = 80;
    o.faults.split = 1;
    o.faults.splitMinMs = o.faults.splitMaxMs = 80;
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    auto start = Clock::now();
    client.Send(H(kVersion));
    Timed got = client.ReceiveTimed(400, 200, start);
    ASSERT_EQ(Hex(ValuesOf(got)), kVersionReply);
    EXPECT_GE(got.front().ms, 75);
    auto [widest, at] = WidestGap(got);
    EXPECT_GE(widest, 50);
    EXPECT_EQ(at, 3u);
    EXPECT_EQ(sim.GetStats().faultsInjected, 2u);
    EXPECT_EQ(sim.GetStats().lateReplies, 1u);
}

TEST(SimRandomFaults, SameSeedSameLine) {
    auto run = [](std::uint64_t seed) {
        zulsim::Options o = Quiet();
        o.faults.flipBit = o.faults.dropByte = 0.1;
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
        return all;
    };
    Bytes first = run(7);
    EXPECT_EQ(first, run(7));
    EXPECT_NE(first, run(8));
}

TEST(SimTiming, SplitReplyHasItsGap) {
    zulsim::Options o = Quiet();
    o.splitGapMs = 100;
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    client.Send(H(kVersion));
    Timed got = client.ReceiveTimed(200, 250);
    ASSERT_EQ(Hex(ValuesOf(got)), kVersionReply);
    EXPECT_LT(got[2].ms - got[0].ms, 20);
    EXPECT_GE(got[3].ms - got[2].ms, 70); // less only by the test's own reading latency
    EXPECT_LT(got[3].ms - got[2].ms, 250);
}

TEST(SimTiming, PacingTakesTheLineTime) {
    const Bytes read100 = H("10 02 50 00 30 00 64 10 03 48 EB"); // reply: 107 bytes, none doubled
    for (int baud : {0, 9600, 19200}) {
        SCOPED_TRACE(baud);
        zulsim::Options o = Quiet();
        o.baud = baud;
        zulsim::PanelSim sim(o);
        ASSERT_TRUE(sim.Start());
        RawClient client(sim.DevicePath());
        auto start = Clock::now();
        client.Send(read100);
        Timed got = client.ReceiveTimed(300, 100, start);
        ASSERT_EQ(got.size(), 107u);
        double line = baud ? 107 * 10 * 1000.0 / baud : 0;
        EXPECT_GE(got.back().ms, 0.95 * line); // never faster than the line
        EXPECT_LT(got.back().ms, 2 * line + 100);
        if (baud) {
            EXPECT_GE(got.back().ms - got.front().ms, 0.5 * line); // spread out
        } else {
            EXPECT_LT(got.back().ms - got.front().ms, 20); // one burst
        }
    }
}

// A paced request is taken in at the line's speed, the reply starts after
// its last byte and the turnaround, and a USB adapter hands the reply over
// in bursts at its latency timer's ticks, or a full packet at once.
TEST(SimTiming, FieldTimingOfRequestTurnaroundAndAdapter) {
    const Bytes read100 = H("10 02 50 00 30 00 64 10 03 48 EB"); // reply: 107 bytes
    struct Case {
        int baud, turnaroundMs, latencyMs;
    };
    for (Case c : {Case{9600, 30, 16}, Case{115200, 30, 300}}) {
        SCOPED_TRACE(c.baud);
        zulsim::Options o = Quiet();
        o.baud = c.baud;
        o.turnaroundMs = c.turnaroundMs;
        o.latencyTimerMs = c.latencyMs;
        zulsim::PanelSim sim(o);
        ASSERT_TRUE(sim.Start());
        RawClient client(sim.DevicePath());
        auto start = Clock::now();
        client.Send(read100);
        Timed got = client.ReceiveTimed(600, 400, start);
        ASSERT_EQ(got.size(), 107u);
        double byteMs = 10 * 1000.0 / c.baud;
        EXPECT_GE(got.front().ms, 11 * byteMs + c.turnaroundMs) << "the reply after the request and the turnaround";
        std::vector<std::size_t> bursts{0};
        for (std::size_t i = 1; i < got.size(); ++i) {
            double gap = got[i].ms - got[i - 1].ms;
            EXPECT_TRUE(gap < 3 || gap > 8) << "byte " << i << " came alone, " << gap << " ms after the one before";
            if (gap > 8) bursts.push_back(i);
        }
        if (c.latencyMs == 16) {
            EXPECT_GE(bursts.size(), 6u) << "107 bytes at 9600 baud span seven ticks of 16 ms";
        } else {
            EXPECT_EQ(bursts.size(), 2u);
            EXPECT_EQ(bursts.back(), 62u) << "a full packet went at once, the rest waited for the tick";
        }
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
    auto start = Clock::now();
    client.Send(H(kVersion));
    Sleep(20);
    double secondSent = MsSince(start);
    client.Send(H(kRead4));
    Timed got = client.ReceiveTimed(500, 200, start);

    ASSERT_EQ(Hex(ValuesOf(got)), std::string(kVersionReply) + " 10 02 50 34 12 78 56 10 03 A6 C6");
    EXPECT_GE(got[0].ms, 195);
    EXPECT_GE(got[7].ms - secondSent, 195);
    // About 20 ms after the first reply; had serving waited for the first
    // reply, the second would come 200 ms after it.
    EXPECT_LT(got[7].ms - got[0].ms, 150);
    EXPECT_EQ(sim.GetStats().lateReplies, 2u);
    EXPECT_EQ(sim.GetStats().faultsInjected, 2u);
}

// A long link: every reply comes the link's delay after its request, and
// with gaps in two to four pieces, each silence at most the gaps' length.
TEST(SimTiming, LinkDelayAndGaps) {
    zulsim::Options o = Quiet();
    o.linkDelayMs = 250;
    o.gapsMs = 120;
    zulsim::PanelSim sim(o);
    sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    for (int i = 0; i < 4; ++i) {
        auto start = Clock::now();
        client.Send(H(kRead4));
        Timed got = client.ReceiveTimed(600, 200, start);
        ASSERT_EQ(Hex(ValuesOf(got)), "10 02 50 34 12 78 56 10 03 A6 C6");
        EXPECT_GE(got.front().ms, 245);
        int pieces = 1;
        for (std::size_t k = 1; k < got.size(); ++k) {
            double gap = got[k].ms - got[k - 1].ms;
            EXPECT_LT(gap, 120 + 40) << "no silence longer than the gaps";
            pieces += gap > 40;
        }
        EXPECT_GE(pieces, 2);
        EXPECT_LE(pieces, 4);
    }
}

// Replies delayed in order hold back every later one, as a serial panel's
// do: a short delay after a long one still comes after it.
TEST(SimTiming, DelayedReplyHoldsBackTheNext) {
    zulsim::Options o = Quiet();
    o.faults.delay = 1;
    o.faults.delayMs = 0;
    o.faults.delayMaxMs = 300;
    std::mutex mutex;
    std::vector<int> delays; // each reply's own, from the trace
    o.trace = true;
    o.traceSink = [&](const std::string& line) {
        std::size_t at = line.find("[delayed ");
        if (at == std::string::npos) return;
        std::lock_guard<std::mutex> lock(mutex);
        delays.push_back(std::atoi(line.c_str() + at + 9));
    };
    zulsim::PanelSim sim(o);
    sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    int crossings = 0;
    for (int pair = 0; pair < 20 && crossings < 2; ++pair) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            delays.clear();
        }
        auto start = Clock::now();
        client.Send(H(kVersion));
        Sleep(20);
        client.Send(H(kRead4));
        Timed got = client.ReceiveTimed(700, 400, start);
        ASSERT_EQ(Hex(ValuesOf(got)), std::string(kVersionReply) + " 10 02 50 34 12 78 56 10 03 A6 C6");
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(delays.size(), 2u);
        EXPECT_GE(got[0].ms, delays[0] - 5);
        EXPECT_GE(got[7].ms, 20 + delays[1] - 5) << "not before its own delay";
        if (20 + delays[1] + 30 < delays[0]) ++crossings; // it would have overtaken the first
    }
    EXPECT_GE(crossings, 1) << "no pair in which the second would have come first";
}

TEST(SimAnnounce, EnqAfterSilenceAtMostEveryRepeat) {
    zulsim::Options o;
    o.enqIdleMs = 50;
    o.enqRepeatMs = 100;
    auto start = Clock::now();
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    Timed got = client.ReceiveTimed(400, 400, start, 400);
    ASSERT_GE(got.size(), 3u);
    ASSERT_LE(got.size(), 4u);
    EXPECT_GE(got[0].ms, 45);
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].byte, ENQ);
        if (i > 0) {
            EXPECT_GE(got[i].ms - got[i - 1].ms, 70); // less only by reading latency
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
    Bytes heard;
    auto lastSent = Clock::now();
    for (int i = 0; i < 12; ++i) {
        client.Send({ACK}); // not a request, but not silence either
        lastSent = Clock::now();
        Bytes b = client.Receive(25, 5);
        heard.insert(heard.end(), b.begin(), b.end());
    }
    EXPECT_EQ(Hex(heard), "");
    Timed after = client.ReceiveTimed(250, 10, lastSent);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after[0].byte, ENQ);
    EXPECT_GE(after[0].ms, 90);
}

TEST(SimAnnounce, UnreadAnnouncementsStop) {
    zulsim::Options o;
    o.enqIdleMs = 1;
    o.enqRepeatMs = 1;
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    Sleep(300); // room for 300, but nobody has the device open
    std::uint64_t sent = sim.GetStats().enqsOut;
    Sleep(100);
    EXPECT_EQ(sim.GetStats().enqsOut, sent);
    RawClient client(sim.DevicePath());
    int waiting = 0;
    ASSERT_EQ(ioctl(client.Fd(), FIONREAD, &waiting), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(waiting), sent);
    EXPECT_GE(waiting, 32);
}

// The wake-up as the driver does it: after its RTS pulse (unseen) and 200 ms
// an ENQ waits; the wake frame has its ACK 50 ms later.
TEST(SimAnnounce, HandshakeAsTheDriverDoesIt) {
    zulsim::PanelSim sim{zulsim::Options{}};
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
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
