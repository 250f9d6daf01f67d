// The simulator on a real serial device rather than a pty of its own: here
// one side of a virtual null-modem pair (two pseudo-terminals whose masters
// this test joins), the driver on the other side.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>

#include <atomic>
#include <thread>

#include "tests/e2e/host.h"

namespace e2e {
namespace {

// Two pseudo-terminals joined at their masters: what is written to one
// slave is read from the other, as through a null-modem cable.
class NullModemPair {
public:
    NullModemPair() {
        for (int i = 0; i < 2; ++i) {
            master[i] = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
            char name[64] = {};
            if (master[i] < 0 || grantpt(master[i]) != 0 || unlockpt(master[i]) != 0 ||
                ptsname_r(master[i], name, sizeof name) != 0) {
                ADD_FAILURE() << "no pseudo-terminal";
            }
            slave[i] = name;
            // Held open, so that a master never sees a hang-up between opens.
            hold[i] = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        }
        pump = std::thread([this] { Pump(); });
    }
    ~NullModemPair() {
        stop = true;
        pump.join();
        for (int i = 0; i < 2; ++i) {
            close(hold[i]);
            close(master[i]);
        }
    }
    std::string slave[2];

private:
    void Pump() {
        std::uint8_t buffer[512];
        while (!stop) {
            pollfd p[2] = {{master[0], POLLIN, 0}, {master[1], POLLIN, 0}};
            if (poll(p, 2, 20) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & POLLIN)) continue;
                ssize_t n = read(master[i], buffer, sizeof buffer);
                for (ssize_t done = 0; n > 0 && done < n;) {
                    ssize_t w = write(master[1 - i], buffer + done, static_cast<std::size_t>(n - done));
                    if (w > 0)
                        done += w;
                    else
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        }
    }
    int master[2] = {-1, -1};
    int hold[2] = {-1, -1};
    std::atomic<bool> stop{false};
    std::thread pump;
};

TEST_F(HostTest, SimulatorServesARealDeviceAtTheOtherEndOfAPair) {
    NullModemPair pair;
    zulsim::PanelSim& sim = StartSim(With([&](zulsim::Options& o) { o.device = pair.slave[0]; }));
    EXPECT_EQ(sim.DevicePath(), pair.slave[0]);
    sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    ASSERT_EQ(ColdStart(pair.slave[1]), 0);
    EXPECT_EQ(log.back().text, "ZUL01: TRK: ColdStart(): TRK Driver loaded successfully");
    std::vector<std::uint32_t> two(2, 0);
    ASSERT_EQ(Read('W', 0x01A2F3, two), 0);
    EXPECT_EQ(two[1] >> 16, 0x5678u);
    ASSERT_EQ(Write('W', 0x01A2F3, {0xBEEF0000u}), 0);
    EXPECT_EQ(Hex(sim.GetBytes(0x01A2F3, 2)), "EF BE");

    zulsim::Options second;
    second.device = pair.slave[0];
    zulsim::PanelSim other(second);
    std::string error;
    EXPECT_FALSE(other.Start(&error)) << "the device is the first simulator's";
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
}

} // namespace
} // namespace e2e
