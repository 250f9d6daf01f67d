// zulgate run as a program, as an integrator runs it, against simulated
// panels on pseudo-terminals (in this process, and a zulsim program), behind
// ports-folder names, through the built driver, with Modbus clients nobody
// here wrote: mbpoll, and Debian's pymodbus under /usr/bin/python3.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/gateway/gateway_fixture.h"

namespace {

using namespace gwtest;

TEST_F(Gateway, ServesEveryTableAndLetterWritesThemAndGivesEachException) {
    zulsim::PanelSim& panel = Sim("COM5");
    panel.SetBytes(0x004002, {0xA5, 0x3C, 0x34, 0x12, 0x01, 0x00, 0x01}); // B, E/M, T, status bits at 004006..8
    panel.SetBytes(0x000100, {0x34, 0x92, 0x78, 0x56});
    panel.SetBytes(0x000200, {0xAA, 0x55});
    panel.SetBytes(0x003000, {0x01, 0x02, 0x03, 0x04, 0x39, 0x30}); // L, then F's whole number 12345
    panel.SetBytes(0x005000, {0x40, 0x1F});                         // day 8000
    zulsim::Options silent;
    silent.silent = true;
    Sim("COM6", silent);
    zulsim::Options refusing;
    refusing.refuseWrites = true;
    Sim("COM7", refusing).SetBytes(0x000100, {0x07, 0x00});
    const char* OneWord = "name,address,table,register,access\nw,W000100,holding,0,rw\n";
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "ahu1.csv") +
                          Panel("mute", "COM6", 2, "w.csv", "response_timeout_ms = 10") +
                          Panel("norw", "COM7", 3, "w.csv"),
                      {{"ahu1.csv", EveryLetter}, {"w.csv", OneWord}}, {"ahu1", "norw"}))
        << Log();

    auto served = [](const std::string& out) { return out.rfind("failed", 0) != 0; };
    ASSERT_TRUE(MbpollUntil(1, 0, served, seconds(10)) && MbpollUntil(3, 0, served, seconds(10))) << Log();
    const std::uint32_t f = FloatBits(12345.0f);
    const std::uint32_t day = 220924800u + 7999u * 86400u; // 1 January 1977 is day 1
    // Every table, every letter, with clients nobody here wrote.
    EXPECT_EQ(Mbpoll({"-t", "4", "-r", "0", "-c", "9", "127.0.0.1"}),
              "165 12 3 4660 37428 (-28108) 22136 1027 513 21930");
    EXPECT_EQ(Mbpoll({"-t", "4:int", "-B", "-r", "6", "127.0.0.1"}), "67305985");
    EXPECT_EQ(Mbpoll({"-t", "3:float", "-B", "-r", "0", "127.0.0.1"}), "12345");
    EXPECT_EQ(Mbpoll({"-t", "3:int", "-B", "-r", "2", "127.0.0.1"}), std::to_string(day));
    EXPECT_EQ(Mbpoll({"-t", "0", "-r", "0", "-c", "2", "127.0.0.1"}), "1 1");
    EXPECT_EQ(Mbpoll({"-t", "1", "-r", "0", "-c", "3", "127.0.0.1"}), "1 0 1");
    std::vector<json> reads = Client({R("read_holding", 0, 9), R("read_input", 0, 5), R("read_coils", 0, 2),
                                      R("read_discrete", 0, 3), R("read_holding", 7, 1), R("read_holding", 0, 1, 3)});
    ASSERT_EQ(reads.size(), 6u);
    EXPECT_EQ(reads[0], Values({0xA5, 0xC, 0x3, 0x1234, 0x9234, 0x5678, 0x0403, 0x0201, 0x55AA}));
    EXPECT_EQ(reads[1], Values({int(f >> 16), int(f & 0xFFFF), int(day >> 16), int(day & 0xFFFF), 0xA5}));
    EXPECT_EQ(reads[2], Values({1, 1}));
    EXPECT_EQ(reads[3], Values({1, 0, 1}));
    EXPECT_EQ(reads[4], Values({0x0201})); // half of a long may be read
    EXPECT_EQ(reads[5], Values({7}));      // the second panel, by its unit

    // Writes land in the panel's memory, and are served at once.
    EXPECT_EQ(Mbpoll({"-t", "4", "-r", "3", "127.0.0.1", "48879"}), "written");
    EXPECT_EQ(panel.GetBytes(0x004004, 2), (Bytes{0xEF, 0xBE}));
    EXPECT_EQ(Mbpoll({"-t", "4:int", "-B", "-r", "6", "127.0.0.1", "--", "-2"}), "written");
    EXPECT_EQ(panel.GetBytes(0x003000, 4), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    std::vector<json> writes = Client({
        W("write_register", 0, 0x25),
        R("read_holding", 0), // B
        W("write_register", 1, 7),
        W("write_register", 2, 9),
        R("read_holding", 1, 2), // E, M
        W("write_registers", 4, json{1, 2}),
        R("read_holding", 4, 2), // W x2
        W("write_registers", 6, json{0xDEAD, 0xBEEF}),
        R("read_holding", 6, 2), // L
        W("write_coil", 0, 1),
        R("read_coils", 0), // bit 7 of the byte
        W("write_coil", 1, 1),
        R("read_coils", 1), // bit 15 of the word
        R("read_holding", 3),
    });
    ASSERT_EQ(writes.size(), 14u);
    EXPECT_EQ(writes[0], Ok);
    EXPECT_EQ(writes[1], Values({0x25}));
    EXPECT_EQ(writes[2], Ok);
    EXPECT_EQ(writes[3], Ok);
    EXPECT_EQ(writes[4], Values({7, 9}));
    EXPECT_EQ(writes[6], Values({1, 2}));
    EXPECT_EQ(writes[8], Values({0xDEAD, 0xBEEF}));
    EXPECT_EQ(writes[10], Values({1}));
    EXPECT_EQ(writes[12], Values({1}));
    EXPECT_EQ(writes[13], Values({0xBEEF}));
    EXPECT_EQ(panel.GetBytes(0x004002, 2), (Bytes{0xA5, 0x97})); // 0x25 with bit 7; nibbles 7 and 9
    EXPECT_EQ(panel.GetBytes(0x000100, 4), (Bytes{0x01, 0x80, 0x02, 0x00}));
    EXPECT_EQ(panel.GetBytes(0x003000, 4), (Bytes{0xEF, 0xBE, 0xAD, 0xDE}));
    // The byte is also input 4, and its bit 7 coil 0: served with the writes at once.
    EXPECT_EQ(Ask(R("read_input", 4)), Values({0xA5}));

    // Each exception a gateway gives.
    std::vector<json> refused = Client({
        R("read_holding", 9),                // 0x02: not mapped
        R("read_holding", 7, 3),             // 0x02: one of them not mapped
        W("write_register", 8, 1),           // 0x02: read-only
        W("write_coils", 0, json{1, 1, 1}),  // 0x02: coil 2 not mapped
        W("write_register", 0, 300),         // 0x03: 300 into a byte
        W("write_register", 1, 16),          // 0x03: 16 into a nibble
        W("write_register", 6, 1),           // 0x03: half of a long
        W("write_registers", 5, json{1, 2}), // 0x03: ends in half of a long
        R("read_holding", 0, 1, 99),         // 0x0A: no panel has unit 99
        R("read_holding", 0, 1, 2),          // 0x0B: never read (a silent panel)
        W("write_register", 0, 1, 2),        // 0x0B: its write cannot be answered
        W("write_register", 0, 1, 3),        // 0x04: the panel refused the write
        R("read_holding", 0, 126),           // 0x03: more than Modbus allows
    });
    std::vector<json> expected{Exception(2),  Exception(2), Exception(2), Exception(2),  Exception(3),
                               Exception(3),  Exception(3), Exception(3), Exception(10), Exception(11),
                               Exception(11), Exception(4), Exception(3)};
    EXPECT_EQ(refused, expected);
    EXPECT_EQ(panel.GetBytes(0x004002, 2), (Bytes{0xA5, 0x97})) << "a refused write changed the panel";
    EXPECT_EQ(sims_[2]->GetBytes(0x000100, 2), (Bytes{0x07, 0x00}));
    EXPECT_NE(Log().find("mute: the panel did not take the start"), std::string::npos) << Log();
}

// The point list's min and max hold on Modbus too, where registers are the
// panel's raw numbers: a raw number whose engineering value lies outside is
// refused with 0x03 and never written.
TEST_F(Gateway, AModbusWriteOutsideMinAndMaxIsRefused) {
    zulsim::PanelSim& panel = Sim("COM5");
    panel.SetBytes(0x000100, {0xD2, 0x00}); // 210: 21.0
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "p.csv"),
                      {{"p.csv",
                        "name,address,table,register,access,scale,min,max\n"
                        "setpoint,W000100,holding,0,rw,0.1,15,30\n"}},
                      {"ahu1"}))
        << Log();
    std::vector<json> asked = Client({
        W("write_register", 0, 149), // 14.9
        W("write_register", 0, 301), // 30.1
        W("write_register", 0, 150), // 15.0, the least allowed
        W("write_register", 0, 300), // 30.0, the most
    });
    EXPECT_EQ(asked, (std::vector<json>{Exception(3), Exception(3), Ok, Ok}));
    EXPECT_EQ(panel.GetBytes(0x000100, 2), (Bytes{0x2C, 0x01})); // 300, the last one allowed
}

TEST_F(Gateway, APanelSilentOrItsDeviceGoneIsNotServedAndComesBack) {
    zulsim::PanelSim& gone = Sim("COM5");
    gone.SetBytes(0x000100, {0x11, 0x00});
    // A panel that falls silent: a zulsim program, stopped and continued.
    std::string link = folder_ + "/ports/COM6";
    gwtest::Process quiet({ZULSIM_PROGRAM, "--link", link, "--set", "000100=22,00"}, folder_ + "/sim.out",
                          folder_ + "/sim.err");
    for (auto until = Clock::now() + seconds(10); Clock::now() < until && quiet.Out().find("PTY") == std::string::npos;)
        std::this_thread::sleep_for(milliseconds(20));
    const char* List = "name,address,table,register,access\nw,W000100,holding,0,rw\n";
    ASSERT_TRUE(Start(Panel("gone", "COM5", 1, "p.csv") + Panel("quiet", "COM6", 2, "p.csv"), {{"p.csv", List}},
                      {"gone", "quiet"}))
        << Log();
    ASSERT_TRUE(MbpollUntil(
        1, 0, [](const std::string& out) { return out == "17"; }, seconds(10)))
        << Log();
    ASSERT_TRUE(MbpollUntil(
        2, 0, [](const std::string& out) { return out == "34"; }, seconds(10)))
        << Log();
    auto failed = [](const std::string& out) {
        return out.find("Target device failed to respond") != std::string::npos;
    };

    // Silent: its points are not served; the other panel's are.
    quiet.Signal(SIGSTOP);
    EXPECT_TRUE(MbpollUntil(2, 0, failed, seconds(15))) << Log();
    std::this_thread::sleep_for(seconds(3)); // a few probes
    EXPECT_EQ(Mbpoll({"-t", "4", "-r", "0", "127.0.0.1"}, 1), "17");
    EXPECT_EQ(Count(Log(), "quiet: the panel does not answer"), 1u) << Log();
    auto back = Clock::now();
    quiet.Signal(SIGCONT);
    EXPECT_TRUE(MbpollUntil(
        2, 0, [](const std::string& out) { return out == "34"; }, seconds(15)))
        << Log();
    EXPECT_LT(Clock::now() - back, seconds(10));
    EXPECT_EQ(Count(Log(), "quiet: back after"), 1u) << Log();

    // The device gone, and back behind the same name on a new pseudo-terminal.
    gone.Disconnect();
    EXPECT_TRUE(MbpollUntil(1, 0, failed, seconds(15))) << Log();
    std::this_thread::sleep_for(seconds(1));
    EXPECT_EQ(Count(Log(), "gone: the device of port COM5"), 1u) << Log();
    gone.SetBytes(0x000100, {0x33, 0x00}); // what it says when it is back
    std::string error;
    back = Clock::now();
    ASSERT_TRUE(gone.Reconnect(&error)) << error;
    EXPECT_TRUE(MbpollUntil(
        1, 0, [](const std::string& out) { return out == "51"; }, seconds(15)))
        << Log();
    EXPECT_LT(Clock::now() - back, seconds(10));
    EXPECT_EQ(Mbpoll({"-t", "4", "-r", "0", "127.0.0.1"}, 2), "34");
}

TEST_F(Gateway, ServesThirtyTwoClientsAtOnce) {
    zulsim::PanelSim& panel = Sim("COM5");
    std::string csv =
        "name,address,table,register,access,count\nwords,W000100,holding,0,rw,40\nbits,B0040000,coil,0,rw,8\n";
    Bytes memory;
    std::vector<int> words;
    for (int i = 0; i < 40; ++i) {
        memory.push_back(static_cast<std::uint8_t>(i));
        memory.push_back(0x10);
        words.push_back(0x1000 + i);
    }
    panel.SetBytes(0x000100, memory);
    panel.SetBytes(0x004000, {1, 0, 1, 0, 1, 0, 1, 0});
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "p.csv"), {{"p.csv", csv}}, {"ahu1"})) << Log();
    json read = R("read_holding", 0, 40);
    read["expect"] = Values(words);
    json bits = R("read_coils", 0, 8);
    bits["expect"] = Values({1, 0, 1, 0, 1, 0, 1, 0});
    json write = W("write_register", 39, 0x1000 + 39); // each client also writes, through the panel's worker
    write["expect"] = Ok;
    std::string input = folder_ + "/requests.json";
    gwtest::WriteFile(input, read.dump() + "\n" + bits.dump() + "\n" + write.dump() + "\n");
    gwtest::Ran ran = gwtest::RunProgram({"/usr/bin/python3", ZULGATE_TEST_DIR "/modbus_client.py",
                                          std::to_string(port_), "--clients", "32", "--rounds", "10"},
                                         folder_, seconds(90), input);
    ASSERT_EQ(ran.status, 0) << ran.err << Log();
    json summary = json::parse(ran.out);
    EXPECT_EQ(summary["requests"], 32 * 10 * 3);
    EXPECT_EQ(summary["mismatches"], 0) << summary.dump(2);
    EXPECT_EQ(Log().find("clients are connected, the most max_clients allows"), std::string::npos);
}

// A hangup (the terminal of a "zulgate &" closed, a reload asked for) is
// said and ignored: the gateway goes on serving, and stops on SIGTERM.
TEST_F(Gateway, IgnoresSighupAndSaysSo) {
    Sim("COM5").SetBytes(0x000100, {0x2A, 0x00});
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "w.csv"),
                      {{"w.csv", "name,address,table,register,access\nw,W000100,holding,0,rw\n"}}, {"ahu1"}))
        << Log();
    const std::string said = "gateway: SIGHUP ignored: the configuration is read only at the start";
    for (int i = 1; i <= 2; ++i) {
        gate_->Signal(SIGHUP);
        ASSERT_TRUE(gate_->WaitForErr(said, seconds(5))) << Log();
        for (auto until = Clock::now() + seconds(5); Clock::now() < until && Count(Log(), said) < std::size_t(i);)
            std::this_thread::sleep_for(milliseconds(20));
        EXPECT_EQ(Count(Log(), said), std::size_t(i)) << Log();
    }
    EXPECT_EQ(gate_->Wait(milliseconds(200)), -1) << "ended on SIGHUP\n" << Log();
    EXPECT_TRUE(MbpollUntil(
        1, 0, [](const std::string& out) { return out == "42"; }, seconds(10)));
    gate_->Signal(SIGTERM);
    EXPECT_EQ(gate_->Wait(seconds(10)), 0) << Log();
}

TEST_F(Gateway, StopsOnSigtermWithAWriteOnTheLine) {
    // A slow line, so that the write is on it when the signal comes.
    zulsim::Options paced;
    paced.baud = 1200;
    zulsim::PanelSim& panel = Sim("COM5", paced);
    std::string csv = "name,address,table,register,access,count\nwords,W000100,holding,0,rw,100\n";
    ASSERT_TRUE(Start(Panel("slow", "COM5", 1, "p.csv", "baud = 1200\nstale_ms = 10000"), {{"p.csv", csv}}, {"slow"}))
        << Log();
    ASSERT_TRUE(MbpollUntil(
        1, 0, [](const std::string& out) { return out == "0"; }, seconds(15)))
        << Log();
    json values = json::array();
    for (int i = 0; i < 100; ++i) values.push_back(0x4000 + i);
    gwtest::WriteFile(folder_ + "/write.json", W("write_registers", 0, values).dump() + "\n");
    gwtest::Process client({"/usr/bin/python3", ZULGATE_TEST_DIR "/modbus_client.py", std::to_string(port_)},
                           folder_ + "/client.out", folder_ + "/client.err", folder_ + "/write.json");
    // The client's start, its connection, then the write of 100 W: about
    // 1.8 s on this line, after a poll read of as long that may be on it.
    std::this_thread::sleep_for(milliseconds(1500));
    auto signalled = Clock::now();
    gate_->Signal(SIGTERM);
    int status = gate_->Wait(seconds(10));
    EXPECT_LT(Clock::now() - signalled, seconds(5));
    EXPECT_EQ(status, 0) << Log();
    EXPECT_NE(Log().find("stopped: every port closed"), std::string::npos) << Log();
    ASSERT_EQ(client.Wait(seconds(20)), 0) << client.Err();
    json answer = json::parse(client.Out());
    // Finished and answered, or refused: never left hanging.
    EXPECT_TRUE(answer == Ok || answer == Exception(0x0B)) << answer.dump();
    if (answer == Ok) {
        EXPECT_EQ(panel.GetBytes(0x000100, 2), (Bytes{0x00, 0x40}));
    }
    // The port is free again: the driver's lock is gone.
    int fd = open(panel.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

} // namespace
