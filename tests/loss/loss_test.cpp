// Device loss: the far end of the pty closes while an exchange is in flight
// (PanelSim::Disconnect from a second thread, timed against the request
// frame's arrival). The request in flight and every request after it must
// fail with a non-zero result in bounded time, no descriptor may be left
// behind, and once a peer is there again (PanelSim::Reconnect, which
// repoints the simulator's link at a fresh pty) ClosePort and OpenPort, or
// ReopenPort, or ColdStart bring the channel back under the link's name.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/panel_sim.h"
#include "tests/soak/loaded_driver.h"

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;

// Bounds in ms with the driver's own timings, at the read timeout R = 200 ms
// that ColdStart sets here (response timeout 20) and R = 1000 ms after an
// OpenPort or ReopenPort. An exchange: three attempts of a purge and five
// 10 ms pauses, the ACK's purge, at most 1 s of draining: 1550 ms. The
// handshake: five wake attempts of 200 ms + 6 R + a purge + 50 ms, then one
// exchange. A read that meets a refused reply runs the handshake once.
constexpr double ExchangeMs = 3 * (100 + 50) + 100 + 1000;
constexpr double HandshakeMs(double r) { return 5 * (200 + 6 * r + 100 + 50) + ExchangeMs; }
constexpr double Slack(double ms) { return ms * 1.1 + 250; }
constexpr std::int32_t Timeout = 20;

class DeviceLoss : public ::testing::Test {
protected:
    void TearDown() override {
        if (sim_) sim_->Stop();
    }

    void StartPanel(const zulsim::Options& base) {
        zulsim::Options options = base;
        link_ = "/tmp/zl" + std::to_string(getpid() % 10000); // 11 characters at most
        ASSERT_LE(link_.size(), 11u);
        options.linkPath = link_;
        options.trace = true;
        options.traceSink = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(traceMutex_);
            trace_.push_back(line);
        };
        sim_ = std::make_unique<zulsim::PanelSim>(options);
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
        ASSERT_TRUE(driver_.Load(&error)) << error;
        sim_->SetBytes(0x003000, {0x34, 0x12, 0x78, 0x56});
        std::memset(&channel_, 0, sizeof channel_);
        ASSERT_EQ(driver_.ColdStart(channel_, link_, Timeout), 0);
        ASSERT_NE(channel_.PortHandle, nullptr);
        ASSERT_TRUE(driver_.Logged("ZUL01: TRK: ColdStart(): TRK Driver loaded successfully")) << driver_.LogText();
        fdsBefore_ = OpenFdCount();
    }

    PointRequest Points(char letter, std::uint32_t address, int count, void* slots) {
        PointRequest p;
        std::memset(&p, 0, sizeof p);
        p.TypeLetter = letter;
        p.PointAddress = static_cast<std::int32_t>(address);
        p.BitNumber = 255;
        p.ElementCount = count;
        p.ValueBuffer = slots;
        return p;
    }

    std::int32_t ReadWords(std::uint8_t (&slots)[2][4]) {
        std::memset(slots, 0xEE, sizeof slots);
        PointRequest p = Points('W', 0x003000, 2, slots);
        return driver_.Call(channel_, BlockReadCode, &p, 3);
    }

    static std::uint16_t Half(const std::uint8_t* slot) { return static_cast<std::uint16_t>(slot[2] | (slot[3] << 8)); }

    // A read of two words during which the far end goes away `afterMs`
    // after the simulator has taken the request frame.
    std::int32_t ReadWhileDisconnecting(int afterMs) {
        std::uint64_t framesBefore = sim_->GetStats().framesIn;
        {
            std::lock_guard<std::mutex> lock(traceMutex_);
            trace_.clear();
        }
        std::atomic<bool> cut{false};
        std::thread cutter([&] {
            auto giveUp = Clock::now() + std::chrono::seconds(5);
            while (sim_->GetStats().framesIn == framesBefore && Clock::now() < giveUp) {
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
            sim_->Disconnect();
            cut = true;
        });
        std::uint8_t slots[2][4];
        std::int32_t rc = ReadWords(slots);
        cutter.join();
        EXPECT_TRUE(cut.load());
        EXPECT_EQ(Half(slots[0]), 0xEEEE) << "a failed read leaves the slots alone";
        return rc;
    }

    bool Traced(const std::string& text) {
        std::lock_guard<std::mutex> lock(traceMutex_);
        for (const auto& l : trace_) {
            if (l.find(text) != std::string::npos) return true;
        }
        return false;
    }

    // While no peer is there: reads, writes and the handshake fail, each in
    // bounded time, and the port cannot be opened again.
    void ExpectCleanFailures(double readTimeoutMs) {
        std::uint8_t slots[2][4];
        std::int32_t rc = ReadWords(slots);
        EXPECT_EQ(rc, 2) << driver_.LogText();
        EXPECT_TRUE(driver_.Logged("ZUL03: TRK: ERROR BlockRead(): Fail rc = 2"));
        EXPECT_LT(driver_.lastMs, Slack(ExchangeMs + HandshakeMs(readTimeoutMs)));
        std::printf("loss: read on the lost device: rc %d in %.0f ms\n", rc, driver_.lastMs);

        std::uint8_t values[1][4] = {{0, 0, 0x42, 0x00}};
        PointRequest w = Points('W', 0x003000, 1, values);
        rc = driver_.Call(channel_, BlockWriteCode, &w, 3);
        EXPECT_EQ(rc, 2) << driver_.LogText();
        EXPECT_TRUE(driver_.Logged("ZUL03: TRK: ERROR BlockWrite(): Fail rc = 2"));
        EXPECT_LT(driver_.lastMs, Slack(ExchangeMs));
        std::printf("loss: write on the lost device: rc %d in %.0f ms\n", rc, driver_.lastMs);

        PointRequest bit = Points('W', 0x003000, 1, values);
        bit.BitNumber = 3;
        rc = driver_.Call(channel_, BlockWriteCode, &bit, 3);
        EXPECT_NE(rc, 0) << driver_.LogText();
        EXPECT_LT(driver_.lastMs, Slack(ExchangeMs + HandshakeMs(readTimeoutMs)));
        std::printf("loss: bit write on the lost device: rc %d in %.0f ms\n", rc, driver_.lastMs);

        rc = driver_.Call(channel_, WarmStartCode, nullptr, 3);
        EXPECT_NE(rc, 0) << driver_.LogText();
        EXPECT_TRUE(driver_.Logged(Format("ZUL%02d: TRK: ERROR WarmStart(): Fail rc = %d ", 3, rc)));
        EXPECT_LT(driver_.lastMs, Slack(100 + HandshakeMs(readTimeoutMs)));
        std::printf("loss: WarmStart on the lost device: rc %d in %.0f ms\n", rc, driver_.lastMs);
    }

    void ExpectWorking() {
        std::uint8_t slots[2][4];
        ASSERT_EQ(ReadWords(slots), 0) << driver_.LogText();
        EXPECT_EQ(Half(slots[0]), 0x1234);
        EXPECT_EQ(Half(slots[1]), 0x5678);
        std::uint8_t values[1][4] = {{0, 0, 0xCD, 0xAB}};
        PointRequest w = Points('W', 0x003004, 1, values);
        ASSERT_EQ(driver_.Call(channel_, BlockWriteCode, &w, 3), 0) << driver_.LogText();
        EXPECT_EQ(sim_->GetBytes(0x003004, 2), (std::vector<std::uint8_t>{0xCD, 0xAB}));
    }

    LoadedDriver driver_;
    std::unique_ptr<zulsim::PanelSim> sim_;
    std::string link_;
    ChannelContext channel_;
    int fdsBefore_ = 0;
    std::mutex traceMutex_;
    std::vector<std::string> trace_;
};

// The panel holds every reply back 40 ms; the far end closes 10 ms after
// the request frame, while the receive is polling an empty queue.
TEST_F(DeviceLoss, WhileWaitingForTheReply) {
    zulsim::Options options;
    options.faults.delay = 1;
    options.faults.delayMs = 40;
    StartPanel(options);

    std::int32_t rc = ReadWhileDisconnecting(10);
    EXPECT_EQ(rc, 2) << driver_.LogText();
    EXPECT_TRUE(driver_.Logged("ZUL03: TRK: ERROR BlockRead(): Fail rc = 2")) << driver_.LogText();
    EXPECT_TRUE(driver_.Logged("ZUL03: TRK: ERROR RecvStr(): rc = 2")) << "the receive in progress heard nothing";
    EXPECT_FALSE(Traced("read reply")) << "the reply was not to reach the driver";
    EXPECT_LT(driver_.lastMs, Slack(ExchangeMs + HandshakeMs(Timeout * 10)));
    std::printf("loss: read in flight while waiting for the reply: rc %d in %.0f ms\n", rc, driver_.lastMs);

    ExpectCleanFailures(Timeout * 10);

    // The same channel cannot open the device while there is no peer.
    ASSERT_EQ(driver_.Call(channel_, ClosePortCode, nullptr, 3), 0);
    EXPECT_EQ(channel_.PortHandle, nullptr);
    EXPECT_EQ(driver_.Call(channel_, OpenPortCode, nullptr, 3), 2);
    EXPECT_LT(driver_.lastMs, 1000);
    EXPECT_EQ(channel_.PortHandle, nullptr);

    std::string error;
    ASSERT_TRUE(sim_->Reconnect(&error)) << error;
    auto begin = Clock::now();
    ASSERT_EQ(driver_.Call(channel_, OpenPortCode, nullptr, 3), 0);
    ExpectWorking();
    std::printf("loss: OpenPort and a read and write after Reconnect: %.0f ms\n",
                std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    EXPECT_EQ(OpenFdCount(), fdsBefore_) << "descriptors left behind";
}

// Every reply comes in two halves 40 ms apart; the far end closes between
// them, so the driver has half a reply when the line goes.
TEST_F(DeviceLoss, InTheMiddleOfAReply) {
    zulsim::Options options;
    options.splitGapMs = 40;
    StartPanel(options);

    std::int32_t rc = ReadWhileDisconnecting(15);
    EXPECT_EQ(rc, 2) << driver_.LogText();
    EXPECT_TRUE(driver_.Logged("ZUL03: TRK: ERROR BlockRead(): Fail rc = 2")) << driver_.LogText();
    EXPECT_TRUE(Traced("read reply")) << "the first half was to reach the driver";
    EXPECT_FALSE(Traced("rest after split gap")) << "the second half was not";
    EXPECT_LT(driver_.lastMs, Slack(ExchangeMs + HandshakeMs(Timeout * 10)));
    std::printf("loss: read in flight with half its reply in: rc %d in %.0f ms\n", rc, driver_.lastMs);

    ExpectCleanFailures(Timeout * 10);

    // ReopenPort under the same name, without a close first: the dead
    // handle is replaced, and closed, once the new open succeeds.
    std::string error;
    ASSERT_TRUE(sim_->Reconnect(&error)) << error;
    ReopenParams p;
    std::memset(&p, 0, sizeof p);
    std::snprintf(p.PortName, sizeof p.PortName, "%s", link_.c_str());
    p.BaudRate = 9600;
    p.ByteSize = 8;
    ASSERT_EQ(driver_.Call(channel_, ReopenPortCode, &p, 3), 0);
    ExpectWorking();
    EXPECT_EQ(OpenFdCount(), fdsBefore_) << "descriptors left behind";
}

// Lost and found again several times over, with ColdStart on the lost
// port as the way back: no descriptor piles up.
TEST_F(DeviceLoss, RepeatedLossAndColdStart) {
    zulsim::Options options;
    options.faults.delay = 1;
    options.faults.delayMs = 40;
    StartPanel(options);
    for (int round = 0; round < 5; ++round) {
        EXPECT_EQ(ReadWhileDisconnecting(10), 2) << "round " << round << "\n" << driver_.LogText();
        std::string error;
        ASSERT_TRUE(sim_->Reconnect(&error)) << error;
        ASSERT_EQ(driver_.ColdStart(channel_, link_, Timeout), 0);
        ASSERT_TRUE(driver_.Logged("ZUL01: TRK: ColdStart(): TRK Driver loaded successfully")) << driver_.LogText();
        ExpectWorking();
        EXPECT_EQ(OpenFdCount(), fdsBefore_) << "round " << round;
    }
}

} // namespace
} // namespace soak
