// The zulsim program: its command line, its PTY line and its stats line.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>

#include "tests/sim/raw_client.h"

using namespace simtest;

extern char** environ;

namespace {

struct Program {
    pid_t pid = -1;
    int out = -1;

    explicit Program(std::vector<std::string> args) {
        args.insert(args.begin(), ZULSIM_EXE);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid, ZULSIM_EXE, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out = fds[0];
    }
    ~Program() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
    }
    std::string Line(int timeoutMs) { // "" when none comes in time
        std::string line;
        auto start = Clock::now();
        char c;
        while (MsSince(start) < timeoutMs) {
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            if (read(out, &c, 1) != 1 || c == '\n') break;
            line += c;
        }
        return line;
    }
    int Wait() { // exit status, 128 + signal, or -1 when still running after 2 s
        int status = 0;
        for (int i = 0; i < 400; ++i, usleep(5000)) {
            if (waitpid(pid, &status, WNOHANG) != pid) continue;
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return -1;
    }
};

} // namespace

TEST(SimProgram, ServesFromItsCommandLineUntilTerminated) {
    std::string file = ::testing::TempDir() + "zulsim_program_memory.txt";
    std::ofstream(file) << "002000: A7\n";
    Program sim({"--version-id", "0xF6", "--enq-idle", "0", "--memory-file", file, "--set", "01A2F3=34,12", "--set",
                 "01A2F5=78,56"});
    std::string line = sim.Line(2000);
    ASSERT_EQ(line.rfind("PTY /dev/pts/", 0), 0u) << line;
    RawClient client(line.substr(4));
    EXPECT_EQ(Hex(client.Exchange(H("10 02 F0 10 03 F2 ED"))), "10 02 F6 10 03 2B 3B");
    EXPECT_EQ(Hex(client.Exchange(H("10 02 50 01 A2 F3 04 10 03 55 90"))), "10 02 50 34 12 78 56 10 03 A6 C6");
    EXPECT_EQ(Hex(client.Exchange(H("10 02 50 00 20 00 01 10 03 F8 63"))), "10 02 50 A7 10 03 10 10 0D");
    EXPECT_EQ(Hex(client.Exchange(H("10 02 F0 10 03 F2 EE"))), "15");
    kill(sim.pid, SIGTERM);
    std::string stats = sim.Line(2000);
    EXPECT_EQ(sim.Wait(), 0);
    for (const char* part : {"STATS ", "frames_in=4", "reads=2", "naks=1", "crc_errors=1"}) {
        EXPECT_NE(stats.find(part), std::string::npos) << part << " in " << stats;
    }
    std::remove(file.c_str());
}

TEST(SimProgram, FaultOptionsReachThePanel) {
    Program sim({"--enq-idle", "0", "--status", "3", "--late", "1", "--late-ms", "60,60", "--baud", "19200"});
    std::string line = sim.Line(2000);
    ASSERT_EQ(line.rfind("PTY ", 0), 0u) << line;
    RawClient client(line.substr(4));
    auto start = Clock::now();
    client.Send(H("10 02 F0 10 03 F2 ED"));
    std::vector<TimedByte> got = client.ReceiveTimed(300, 100, start);
    EXPECT_EQ(Hex(ValuesOf(got)), "10 02 11 03 10 03 AA 6B");
    ASSERT_FALSE(got.empty());
    EXPECT_GE(got.front().ms, 60);
    kill(sim.pid, SIGINT);
    EXPECT_NE(sim.Line(2000).find("late=1"), std::string::npos);
    EXPECT_EQ(sim.Wait(), 0);
}

TEST(SimProgram, RefusesBadArguments) {
    const std::vector<std::vector<std::string>> cases = {
        {"--version-id", "300"}, {"--version-id", "F5"},
        {"--set", "01A2F3"},     {"--set", "01A2F3=1FF"},
        {"--late-ms", "50"},     {"--late-ms", "90,10"},
        {"--delay", "2"},        {"--delay", "0.5,x"},
        {"--flip-bit", "1.5"},   {"--memory-file", "/nonexistent/zulsim"},
        {"--no-such-option"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        Program sim(args);
        EXPECT_EQ(sim.Line(1000), "");
        int status = sim.Wait();
        EXPECT_GT(status, 0);
        EXPECT_LT(status, 128);
    }
}
