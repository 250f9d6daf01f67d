// The simulator's answers on a clean line, its memory and its device.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "tests/sim/raw_client.h"

using namespace simtest;

namespace {

struct ExchangeCase {
    const char* name;
    const char* request;
    const char* reply; // "" for no answer at all
};

// Memory the exchange cases read from.
void Seed(zulsim::PanelSim& sim) {
    sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    sim.SetBytes(0x000100, {0x10, 0x20});
    sim.SetBytes(0x002000, {0xA7});
    sim.SetBytes(0xFFFFFF, {0x12});
}

const ExchangeCase kExchanges[] = {
    {"wake frame is acknowledged", "10 02 31 10 03 B4 BD", "06"},
    {"version request names the panel", "10 02 F0 10 03 F2 ED", "10 02 F5 10 03 4F D4"},
    {"bad CRC is refused", "10 02 F0 10 03 F2 EE", "15"},
    {"block read returns the seeded bytes", "10 02 50 01 A2 F3 04 10 03 55 90", "10 02 50 34 12 78 56 10 03 A6 C6"},
    {"DLE in the value area is doubled", "10 02 50 00 01 00 02 10 03 49 E7", "10 02 50 10 10 20 10 03 3E 64"},
    {"a CRC byte 10 is doubled", "10 02 50 00 20 00 01 10 03 F8 63", "10 02 50 A7 10 03 10 10 0D"},
    {"unset memory reads as zeros", "10 02 50 00 30 00 04 10 03 05 EE", "10 02 50 00 00 00 00 10 03 B5 59"},
    {"reads wrap at the top of the address space", "10 02 50 FF FF FF 02 10 03 AF 21",
     "10 02 50 12 00 10 03 C8 E7"},
    {"unknown command gets status 1", "10 02 42 10 03 08 D2", "10 02 11 01 10 03 12 DE"},
    {"version request with extra bytes is unknown", "10 02 F0 00 10 03 FF 2C", "10 02 11 01 10 03 12 DE"},
    {"bytes outside frames are ignored", "06 41 06 10 02 F0 10 03 F2 ED", "10 02 F5 10 03 4F D4"},
    {"lone bytes get no answer", "06", ""},
};

} // namespace

TEST(SimProtocol, ExchangesOnACleanLine) {
    zulsim::PanelSim sim(Quiet());
    Seed(sim);
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    for (const ExchangeCase& c : kExchanges) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Hex(client.Exchange(H(c.request))), c.reply);
    }
}

TEST(SimProtocol, WriteIsStoredAndReadsBack) {
    zulsim::PanelSim sim(Quiet());
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());

    // One L element 12345678 at 10000A: the address byte 10 travels doubled.
    EXPECT_EQ(Hex(client.Exchange(H("10 02 60 10 10 00 0A 04 78 56 34 12 10 03 26 F5"))), "10 02 11 00 10 03 CE 84");
    EXPECT_EQ(sim.GetBytes(0x10000A, 4), H("78 56 34 12"));
    EXPECT_EQ(Hex(client.Exchange(H("10 02 50 10 10 00 0A 04 10 03 46 52"))), "10 02 50 78 56 34 12 10 03 25 FD");

    // A payload DLE in the written values arrives as one byte in memory.
    EXPECT_EQ(Hex(client.Exchange(FrameOf(H("60 00 40 02 02 41 10")))), "10 02 11 00 10 03 CE 84");
    EXPECT_EQ(sim.GetBytes(0x004002, 2), H("41 10"));

    zulsim::Stats s = sim.GetStats();
    EXPECT_EQ(s.framesIn, 3u);
    EXPECT_EQ(s.writes, 2u);
    EXPECT_EQ(s.reads, 1u);
}

TEST(SimProtocol, RefusedWritesLeaveMemoryAlone) {
    struct Case {
        const char* name;
        Bytes request;
        const char* reply;
    } cases[] = {
        {"damaged CRC", H("10 02 60 01 A2 F3 02 34 12 10 03 48 81"), "15"},
        {"count larger than the data", FrameOf(H("60 01 A2 F3 03 34 12")), "10 02 11 01 10 03 12 DE"},
        {"count smaller than the data", FrameOf(H("60 01 A2 F3 01 34 12")), "10 02 11 01 10 03 12 DE"},
    };
    zulsim::PanelSim sim(Quiet());
    sim.SetBytes(0x01A2F3, {0xAA, 0xBB});
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Hex(client.Exchange(c.request)), c.reply);
        EXPECT_EQ(sim.GetBytes(0x01A2F3, 2), H("AA BB"));
    }
    EXPECT_EQ(sim.GetStats().writes, 0u);
    EXPECT_EQ(sim.GetStats().crcErrors, 1u);
}

TEST(SimProtocol, RequestsSplitOrCutOnTheLine) {
    zulsim::PanelSim sim(Quiet());
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());

    // A request that arrives in two pieces is still one request.
    client.Send(H("10 02 F0 10"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Hex(client.Exchange(H("03 F2 ED"))), "10 02 F5 10 03 4F D4");

    // A request cut off for good is given up, so the next one is answered.
    client.Send(H("10 02 50 10"));
    EXPECT_EQ(Hex(client.Receive(150)), "");
    EXPECT_EQ(Hex(client.Exchange(H("10 02 F0 10 03 F2 ED"))), "10 02 F5 10 03 4F D4");
}

TEST(SimMemory, AccessorsAreSparseAndSafeFromManyThreads) {
    zulsim::PanelSim sim(Quiet());
    EXPECT_EQ(sim.GetBytes(0x123456, 3), H("00 00 00"));
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&sim, t] {
            for (std::uint32_t i = 0; i < 500; ++i) sim.SetBytes(0x010000 + t * 1000 + i, {static_cast<std::uint8_t>(t)});
        });
    }
    for (auto& w : writers) w.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(sim.GetBytes(0x010000 + t * 1000 + 499, 1)[0], t);
}

TEST(SimMemory, FileSeedsMemory) {
    std::string path = ::testing::TempDir() + "zulsim_memory_ok.txt";
    std::ofstream(path) << "# panel memory for a test\n"
                           "01A2F3: 34 12 78 56\n"
                           "\n"
                           "  0x004000 = 0A,0b , FF   # trailing comment\n"
                           "10: 7\n";
    zulsim::PanelSim sim(Quiet());
    std::string error;
    ASSERT_TRUE(sim.LoadMemoryFile(path, &error)) << error;
    EXPECT_EQ(sim.GetBytes(0x01A2F3, 4), H("34 12 78 56"));
    EXPECT_EQ(sim.GetBytes(0x004000, 4), H("0A 0B FF 00"));
    EXPECT_EQ(sim.GetBytes(0x000010, 1), H("07"));
    std::remove(path.c_str());
}

TEST(SimMemory, FileErrorsNameTheLineAndChangeNothing) {
    struct Case {
        const char* line;
        const char* why;
    } cases[] = {
        {"01A2F3 34 12", "expected ADDR"},
        {"1000000: 01", "bad address"},
        {"XYZ: 01", "bad address"},
        {"0100: 123", "bad byte"},
        {"0100: 1G", "bad byte"},
        {"0100:", "no bytes"},
        {"FFFFFE: 01 02 03", "past address FFFFFF"},
    };
    std::string path = ::testing::TempDir() + "zulsim_memory_bad.txt";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        std::ofstream(path) << "000200: 55\n# second line\n" << c.line << "\n";
        zulsim::PanelSim sim(Quiet());
        std::string error;
        EXPECT_FALSE(sim.LoadMemoryFile(path, &error));
        EXPECT_NE(error.find(":3: "), std::string::npos) << error;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
        EXPECT_EQ(sim.GetBytes(0x000200, 1), H("00")); // the good first line was not applied either
    }
    std::remove(path.c_str());
    zulsim::PanelSim sim(Quiet());
    std::string error;
    EXPECT_FALSE(sim.LoadMemoryFile(path, &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(SimTrace, BothDirectionsInHexWithTimestamps) {
    std::mutex m;
    std::vector<std::string> lines;
    zulsim::Options o = Quiet();
    o.trace = true;
    o.traceSink = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(m);
        lines.push_back(line);
    };
    zulsim::PanelSim sim(o);
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    client.Exchange(H("10 02 F0 10 03 F2 ED"));
    client.Send(H("06"));
    client.Receive(60);

    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(lines.size(), 3u);
    const char* expected[] = {"drv> 10 02 F0 10 03 F2 ED", "sim> 10 02 F5 10 03 4F D4", "drv> 06"};
    double previous = -1;
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(lines[i]);
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos);
        double ms = std::stod(lines[i]);
        EXPECT_GE(ms, previous);
        previous = ms;
    }
}

TEST(SimDevice, DisconnectShowsAsEndOfFileAndReconnectRepointsTheLink) {
    std::string link = "/tmp/zst" + std::to_string(getpid() % 1000);
    ASSERT_LE(link.size(), 11u);
    zulsim::Options o = Quiet();
    o.linkPath = link;
    zulsim::PanelSim sim(o);
    sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    ASSERT_TRUE(sim.Start());
    std::string first = sim.DevicePath();
    EXPECT_LE(first.size(), 11u);
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(first, target);

    {
        RawClient client(link);
        ASSERT_TRUE(client.Ok());
        EXPECT_EQ(Hex(client.Exchange(H("10 02 F0 10 03 F2 ED"))), "10 02 F5 10 03 4F D4");
        sim.Disconnect();
        std::uint8_t byte;
        auto start = Clock::now();
        ssize_t n = read(client.Fd(), &byte, 1);
        EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
        EXPECT_LT(MsSince(start), 50);
    }

    ASSERT_TRUE(sim.Reconnect());
    std::fill(std::begin(target), std::end(target), 0);
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.DevicePath(), target);
    RawClient again(link);
    ASSERT_TRUE(again.Ok());
    EXPECT_EQ(Hex(again.Exchange(H("10 02 50 01 A2 F3 04 10 03 55 90"))), "10 02 50 34 12 78 56 10 03 A6 C6");

    sim.Stop();
    struct stat st{};
    EXPECT_NE(lstat(link.c_str(), &st), 0); // the link goes with the simulator
}

TEST(SimDevice, DriverClosingTheDeviceDoesNotEndServing) {
    zulsim::PanelSim sim(Quiet());
    ASSERT_TRUE(sim.Start());
    std::string error;
    EXPECT_FALSE(sim.Start(&error));
    EXPECT_FALSE(error.empty());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        RawClient client(sim.DevicePath());
        ASSERT_TRUE(client.Ok());
        EXPECT_EQ(Hex(client.Exchange(H("10 02 31 10 03 B4 BD"))), "06");
    }
}
