// The server's services on a fake clock: requests as the octets a client
// sends, answers as the octets the standard's rules make of them; writes
// completed by hand, as a write queue would, at times the test chooses.
#include <gtest/gtest.h>

#include <map>

#include "gateway/bacnet/server.h"
#include "tests/bacnet/hex.h"

using namespace zulgate::bacnet;
using bacnet_test::Hex;
using bacnet_test::HexOf;

namespace {

const ObjectId AI1{ObjectType::AnalogInput, 1}, AV2{ObjectType::AnalogValue, 2};
const ObjectId BV3{ObjectType::BinaryValue, 3}, MSV4{ObjectType::MultiStateValue, 4};

// Values in memory; writes wait until the test finishes them.
struct Memory : ValueSource {
    std::map<ObjectId, Reading> values;
    struct Write {
        ObjectId object;
        PointValue value;
        WriteDone done;
    };
    std::vector<Write> writes;
    Reading Read(const ObjectId& id) override { return values[id]; }
    void Write(const ObjectId& id, const PointValue& value, WriteDone done) override {
        writes.push_back({id, value, std::move(done)});
    }
};

class BacnetServer : public testing::Test {
protected:
    static constexpr Endpoint Client{0x7F000001, 47809};

    void Start(ServerOptions options = {}) {
        memory.values[AI1] = {72.5, true};
        memory.values[AV2] = {40.0, true};
        memory.values[BV3] = {false, true};
        memory.values[MSV4] = {std::uint32_t{0}, true};
        DeviceSpec device;
        device.instance = 260001;
        std::vector<ObjectSpec> objects(5);
        objects[0] = {ObjectType::AnalogInput, 1, "ai", "", 64, {}, 0.5f, false, {}, {}};
        objects[1] = {ObjectType::AnalogValue, 2, "av", "", 98, {}, 0, true, 0.0, 100.0};
        objects[2] = {ObjectType::BinaryValue, 3, "bv", "", 95, {}, 0, true, {}, {}};
        objects[3] = {ObjectType::MultiStateValue, 4, "ahu1.mode", "", 95, {"off", "heat", "cool"}, 0, true, {}, {}};
        objects[4] = {ObjectType::AnalogValue, 5, "read-only", "", 95, {}, 0, false, {}, {}};
        ObjectTable table;
        std::string problem;
        ASSERT_TRUE(ObjectTable::Build(device, objects, table, problem)) << problem;
        server = std::make_unique<Server>(std::move(table), memory, options);
    }

    // The APDUs the server sends for a request's APDU, each "reach: octets".
    std::vector<std::string> Ask(const std::string& apdu, bool broadcast = false) {
        Bytes datagram = Wrap(Hex(apdu), broadcast ? Reach::LocalBroadcast : Reach::Unicast);
        std::vector<Outgoing> out;
        server->Receive(datagram.data(), datagram.size(), Client, now, out);
        return Read(out);
    }
    std::vector<std::string> Serve() {
        std::vector<Outgoing> out;
        server->Service(now, out);
        return Read(out);
    }
    static std::vector<std::string> Read(const std::vector<Outgoing>& out) {
        std::vector<std::string> apdus;
        for (const Outgoing& o : out) {
            Incoming incoming;
            std::uint16_t nak = 0;
            if (Unwrap(o.datagram.data(), o.datagram.size(), o.to, incoming, nak) != Unwrapped::Apdu) {
                apdus.push_back("BVLC " + HexOf(o.datagram));
                continue;
            }
            const char* reach = o.reach == Reach::Unicast ? "" : "broadcast: ";
            apdus.push_back(reach + HexOf(Bytes(incoming.apdu, incoming.apdu + incoming.apduSize)));
        }
        return apdus;
    }
    void Finish(WriteOutcome outcome) {
        ASSERT_FALSE(memory.writes.empty());
        memory.writes.front().done(outcome);
        memory.writes.erase(memory.writes.begin());
    }

    Memory memory;
    std::unique_ptr<Server> server;
    Clock::time_point now{};
};

using Replies = std::vector<std::string>;

TEST_F(BacnetServer, ConfirmedRequestsAndTheirAnswers) {
    Start();
    const struct {
        const char* name;
        const char* request;
        const char* answer;
    } table[] = {
        {"Present_Value", "00 05 01 0C 0C 00 00 00 01 19 55", "30 01 0C 0C 00 00 00 01 19 55 3E 44 42 91 00 00 3F"},
        {"unknown object", "00 05 01 0C 0C 00 00 00 63 19 55", "50 01 0C 91 01 91 1F"},
        {"unknown property", "00 05 01 0C 0C 00 00 00 01 19 57", "50 01 0C 91 02 91 20"},
        {"ALL in ReadProperty", "00 05 01 0C 0C 00 00 00 01 19 08", "50 01 0C 91 02 91 20"},
        {"not an array", "00 05 01 0C 0C 00 00 00 01 19 55 29 01", "50 01 0C 91 02 91 32"},
        {"Object_List's size", "00 05 01 0C 0C 02 03 F7 A1 19 4C 29 00",
         "30 01 0C 0C 02 03 F7 A1 19 4C 29 00 3E 21 06 3F"},
        {"Object_List beyond its end", "00 05 01 0C 0C 02 03 F7 A1 19 4C 29 07", "50 01 0C 91 02 91 2A"},
        {"a state's text", "00 05 01 0C 0C 04 C0 00 04 19 6E 29 02",
         "30 01 0C 0C 04 C0 00 04 19 6E 29 02 3E 75 05 00 68 65 61 74 3F"},
        {"no property", "00 05 01 0C 0C 00 00 00 01", "60 01 05"},
        {"more than it takes", "00 05 01 0C 0C 00 00 00 01 19 55 49 00", "60 01 07"},
        {"an application tag for a context tag", "00 05 01 0C C4 00 00 00 01 19 55", "60 01 04"},
        {"a service not served", "00 05 01 1A 0C 00 00 00 01", "60 01 09"},
        {"a segment", "08 05 01 00 01 0C 0C 00 00 00 01 19 55", "71 01 04"},
        {"longer than the asker takes", "00 00 01 0E 0C 02 03 F7 A1 1E 09 08 1F", "71 01 04"},
        {"ReadPropertyMultiple, one error among the values", "00 05 01 0E 0C 00 00 00 01 1E 09 55 09 57 1F",
         "30 01 0E 0C 00 00 00 01 1E 29 55 4E 44 42 91 00 00 4F 29 57 5E 91 02 91 20 5F 1F"},
        {"ReadPropertyMultiple of an unknown object", "00 05 01 0E 0C 00 00 00 63 1E 09 08 1F",
         "30 01 0E 0C 00 00 00 63 1E 29 08 5E 91 01 91 1F 5F 1F"},
        {"ReadPropertyMultiple, an empty list", "00 05 01 0E 0C 00 00 00 01 1E 1F", "60 01 05"},
        {"ReadPropertyMultiple of ALL with an index", "00 05 01 0E 0C 00 00 00 01 1E 09 08 19 01 1F",
         "30 01 0E 0C 00 00 00 01 1E 29 08 39 01 5E 91 02 91 32 5F 1F"},
        {"write to a read-only object", "00 05 01 0F 0C 00 80 00 05 19 55 3E 44 42 20 00 00 3F",
         "50 01 0F 91 02 91 28"},
        {"write to an input", "00 05 01 0F 0C 00 00 00 01 19 55 3E 44 42 20 00 00 3F", "50 01 0F 91 02 91 28"},
        {"write to another property", "00 05 01 0F 0C 00 80 00 02 19 1C 3E 71 00 3F", "50 01 0F 91 02 91 28"},
        {"write beyond max", "00 05 01 0F 0C 00 80 00 02 19 55 3E 44 42 CA 00 00 3F", "50 01 0F 91 02 91 25"},
        {"write of an Unsigned to an analog", "00 05 01 0F 0C 00 80 00 02 19 55 3E 21 28 3F", "50 01 0F 91 02 91 09"},
        {"write of two values", "00 05 01 0F 0C 00 80 00 02 19 55 3E 44 42 20 00 00 00 3F", "50 01 0F 91 02 91 09"},
        {"write of no value", "00 05 01 0F 0C 00 80 00 02 19 55 3E 3F", "60 01 05"},
        {"write at priority 6", "00 05 01 0F 0C 00 80 00 02 19 55 3E 44 42 20 00 00 3F 49 06", "50 01 0F 91 02 91 28"},
        {"write at priority 17", "00 05 01 0F 0C 00 80 00 02 19 55 3E 44 42 20 00 00 3F 49 11", "60 01 06"},
        {"write to an element", "00 05 01 0F 0C 00 80 00 02 19 55 29 01 3E 44 42 20 00 00 3F", "50 01 0F 91 02 91 32"},
        {"binary beyond active", "00 05 01 0F 0C 01 40 00 03 19 55 3E 91 02 3F", "50 01 0F 91 02 91 25"},
        {"state 0", "00 05 01 0F 0C 04 C0 00 04 19 55 3E 21 00 3F", "50 01 0F 91 02 91 25"},
        {"state beyond the texts", "00 05 01 0F 0C 04 C0 00 04 19 55 3E 21 04 3F", "50 01 0F 91 02 91 25"},
        {"confirmed notifications", "00 05 01 05 09 01 1C 00 00 00 01 29 01 39 3C", "50 01 05 91 05 91 2D"},
        {"COV of the device", "00 05 01 05 09 01 1C 02 03 F7 A1 29 00 39 3C", "50 01 05 91 01 91 2D"},
        {"a lifetime alone", "00 05 01 05 09 01 1C 00 00 00 01 39 3C", "60 01 05"},
    };
    for (const auto& row : table) EXPECT_EQ(Ask(row.request), Replies{row.answer}) << row.name;
    EXPECT_TRUE(memory.writes.empty());
}

// A state the panel holds that has no text: the object says so in its
// Reliability (multi-state-fault) and its fault flag, while it is current.
TEST_F(BacnetServer, AStateWithoutTextIsAMultiStateFault) {
    Start();
    memory.values[MSV4] = {std::uint32_t{3}, true}; // the fourth state of three
    EXPECT_EQ(Ask("00 05 01 0C 0C 04 C0 00 04 19 67"), Replies{"30 01 0C 0C 04 C0 00 04 19 67 3E 91 09 3F"});
    EXPECT_EQ(Ask("00 05 01 0C 0C 04 C0 00 04 19 6F"), Replies{"30 01 0C 0C 04 C0 00 04 19 6F 3E 82 04 40 3F"});
    memory.values[MSV4] = {std::uint32_t{2}, true}; // cool
    EXPECT_EQ(Ask("00 05 01 0C 0C 04 C0 00 04 19 67"), Replies{"30 01 0C 0C 04 C0 00 04 19 67 3E 91 00 3F"});
}

TEST_F(BacnetServer, DiscoveryAnswersInPersonOrByBroadcast) {
    Start();
    const std::string iAm = "10 00 C4 02 03 F7 A1 22 05 C4 91 03 22 FF FF";
    const std::string iHave = "10 01 C4 02 03 F7 A1 C4 04 C0 00 04 75 0A 00 61 68 75 31 2E 6D 6F 64 65";
    const struct {
        const char* name;
        std::string request;
        bool broadcast;
        Replies answers;
    } table[] = {
        {"Who-Is", "10 08", false, {iAm}},
        {"Who-Is by broadcast", "10 08", true, {"broadcast: " + iAm}},
        {"Who-Is of others", "10 08 09 01 19 0A", true, {}},
        {"Who-Is of exactly it", "10 08 0B 03 F7 A1 1B 03 F7 A1", false, {iAm}},
        {"Who-Is with one limit", "10 08 0B 03 F7 A1", false, {}},
        {"Who-Has by name", "10 07 3D 0A 00 61 68 75 31 2E 6D 6F 64 65", false, {iHave}},
        {"Who-Has by identifier", "10 07 2C 04 C0 00 04", true, {"broadcast: " + iHave}},
        {"Who-Has of no one's", "10 07 3C 00 6E 6F 6E", false, {}},
        {"an I-Am", iAm, true, {}},
        {"a time synchronization", "10 06 A4 7E 0C 0A 04 B4 0D 2D 1E 00", true, {}},
    };
    for (const auto& row : table) EXPECT_EQ(Ask(row.request, row.broadcast), row.answers) << row.name;

    // A Who-Is from behind a router, by broadcast: the answer goes to every network.
    Bytes routed = Hex("81 0B 00 0C 01 08 00 05 01 2A 10 08");
    std::vector<Outgoing> out;
    server->Receive(routed.data(), routed.size(), Client, now, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].reach, Reach::GlobalBroadcast);
    Bytes nak = Hex("81 05 00 06 00 3C");
    out.clear();
    server->Receive(nak.data(), nak.size(), Client, now, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(HexOf(out[0].datagram), "81 00 00 06 00 30");
}

TEST_F(BacnetServer, WritesFollowThePriorityArrayAndWaitForThePanel) {
    Start();
    // 40.0 at priority 8: answered once the panel took it.
    EXPECT_EQ(Ask("00 05 01 0F 0C 00 80 00 02 19 55 3E 44 42 20 00 00 3F 49 08"), Replies{});
    // Meanwhile another write to the object waits its turn; reads are answered.
    EXPECT_EQ(Ask("00 05 02 0F 0C 00 80 00 02 19 55 3E 44 41 F0 00 00 3F 49 0A"), Replies{});
    EXPECT_EQ(Ask("00 05 03 0C 0C 00 80 00 02 19 55").size(), 1u);
    ASSERT_EQ(memory.writes.size(), 1u);
    EXPECT_EQ(std::get<double>(memory.writes[0].value), 40.0);
    Finish(WriteOutcome::Written);
    // 30.0 at priority 10 lies below the command in force: kept, not written.
    EXPECT_EQ(Serve(), (Replies{"20 01 0F", "20 02 0F"}));
    EXPECT_TRUE(memory.writes.empty());
    // Relinquishing priority 8 brings 30.0 into force.
    EXPECT_EQ(Ask("00 05 04 0F 0C 00 80 00 02 19 55 3E 00 3F 49 08"), Replies{});
    ASSERT_EQ(memory.writes.size(), 1u);
    EXPECT_EQ(std::get<double>(memory.writes[0].value), 30.0);
    Finish(WriteOutcome::Written);
    EXPECT_EQ(Serve(), Replies{"20 04 0F"});
    EXPECT_EQ(Ask("00 05 05 0C 0C 00 80 00 02 19 57 29 0A"),
              Replies{"30 05 0C 0C 00 80 00 02 19 57 29 0A 3E 44 41 F0 00 00 3F"});
    // The last one relinquished: nothing is written, the panel keeps its value.
    EXPECT_EQ(Ask("00 05 06 0F 0C 00 80 00 02 19 55 3E 00 3F 49 0A"), Replies{"20 06 0F"});
    EXPECT_TRUE(memory.writes.empty());
    EXPECT_EQ(Ask("00 05 07 0C 0C 00 80 00 02 19 57 29 0A"), Replies{"30 07 0C 0C 00 80 00 02 19 57 29 0A 3E 00 3F"});
    // Binary and multi-state values reach the panel as a bit and a state from 0.
    Ask("00 05 08 0F 0C 01 40 00 03 19 55 3E 91 01 3F");
    Ask("00 05 09 0F 0C 04 C0 00 04 19 55 3E 21 03 3F");
    ASSERT_EQ(memory.writes.size(), 2u);
    EXPECT_EQ(std::get<bool>(memory.writes[0].value), true);
    EXPECT_EQ(std::get<std::uint32_t>(memory.writes[1].value), 2u);
}

TEST_F(BacnetServer, WriteOutcomesAnswerAsTheirTable) {
    Start();
    const struct {
        WriteOutcome outcome;
        const char* answer;
    } table[] = {
        {WriteOutcome::Written, "20 01 0F"},
        {WriteOutcome::Refused, "50 01 0F 91 02 91 28"},
        {WriteOutcome::OutOfRange, "50 01 0F 91 02 91 25"},
        {WriteOutcome::TimedOut, "50 01 0F 91 07 91 1E"},
        {WriteOutcome::PanelAway, "50 01 0F 91 00 91 19"},
        {WriteOutcome::Stopping, "50 01 0F 91 00 91 03"},
    };
    for (const auto& row : table) {
        Ask("00 05 01 0F 0C 00 80 00 02 19 55 3E 44 42 20 00 00 3F 49 09");
        Finish(row.outcome);
        EXPECT_EQ(Serve(), Replies{row.answer}) << WriteOutcomeName(row.outcome);
        // The slot holds the command only when the panel took it.
        const char* slot = row.outcome == WriteOutcome::Written ? "44 42 20 00 00" : "00";
        EXPECT_EQ(Ask("00 05 02 0C 0C 00 80 00 02 19 57 29 09"),
                  Replies{std::string("30 02 0C 0C 00 80 00 02 19 57 29 09 3E ") + slot + " 3F"});
        Ask("00 05 03 0F 0C 00 80 00 02 19 55 3E 00 3F 49 09"); // relinquished: nothing in force, nothing written
        Serve();
    }
}

TEST_F(BacnetServer, AWriteWithoutAnOutcomeIsAnsweredWhenItsWaitEnds) {
    ServerOptions options;
    options.writeWait = std::chrono::seconds(10);
    options.maxPendingWrites = 2;
    Start(options);
    Ask("00 05 01 0F 0C 00 80 00 02 19 55 3E 44 42 20 00 00 3F");
    EXPECT_EQ(Ask("00 05 01 0F 0C 00 80 00 02 19 55 3E 44 42 20 00 00 3F"), Replies{}); // sent again: done once
    Ask("00 05 02 0F 0C 01 40 00 03 19 55 3E 91 01 3F");
    EXPECT_EQ(Ask("00 05 03 0F 0C 04 C0 00 04 19 55 3E 21 01 3F"), Replies{"50 03 0F 91 00 91 03"}); // busy
    EXPECT_EQ(memory.writes.size(), 2u);
    EXPECT_EQ(server->NextDeadline(), now + std::chrono::seconds(10));
    now += std::chrono::seconds(9);
    EXPECT_EQ(Serve(), Replies{});
    now += std::chrono::seconds(1);
    EXPECT_EQ(Serve(), (Replies{"50 01 0F 91 07 91 1E", "50 02 0F 91 07 91 1E"}));
    Finish(WriteOutcome::Written); // too late: no one waits for it
    EXPECT_EQ(Serve(), Replies{});
}

TEST_F(BacnetServer, CovNotifiesAtOnceThenOnAMoveOfItsIncrementOrOfItsFlags) {
    Start();
    const std::string head = "10 02 09 07 1C 02 03 F7 A1 2C 00 00 00 01 39 ";
    const std::string flags = " 2F 09 6F 2E 82 04 ";
    EXPECT_EQ(Ask("00 05 01 05 09 07 1C 00 00 00 01 29 00 39 3C"),
              (Replies{"20 01 05", head + "3C 4E 09 55 2E 44 42 91 00 00" + flags + "00 2F 4F"}));
    now += std::chrono::seconds(10);
    memory.values[AI1].value = 72.75; // less than 0.5 from 72.5
    server->ValuesChanged();
    EXPECT_EQ(Serve(), Replies{});
    memory.values[AI1].value = 73.0;
    server->ValuesChanged();
    EXPECT_EQ(Serve(), Replies{head + "32 4E 09 55 2E 44 42 92 00 00" + flags + "00 2F 4F"});
    memory.values[AI1].current = false;
    server->ValuesChanged();
    EXPECT_EQ(Serve(), Replies{head + "32 4E 09 55 2E 44 42 92 00 00" + flags + "40 2F 4F"});
    // Binary and multi-state: any change; lifetime 0 lasts until cancelled.
    Ask("00 05 02 05 09 08 1C 01 40 00 03 29 00 39 00");
    memory.values[BV3].value = true;
    server->ValuesChanged();
    ASSERT_EQ(Serve().size(), 1u);
    EXPECT_EQ(server->Subscriptions(), 2u);
    now += std::chrono::seconds(50); // the first one's 60 s are over
    memory.values[AI1] = {90.0, true};
    server->ValuesChanged();
    EXPECT_EQ(Serve(), Replies{});
    EXPECT_EQ(server->Subscriptions(), 1u);
    EXPECT_EQ(Ask("00 05 03 05 09 08 1C 01 40 00 03"), Replies{"20 03 05"}); // cancelled
    EXPECT_EQ(server->Subscriptions(), 0u);
}

TEST_F(BacnetServer, SubscriptionsAreBounded) {
    ServerOptions options;
    options.maxSubscriptions = 2;
    Start(options);
    EXPECT_EQ(Ask("00 05 01 05 09 01 1C 00 00 00 01 29 00 39 3C").size(), 2u);
    EXPECT_EQ(Ask("00 05 02 05 09 02 1C 00 00 00 01 29 00 39 3C").size(), 2u);
    EXPECT_EQ(Ask("00 05 03 05 09 01 1C 00 00 00 01 29 00 39 78").size(), 2u); // renewed, not added
    EXPECT_EQ(Ask("00 05 04 05 09 03 1C 00 00 00 01 29 00 39 3C"), Replies{"50 04 05 91 03 91 13"});
}

} // namespace
