// The wake-up and version handshake, with its timings on the virtual clock.
#include "panel/handshake.h"
#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

const Bytes WakeFrame{0x10, 0x02, 0x31, 0x10, 0x03, 0xB4, 0xBD};
const Bytes VersionRequest{0x10, 0x02, 0xF0, 0x10, 0x03, 0xF2, 0xED};

class HandshakeTest : public DriverTest {
protected:
    int Run() {
        fake::Micros start = fake::Now();
        int rc = ConfigureAdapter(LinkChannel{channel.PortHandle, 1});
        took = fake::Now() - start;
        return rc;
    }
    void SetUp() override {
        DriverTest::SetUp();
        Started();
    }
    fake::Micros took = 0;
};

TEST_F(HandshakeTest, PanelThatAnnouncesAndAnswers) {
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(PanelVersionId, 0xF5);
    EXPECT_EQ(log, (std::vector<LogLine>{{32, "ZUL01: TRK: TRACKER Ver.ID = 0xF5h"}}));
    EXPECT_EQ(device->CountWrites(WakeFrame), 1);
    EXPECT_EQ(device->CountWrites(VersionRequest), 1);
    EXPECT_EQ(device->RtsPulses(), 1);
}

TEST_F(HandshakeTest, RtsDropsAndRisesWithNoWaitThen200ms) {
    Run();
    std::vector<fake::Event> rts;
    for (const auto& e : device->events) {
        if (e.kind == fake::Event::RtsLow || e.kind == fake::Event::RtsHigh) rts.push_back(e);
    }
    ASSERT_EQ(rts.size(), 2u);
    EXPECT_EQ(rts[0].kind, fake::Event::RtsLow);
    EXPECT_EQ(rts[1].kind, fake::Event::RtsHigh);
    EXPECT_EQ(rts[0].at, rts[1].at);
    fake::Micros wakeAt = -1;
    for (const auto& e : device->events) {
        if (e.kind == fake::Event::Write && e.bytes == WakeFrame) wakeAt = e.at;
    }
    EXPECT_EQ(wakeAt - rts[1].at, 200 * fake::Ms);
}

// Five attempts, each an RTS pulse, 200 ms and five timed-out reads of 1 s:
// 26 s of virtual time before the version request goes out.
TEST_F(HandshakeTest, SilentWakeStillAsksForTheVersion) {
    panel.announce = false;
    panel.versionId = 0xF2;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(PanelVersionId, 0xF2);
    EXPECT_EQ(device->RtsPulses(), 5);
    EXPECT_EQ(device->CountWrites(WakeFrame), 0);
    EXPECT_EQ(device->CountWrites(VersionRequest), 1);
    EXPECT_GE(took, 26000 * fake::Ms);
    EXPECT_LT(took, 26100 * fake::Ms);
}

TEST_F(HandshakeTest, SilentPanelFailsWithTheExchangeResult) {
    panel.announce = false;
    panel.silent = true;
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(PanelVersionId, 0);
    EXPECT_EQ(log.back(), (LogLine{64, "ZUL01: TRK: ERROR ConfigureAdapter(): Fail rc = 2"}));
    EXPECT_EQ(device->CountWrites(VersionRequest), 3);
}

TEST_F(HandshakeTest, EnqWithoutAckOnEveryAttempt) {
    panel.wakeReply = 0x41;
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(device->CountWrites(WakeFrame), 5);
    EXPECT_EQ(device->CountWrites(VersionRequest), 0);
    EXPECT_EQ(log, (std::vector<LogLine>{{64, "ZUL01: TRK: ERROR ConfigureAdapter(): Fail rc = 2"}}));
}

struct OnlyFirstAnnounce : FakePanel {
    int pulses = 0;
    void OnRts(fake::Device& d, bool raised) override {
        if (raised && ++pulses == 1) d.Deliver({ENQ}, 1 * fake::Ms);
    }
};

TEST_F(HandshakeTest, EnqWithoutAckThenSilence) {
    OnlyFirstAnnounce quiet;
    quiet.ackWake = false;
    device->peer = &quiet;
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(device->CountWrites(WakeFrame), 1);
    EXPECT_EQ(device->CountWrites(VersionRequest), 0);
}

struct LateEnq : FakePanel {
    void OnRts(fake::Device& d, bool raised) override {
        if (raised) d.Deliver({0x41, 0x42, 0x43, 0x44, ENQ, 0x46}, 1 * fake::Ms);
    }
};

TEST_F(HandshakeTest, EnqAsTheFifthByteStillCounts) {
    LateEnq late;
    device->peer = &late;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(device->CountWrites(WakeFrame), 1);
}

TEST_F(HandshakeTest, IdentifierTable) {
    struct Case {
        std::uint8_t id;
        int result;
    };
    const Case cases[] = {{0xF2, 0}, {0xF5, 0}, {0xF6, 0}, {0xFA, 0}, {0xF3, 1}, {0x00, 1}, {0xFF, 1}};
    for (const auto& c : cases) {
        log.clear();
        panel.versionId = c.id;
        EXPECT_EQ(Run(), c.result) << std::hex << int(c.id);
        if (c.result == 0) {
            EXPECT_EQ(PanelVersionId, c.id);
        } else {
            EXPECT_EQ(PanelVersionId, 0);
            EXPECT_EQ(log, (std::vector<LogLine>{{32, "ZUL01: TRK: TRACKER Ver.ID ERROR"},
                                                 {64, "ZUL01: TRK: ERROR ConfigureAdapter(): Fail rc = 1"}}));
        }
    }
}

// A one-byte reply 0x11 reads as a status reply whose status is the DLE
// that follows it.
TEST_F(HandshakeTest, IdentifierElevenReadsAsAStatusReply) {
    panel.versionId = 0x11;
    EXPECT_EQ(Run(), 0x10);
    EXPECT_EQ(PanelVersionId, 0);
}

TEST_F(HandshakeTest, StatusRepliesToTheVersionRequest) {
    panel.status = 0; // 11 00 passes the check but is no identifier
    panel.announce = true;
    EXPECT_EQ(Run(), 1);
    panel.status = 6;
    log.clear();
    EXPECT_EQ(Run(), 6);
    EXPECT_EQ(log, (std::vector<LogLine>{{64, "ERROR ChekReply():Status reply = 6"},
                                         {64, "ZUL01: TRK: ERROR ConfigureAdapter(): Fail rc = 6"}}));
}

TEST_F(HandshakeTest, NakAndDamagedCrcArePassedOn) {
    panel.nak = true;
    EXPECT_EQ(Run(), 1);
    panel.nak = false;
    panel.damageCrc = true;
    EXPECT_EQ(Run(), 3);
}

} // namespace
} // namespace test
