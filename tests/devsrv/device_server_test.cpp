// The built library against the simulated panel behind Debian's ser2net:
// ports named by ports-folder entries whose targets are rfc2217:// and
// tcp:// URLs, as a host names them, through ZulMain.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>

#include <filesystem>
#include <random>

#include "host/client/port_lookup.h"
#include "tests/devsrv/ser2net.h"
#include "tests/support/free_port.h"
#include "tests/e2e/host.h"

namespace devsrv {
namespace {

using e2e::Bytes;
using e2e::Half;
using e2e::Hex;
using e2e::Untouched;

class DeviceServer : public e2e::HostTest {
protected:
    void SetUp() override {
        e2e::HostTest::SetUp();
        folder_ = gwtest::TempFolder();
        ASSERT_FALSE(folder_.empty());
        mkdir((folder_ + "/ports").c_str(), 0700);
        setenv("ZULTRK_PORTS", (folder_ + "/ports").c_str(), 1);
    }
    void TearDown() override {
        if (channel.PortHandle != nullptr) Call(ClosePortCode);
        server_.reset();
        e2e::HostTest::TearDown();
        unsetenv("ZULTRK_PORTS");
        std::filesystem::remove_all(folder_);
    }

    void Entry(const std::string& name, const std::string& url) {
        ASSERT_EQ(symlink(url.c_str(), (folder_ + "/ports/" + name).c_str()), 0) << name;
    }

    // A simulated panel behind ser2net, reached as RFC (RFC 2217), RAW (raw
    // TCP) and TEL (rfc2217:// against Telnet without the option).
    zulsim::PanelSim& Served(zulsim::Options options = zulsim::Options()) {
        zulsim::PanelSim& sim = StartSim(std::move(options));
        server_ = std::make_unique<Ser2net>(folder_, sim.DevicePath());
        EXPECT_TRUE(server_->Start()) << server_->Output();
        Entry("RFC", Ser2net::Url("rfc2217", server_->rfc2217));
        Entry("RAW", Ser2net::Url("tcp", server_->raw));
        Entry("TEL", Ser2net::Url("rfc2217", server_->telnetOnly));
        return sim;
    }

    bool Started(const std::string& port, std::int32_t timeout = 100) {
        log.clear();
        std::int32_t rc = ColdStart(port, timeout);
        return rc == 0 && !log.empty() && log.back().text == "ZUL01: TRK: ColdStart(): TRK Driver loaded successfully";
    }

    std::string LogText() const {
        std::string text;
        for (const e2e::LogLine& l : log) text += "[" + std::to_string(l.level) + "] " + l.text + "\n";
        return text;
    }

    std::string folder_;
    std::unique_ptr<Ser2net> server_;
};

class EachAccepter : public DeviceServer, public ::testing::WithParamInterface<const char*> {};

// Writes then reads back blocks of B points, one byte each, holding 0xFF
// (Telnet's IAC) and 0x10 (the frame's DLE): the panel's memory and the
// values read are the values written, each on its first attempt.
TEST_P(EachAccepter, BlocksOfEverySizeClassBothWays) {
    zulsim::PanelSim& sim = Served();
    ASSERT_TRUE(Started(GetParam())) << LogText();
    std::mt19937 random(7);
    for (int n : {1, 2, 3, 4, 127, 128, 255}) {
        SCOPED_TRACE(n);
        Bytes values(static_cast<std::size_t>(n));
        for (std::uint8_t& b : values) b = static_cast<std::uint8_t>(random());
        for (std::size_t i = 0; i < values.size(); i += 3) values[i] = i % 2 ? 0x10 : 0xFF;
        std::vector<std::uint32_t> slots;
        for (std::uint8_t b : values) slots.push_back(Half(b));
        sim.SetBytes(0x004000, Bytes(values.size(), 0));
        log.clear();
        ASSERT_EQ(Write('B', 0x004000, slots), 0) << LogText();
        EXPECT_EQ(Hex(sim.GetBytes(0x004000, values.size())), Hex(values));
        std::vector<std::uint32_t> back(values.size(), Untouched);
        ASSERT_EQ(Read('B', 0x004000, back), 0) << LogText();
        for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(back[i] >> 16, values[i]) << i;
        EXPECT_TRUE(log.empty()) << LogText();
    }
}

// A W value whose read reply frame ends in a CRC holding 0xFF, and whose
// write request's CRC holds 0xFF too: found with the test's own reading of
// the frame format.
std::uint16_t ValueWithFfInBothCrcs(std::uint32_t address) {
    for (std::uint32_t v = 0; v <= 0xFFFF; ++v) {
        auto lo = static_cast<std::uint8_t>(v), hi = static_cast<std::uint8_t>(v >> 8);
        Bytes reply = e2e::Framed({0x50, lo, hi});
        Bytes request = e2e::Framed({0x60, static_cast<std::uint8_t>(address >> 16),
                                     static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), 2, lo,
                                     hi});
        auto ffInCrc = [](const Bytes& f) { return f[f.size() - 1] == 0xFF || f[f.size() - 2] == 0xFF; };
        if (ffInCrc(reply) && ffInCrc(request)) return static_cast<std::uint16_t>(v);
    }
    return 0;
}

TEST_P(EachAccepter, FramesWhoseCrcHoldsFFGoBothWays) {
    zulsim::PanelSim& sim = Served();
    ASSERT_TRUE(Started(GetParam())) << LogText();
    const std::uint32_t address = 0x01A2F3;
    std::uint16_t value = ValueWithFfInBothCrcs(address);
    ASSERT_NE(value, 0);
    log.clear();
    ASSERT_EQ(Write('W', address, {Half(value)}), 0) << LogText();
    EXPECT_EQ(Hex(sim.GetBytes(address, 2)),
              Hex(Bytes{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)}));
    std::vector<std::uint32_t> back(1, Untouched);
    ASSERT_EQ(Read('W', address, back), 0) << LogText();
    EXPECT_EQ(back[0] >> 16, value);
    EXPECT_TRUE(log.empty()) << LogText();
}

INSTANTIATE_TEST_SUITE_P(Ser2net, EachAccepter, ::testing::Values("RFC", "RAW"));

// A long link behind the device server (400 ms each way and back, replies in
// pieces up to 300 ms apart, at 9600 baud): the handshake learns it and the
// largest blocks go through on their first attempt.
TEST_F(DeviceServer, LongLinkWindowsHoldOverTcp) {
    Served(e2e::With([](zulsim::Options& o) {
        o.baud = 9600;
        o.turnaroundMs = 20;
        o.linkDelayMs = 400;
        o.gapsMs = 300;
    }));
    ASSERT_TRUE(Started("RFC", 100)) << LogText();
    std::vector<std::uint32_t> values(127);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = Half(static_cast<std::uint16_t>(0xFF10 + i));
    log.clear();
    ASSERT_EQ(Write('W', 0x004000, values), 0) << LogText();
    std::vector<std::uint32_t> back(values.size(), Untouched);
    ASSERT_EQ(Read('W', 0x004000, back), 0) << LogText();
    for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(back[i] >> 16, values[i] >> 16) << i;
    EXPECT_TRUE(log.empty()) << LogText();
}

// The device server stops: reads fail as on an adapter pulled out (the
// port's writes fail), quickly; it starts again, and the next ColdStart of
// the same host reconnects.
TEST_F(DeviceServer, ServerRestartedServiceBackWithoutRestartingTheHost) {
    zulsim::PanelSim& sim = Served();
    sim.SetBytes(0x004000, {0xFF, 0x10});
    ASSERT_TRUE(Started("RFC")) << LogText();
    std::vector<std::uint32_t> back(1, Untouched);
    ASSERT_EQ(Read('W', 0x004000, back), 0) << LogText();

    server_->Stop();
    log.clear();
    auto asked = Clock::now();
    EXPECT_EQ(Read('W', 0x004000, back), 2);
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(3));
    EXPECT_NE(LogText().find("ERROR SendStr(): rc = 7"), std::string::npos) << LogText();

    ASSERT_TRUE(server_->Start()) << server_->Output();
    ASSERT_TRUE(Started("RFC")) << LogText();
    back.assign(1, Untouched);
    ASSERT_EQ(Read('W', 0x004000, back), 0) << LogText();
    EXPECT_EQ(back[0] >> 16, 0x10FFu);
}

// Nobody listens: a failed open, at once, as a serial device that is not there.
TEST_F(DeviceServer, ARefusedConnectionIsAFailedOpen) {
    Entry("NONE", Ser2net::Url("rfc2217", FreePort()));
    auto asked = Clock::now();
    EXPECT_EQ(ColdStart("NONE"), 2);
    EXPECT_LT(Clock::now() - asked, std::chrono::seconds(1));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().text, "ZUL01: TRK: ERROR ColdStart(): Fail to open NONE");
    EXPECT_EQ(channel.PortHandle, nullptr);
}

// A port that accepts connections and never says a word: the open waits
// for the negotiation at most 3 s, then goes on as raw TCP with one line
// saying so.
TEST_F(DeviceServer, AServerThatNeverAnswersTheNegotiation) {
    sockaddr_in a{};
    int listener = zultest::LoopbackListener(4, a); // the kernel completes connections it is never asked to accept
    ASSERT_GE(listener, 0);
    std::string url = Ser2net::Url("rfc2217", ntohs(a.sin_port));
    Entry("MUTE", url);

    auto asked = Clock::now();
    EXPECT_EQ(ColdStart("MUTE", 10), 0); // open; the handshake then finds no panel
    double opened = e2e::SecondsSince(asked);
    EXPECT_NE(channel.PortHandle, nullptr);
    std::size_t said = 0;
    for (const e2e::LogLine& l : log) {
        said += l.text == "TRK: " + url +
                              ": no answer to the Telnet negotiation (RFC 2217) within 3000 ms: going on without "
                              "line settings, as raw TCP";
    }
    EXPECT_EQ(said, 1u) << LogText();
    EXPECT_GT(opened, 2.9);
    close(listener);
}

// A server gone off the network: nothing answers the connection's first
// packet (here a listener whose queue is full, so the kernel drops it). The
// open waits no longer than the host's response timeout, at most 3 s, and
// fails as an absent device does.
TEST_F(DeviceServer, AnUnreachableServerFailsTheOpenWithinTheHostsTimeout) {
    using std::chrono::milliseconds;
    EXPECT_EQ(zulclient::DeviceServerConnectWait(milliseconds(0)), milliseconds(1000));
    EXPECT_EQ(zulclient::DeviceServerConnectWait(milliseconds(1200)), milliseconds(1200));
    EXPECT_EQ(zulclient::DeviceServerConnectWait(milliseconds(20000)), milliseconds(3000));

    sockaddr_in a{};
    int listener = zultest::LoopbackListener(0, a);
    ASSERT_GE(listener, 0);
    std::vector<int> queued;
    bool full = false;
    while (!full && queued.size() < 16) {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        queued.push_back(c);
        pollfd p{c, POLLOUT, 0};
        full = poll(&p, 1, 300) == 0;
    }
    ASSERT_TRUE(full) << "the listener's queue never filled";
    Entry("DARK", Ser2net::Url("tcp", ntohs(a.sin_port)));

    zulclient::BoundDeviceServerConnects(zulclient::DeviceServerConnectWait(milliseconds(1000)));
    auto asked = Clock::now();
    EXPECT_EQ(ColdStart("DARK", 100), 2);
    double waited = e2e::SecondsSince(asked);
    unsetenv("ZULTRK_CONNECT_MS");
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 2.5); // not the 3 s a host with no timeout of its own gets
    EXPECT_EQ(channel.PortHandle, nullptr);
    for (int c : queued) close(c);
    close(listener);
}

// ser2net's plain Telnet accepter refuses COM-PORT-CONTROL: one line says
// so, and the stream stays Telnet's, so 0xFF values still come exactly.
TEST_F(DeviceServer, ARefusedOptionGoesOnWithoutLineSettings) {
    zulsim::PanelSim& sim = Served();
    sim.SetBytes(0x004000, {0xFF, 0xFF, 0x10, 0xFF});
    log.clear();
    EXPECT_EQ(ColdStart("TEL"), 0);
    std::size_t said = 0;
    for (const e2e::LogLine& l : log) said += l.text.find("refused COM-PORT-CONTROL") != std::string::npos;
    EXPECT_EQ(said, 1u) << LogText();
    std::vector<std::uint32_t> back(2, Untouched);
    ASSERT_EQ(Read('W', 0x004000, back), 0) << LogText();
    EXPECT_EQ(back[0] >> 16, 0xFFFFu);
    EXPECT_EQ(back[1] >> 16, 0xFF10u);
}

// The line settings reach the line: the speed and stop bits ColdStart is
// given arrive on the pseudo-terminal that ser2net opened.
TEST_F(DeviceServer, LineSettingsArriveOnTheServersDevice) {
    zulsim::PanelSim& sim = Served();
    auto lineOf = [&](speed_t& speed, bool& twoStops) {
        int fd = open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        bool ok = fd >= 0 && tcgetattr(fd, &tio) == 0;
        if (fd >= 0) close(fd);
        speed = cfgetospeed(&tio);
        twoStops = (tio.c_cflag & CSTOPB) != 0;
        return ok;
    };
    struct Case {
        std::uint16_t baud;
        std::uint16_t stopBits;
        speed_t speed;
    };
    for (const Case& c : {Case{19200, 2, B19200}, Case{4800, 0, B4800}}) {
        SCOPED_TRACE(c.baud);
        if (channel.PortHandle != nullptr) {
            ASSERT_EQ(Call(ClosePortCode), 0);
        }
        ColdStartParams p = StartParams("RFC");
        p.BaudRate = c.baud;
        p.StopBits = c.stopBits;
        log.clear();
        ASSERT_EQ(Call(ColdStartCode, &p), 0) << LogText() << server_->Output();
        speed_t speed = 0;
        bool twoStops = false;
        auto until = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < until && (!lineOf(speed, twoStops) || speed != c.speed || twoStops != (c.stopBits == 2)))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(speed, c.speed);
        EXPECT_EQ(twoStops, c.stopBits == 2);
    }
}

// A second open of the same device server fails, as a second open of the
// same serial device does, whatever name reaches it.
TEST_F(DeviceServer, ADeviceServerHasOneUser) {
    Served();
    ASSERT_TRUE(Started("RFC")) << LogText();
    Entry("SAME", Ser2net::Url("tcp", server_->rfc2217));
    ChannelContext other;
    std::memset(&other, 0, sizeof other);
    std::swap(channel, other);
    EXPECT_EQ(ColdStart("SAME", 100, 2), 2);
    std::swap(channel, other);
}

} // namespace
} // namespace devsrv
