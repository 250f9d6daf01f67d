// The simulator's answers on a clean line, its memory and its device.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <mutex>
#include <thread>

#include "tests/sim/raw_client.h"

using namespace simtest;

TEST(SimProtocol, ExchangesOnACleanLine) {
    struct Case {
        const char* name;
        const char* request;
        const char* reply; // "" for no answer
    } cases[] = {
        {"wake frame", "10 02 31 10 03 B4 BD", "06"},
        {"version request", "10 02 F0 10 03 F2 ED", "10 02 F5 10 03 4F D4"},
        {"bad CRC", "10 02 F0 10 03 F2 EE", "15"},
        {"block read", "10 02 50 01 A2 F3 04 10 03 55 90", "10 02 50 34 12 78 56 10 03 A6 C6"},
        {"DLE in the values is doubled", "10 02 50 00 01 00 02 10 03 49 E7", "10 02 50 10 10 20 10 03 3E 64"},
        {"a CRC byte 10 is doubled", "10 02 50 00 20 00 01 10 03 F8 63", "10 02 50 A7 10 03 10 10 0D"},
        {"unset memory reads 0", "10 02 50 00 30 00 04 10 03 05 EE", "10 02 50 00 00 00 00 10 03 B5 59"},
        {"reads wrap at FFFFFF", "10 02 50 FF FF FF 02 10 03 AF 21", "10 02 50 12 00 10 03 C8 E7"},
        {"unknown command", "10 02 42 10 03 08 D2", "10 02 11 01 10 03 12 DE"},
        {"version request with extra bytes", "10 02 F0 00 10 03 FF 2C", "10 02 11 01 10 03 12 DE"},
        {"bytes before a frame are skipped", "06 41 06 10 02 F0 10 03 F2 ED", "10 02 F5 10 03 4F D4"},
        {"the driver's ACK gets no answer", "06", ""},
    };
    zulsim::PanelSim sim(Quiet());
    sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    sim.SetBytes(0x000100, {0x10, 0x20});
    sim.SetBytes(0x002000, {0xA7});
    sim.SetBytes(0xFFFFFF, {0x12});
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Hex(client.Exchange(H(c.request))), c.reply);
    }
    EXPECT_EQ(sim.GetStats().framesIn, 11u);
    EXPECT_EQ(sim.GetStats().crcErrors, 1u);
}

TEST(SimProtocol, WritesAreStoredOnlyWhenIntact) {
    struct Case {
        const char* name;
        Bytes request;
        const char* reply;
        std::uint32_t address;
        const char* memory;
    } cases[] = {
        // One L element at 10000A: the address byte 10 travels doubled.
        {"write", H("10 02 60 10 10 00 0A 04 78 56 34 12 10 03 26 F5"), "10 02 11 00 10 03 CE 84", 0x10000A,
         "78 56 34 12"},
        {"doubled DLE value", H("10 02 60 00 40 02 02 41 10 10 10 03 F2 EF"), "10 02 11 00 10 03 CE 84", 0x004002,
         "41 10"},
        {"damaged CRC", H("10 02 60 01 A2 F3 02 34 12 10 03 48 81"), "15", 0x01A2F3, "AA BB"},
        {"count above the data", H("10 02 60 01 A2 F3 03 34 12 10 03 0C 8B"), "10 02 11 01 10 03 12 DE", 0x01A2F3,
         "AA BB"},
        {"count below the data", H("10 02 60 01 A2 F3 01 34 12 10 03 84 9D"), "10 02 11 01 10 03 12 DE", 0x01A2F3,
         "AA BB"},
    };
    zulsim::PanelSim sim(Quiet());
    sim.SetBytes(0x01A2F3, {0xAA, 0xBB});
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Hex(client.Exchange(c.request)), c.reply);
        EXPECT_EQ(Hex(sim.GetBytes(c.address, H(c.memory).size())), c.memory);
    }
    EXPECT_EQ(Hex(client.Exchange(H("10 02 50 10 10 00 0A 04 10 03 46 52"))), "10 02 50 78 56 34 12 10 03 25 FD");
    EXPECT_EQ(sim.GetStats().writes, 2u);
}

TEST(SimProtocol, RequestsSplitOrCutOnTheLine) {
    zulsim::PanelSim sim(Quiet());
    ASSERT_TRUE(sim.Start());
    RawClient client(sim.DevicePath());
    ASSERT_TRUE(client.Ok());
    client.Send(H("10 02 F0 10"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Hex(client.Exchange(H("03 F2 ED"))), "10 02 F5 10 03 4F D4");
    // Cut off for good: given up, so the next request is answered.
    EXPECT_EQ(Hex(client.Exchange(H("10 02 50 10"))), "");
    EXPECT_EQ(Hex(client.Exchange(H("10 02 F0 10 03 F2 ED"))), "10 02 F5 10 03 4F D4");
}

TEST(SimMemory, FileFormatAndItsErrors) {
    std::string path = ::testing::TempDir() + "zulsim_memory.txt";
    std::ofstream(path) << "# panel memory\n01A2F3: 34 12 78 56\n\n  0x004000 = 0A,0b , FF   # comment\n10: 7\n";
    zulsim::PanelSim sim(Quiet());
    std::string error;
    ASSERT_TRUE(sim.LoadMemoryFile(path, &error)) << error;
    EXPECT_EQ(Hex(sim.GetBytes(0x01A2F3, 4)), "34 12 78 56");
    EXPECT_EQ(Hex(sim.GetBytes(0x004000, 4)), "0A 0B FF 00");
    EXPECT_EQ(Hex(sim.GetBytes(0x000010, 1)), "07");

    struct Case {
        const char* line;
        const char* why;
    } bad[] = {
        {"01A2F3 34 12", "expected ADDR"},
        {"1000000: 01", "bad address"},
        {"XYZ: 01", "bad address"},
        {"0100: 123", "bad byte"},
        {"0100: 1G", "bad byte"},
        {"0100:", "no bytes"},
        {"FFFFFE: 01 02 03", "past address FFFFFF"},
    };
    for (const Case& c : bad) {
        SCOPED_TRACE(c.line);
        std::ofstream(path) << "000200: 55\n# comment\n" << c.line << "\n";
        zulsim::PanelSim fresh(Quiet());
        EXPECT_FALSE(fresh.LoadMemoryFile(path, &error));
        EXPECT_NE(error.find(":3: "), std::string::npos) << error;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
        EXPECT_EQ(Hex(fresh.GetBytes(0x000200, 1)), "00"); // all or nothing
    }
    std::remove(path.c_str());
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
    client.Exchange(H("06"), 60);

    std::lock_guard<std::mutex> lock(m);
    const char* expected[] = {"drv> 10 02 F0 10 03 F2 ED", "sim> 10 02 F5 10 03 4F D4", "drv> 06"};
    ASSERT_EQ(lines.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];
        if (i > 0) {
            EXPECT_GE(std::stod(lines[i]), std::stod(lines[i - 1])) << lines[i];
        }
    }
}

TEST(SimDevice, LossReconnectAndTheLink) {
    std::string link = "/tmp/zst" + std::to_string(getpid() % 1000);
    zulsim::Options o = Quiet();
    o.linkPath = link;
    zulsim::PanelSim sim(o);
    sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    ASSERT_TRUE(sim.Start());
    EXPECT_FALSE(sim.Start());
    EXPECT_LE(sim.DevicePath().size(), 11u);
    auto target = [&] {
        char t[PATH_MAX] = {};
        return readlink(link.c_str(), t, sizeof t - 1) > 0 ? std::string(t) : std::string();
    };
    EXPECT_EQ(target(), sim.DevicePath());

    for (int round = 0; round < 2; ++round) { // the driver closing the device does not end serving
        RawClient client(link);
        ASSERT_TRUE(client.Ok());
        EXPECT_EQ(Hex(client.Exchange(H("10 02 31 10 03 B4 BD"))), "06");
    }
    {
        RawClient client(link);
        sim.Disconnect();
        std::uint8_t byte;
        auto start = Clock::now();
        ssize_t n = read(client.Fd(), &byte, 1);
        EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
        EXPECT_LT(MsSince(start), 50);
    }
    ASSERT_TRUE(sim.Reconnect());
    EXPECT_EQ(target(), sim.DevicePath());
    RawClient again(link);
    EXPECT_EQ(Hex(again.Exchange(H("10 02 50 01 A2 F3 04 10 03 55 90"))), "10 02 50 34 12 78 56 10 03 A6 C6");
    sim.Stop();
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}
