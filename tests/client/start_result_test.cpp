// What a cold start comes to, as the shared host layer hands it back: the
// port's result, the handshake's and the panel's identifier (which the
// driver says only in its log), through the built library against
// simulated panels on pseudo-terminals.
#include <gtest/gtest.h>

#include <string>

#include "host/client/driver_client.h"
#include "host/client/library_loader.h"
#include "host/client/slots.h"
#include "sim/panel_sim.h"

namespace {

using zulclient::Outcome;

struct StartCase {
    const char* what;
    zulsim::Options panel;
    bool started;
    std::optional<std::int32_t> handshakeFailure;
    std::optional<unsigned> panelId;
};

zulsim::Options Panel(std::uint8_t versionId, bool enqWithoutAck = false) {
    zulsim::Options o;
    o.versionId = versionId;
    o.enqWithoutAck = enqWithoutAck;
    return o;
}

class StartResult : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(library_.Load(ZULTRK_LIBRARY, false, &error)) << error;
    }
    static zulclient::DriverLibrary library_;
};
zulclient::DriverLibrary StartResult::library_;

TEST_F(StartResult, TheHandshakeAndThePanelAsTheDriverSaysThem) {
    const StartCase cases[] = {
        {"an accepted panel", Panel(0xF5), true, std::nullopt, 0xF5u},
        {"another accepted identifier", Panel(0xFA), true, std::nullopt, 0xFAu},
        {"an identifier the driver refuses", Panel(0xF3), false, 1, std::nullopt},
        {"ENQ but no ACK", Panel(0xF5, true), false, 2, std::nullopt},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.what);
        zulsim::PanelSim sim(c.panel);
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        zulclient::DriverClient client(library_.Entry(), 3);
        zulclient::LineSettings line;
        line.baudRate = 9600;
        line.dataBits = 8;
        line.timeout = 10; // 100 ms: the refusing cases wait out their attempts
        zulclient::StartResult start = client.ColdStart(sim.DevicePath(), line);
        EXPECT_TRUE(start.PortOpened());
        EXPECT_EQ(start.outcome, Outcome::Ok);
        EXPECT_EQ(start.Started(), c.started);
        EXPECT_EQ(start.handshakeFailure, c.handshakeFailure);
        EXPECT_EQ(start.panelId, c.panelId);
        ASSERT_FALSE(start.lines.empty());
        EXPECT_NE(start.lines.back().text.find("ZUL03: TRK: "), std::string::npos) << start.lines.back().text;
        EXPECT_TRUE(client.ClosePort().Ok());
    }
}

TEST_F(StartResult, APortThatCannotBeOpenedIsAFailedStartWithItsLine) {
    zulclient::DriverClient client(library_.Entry(), 1);
    zulclient::StartResult start = client.ColdStart("/no/such", zulclient::LineSettings{9600, 8, 0, 0, 10});
    EXPECT_FALSE(start.PortOpened());
    EXPECT_EQ(start.code, 2);
    EXPECT_EQ(start.outcome, Outcome::PortFailed);
    EXPECT_EQ(start.Meaning(), "the serial port could not be opened");
    ASSERT_EQ(start.lines.size(), 1u);
    EXPECT_EQ(start.lines[0].text, "ZUL01: TRK: ERROR ColdStart(): Fail to open /no/such");
    EXPECT_FALSE(client.PortOpen());
}

TEST_F(StartResult, ReadsAndWritesComeBackTyped) {
    zulsim::PanelSim sim(Panel(0xF5));
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    sim.SetBytes(0x000100, {0x34, 0x12});
    zulclient::DriverClient client(library_.Entry(), 1);
    ASSERT_TRUE(client.ColdStart(sim.DevicePath(), zulclient::LineSettings{9600, 8, 0, 0, 100}).Started());
    std::vector<zulclient::Slot> slots(1);
    zulclient::Point w{'W', 0x000100, NoBit};
    zulclient::Result read = client.BlockRead(w, slots);
    EXPECT_TRUE(read.Ok());
    EXPECT_EQ(zulclient::SlotValueOf(w, slots[0]), 0x1234u);
    EXPECT_EQ(zulclient::SlotValueOf(w, slots[0], 4), 1u); // bit 4 of 1234
    // A D point has no encoding: refused off the line, with the driver's line.
    zulclient::Result written = client.BlockWrite({'D', 0x000100, NoBit}, {zulclient::WordSlot(0)});
    EXPECT_EQ(written.outcome, Outcome::Refused);
    EXPECT_EQ(written.code, 1);
    ASSERT_EQ(written.lines.size(), 1u);
    EXPECT_EQ(written.lines[0].text, "ZUL01: TRK: ERROR BlockWrite(): Fail rc = 1");
}

} // namespace
