// zulhost spy between the driver and the simulator, both on pseudo-terminals:
// the driver works through the tap as it does directly, and the capture
// holds exactly the bytes both sides put on the line.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>

#include <fstream>
#include <iterator>
#include <mutex>

#include "tests/e2e/host.h"
#include "trace/capture.h"

extern char** environ;

namespace e2e {
namespace {

class SpyTest : public HostTest {
protected:
    void TearDown() override {
        HostTest::TearDown();
        if (spy > 0) {
            kill(spy, SIGTERM);
            waitpid(spy, nullptr, 0);
        }
        unlink(link.c_str());
        unlink(pcap.c_str());
    }
    // The spy as a process of its own, as an integrator runs it.
    void StartSpy(const std::string& device) {
        std::vector<std::string> args{ZULHOST_PROGRAM, "--quiet", "--pcap", pcap, "--port",
                                      device,          "spy",     "--link", link};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawn(&spy, ZULHOST_PROGRAM, nullptr, nullptr, argv.data(), environ), 0);
        struct stat st;
        for (int i = 0; i < 200 && lstat(link.c_str(), &st) != 0; ++i) usleep(10000);
        ASSERT_EQ(lstat(link.c_str(), &st), 0) << "the spy made no link";
    }
    int WaitSpy() {
        int status = -1;
        for (int i = 0; i < 300 && waitpid(spy, &status, WNOHANG) == 0; ++i) usleep(10000);
        if (!WIFEXITED(status)) return -1;
        spy = 0;
        return WEXITSTATUS(status);
    }
    std::string link = "/tmp/zy" + std::to_string(getpid() % 10000); // fits the 11 characters of a port name
    std::string pcap = "/tmp/zspy" + std::to_string(getpid()) + ".pcap";
    pid_t spy = 0;
};

TEST_F(SpyTest, DriverWorksThroughTheTapAndTheCaptureHoldsEveryByte) {
    std::mutex mutex;
    zultrace::Bytes seen[2]; // what the simulator read and wrote
    zulsim::Options o;
    o.lineTap = [&](zultrace::Direction d, const std::uint8_t* b, std::size_t n) {
        std::lock_guard<std::mutex> lock(mutex);
        seen[static_cast<int>(d)].insert(seen[static_cast<int>(d)].end(), b, b + n);
    };
    zulsim::PanelSim& sim = StartSim(o);
    sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    StartSpy(sim.DevicePath());

    auto start = Clock::now();
    ASSERT_EQ(ColdStart(link), 0);
    std::printf("ColdStart through the spy: %.0f ms\n", SecondsSince(start) * 1000);
    EXPECT_EQ(log.back().text, "ZUL01: TRK: ColdStart(): TRK Driver loaded successfully");
    std::vector<std::uint32_t> two(2, 0);
    ASSERT_EQ(Read('W', 0x01A2F3, two), 0);
    EXPECT_EQ(two[0] >> 16, 0x1234u);
    EXPECT_EQ(two[1] >> 16, 0x5678u);
    ASSERT_EQ(Write('W', 0x01A2F3, {0xBEEF0000u, 0x10100000u}), 0);
    EXPECT_EQ(sim.GetBytes(0x01A2F3, 4), (Bytes{0xEF, 0xBE, 0x10, 0x10}));
    ASSERT_EQ(Call(ClosePortCode), 0);
    EXPECT_EQ(WaitSpy(), 0) << "the spy ends when the host closes its port";

    std::ifstream in(pcap, std::ios::binary);
    zultrace::Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<zultrace::Chunk> chunks;
    std::string error;
    ASSERT_TRUE(zultrace::ReadPcap(file, chunks, &error)) << error;
    zultrace::Bytes captured[2];
    for (const auto& c : chunks) {
        auto& to = captured[static_cast<int>(c.direction)];
        to.insert(to.end(), c.bytes.begin(), c.bytes.end());
    }
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(captured[0], seen[0]) << "the host's bytes, as the panel got them";
    // The panel may announce itself again after the spy has gone.
    ASSERT_LE(captured[1].size(), seen[1].size());
    EXPECT_EQ(captured[1], zultrace::Bytes(seen[1].begin(), seen[1].begin() + captured[1].size()));
    EXPECT_GT(captured[0].size(), 40u);
}

TEST_F(SpyTest, TheDeviceFollowsTheHostsSpeedAndStopBits) {
    int device = -1, deviceSide = -1;
    ASSERT_EQ(openpty(&device, &deviceSide, nullptr, nullptr, nullptr), 0);
    std::string devicePath = ttyname(deviceSide);
    close(deviceSide);
    StartSpy(devicePath);
    termios t{};
    ASSERT_EQ(tcgetattr(device, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600)) << "the spy's own format until the host sets one";

    int host = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    ASSERT_EQ(tcgetattr(host, &t), 0);
    cfmakeraw(&t);
    t.c_cflag |= CSTOPB;
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);
    ASSERT_EQ(tcsetattr(host, TCSANOW, &t), 0);
    ASSERT_EQ(write(host, "\x06", 1), 1);
    pollfd arrived{device, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 3000), 1) << "the host's byte never reached the device";

    ASSERT_EQ(tcgetattr(device, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    close(host);
    EXPECT_EQ(WaitSpy(), 0);
    close(device);
}

} // namespace
} // namespace e2e
