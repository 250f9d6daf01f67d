// The gateway's BACnet front end in this process, between a point store and
// a write queue of the test's own (the test stands where the driver thread
// stands: it stores values, takes the writes and finishes them), asked on a
// real UDP socket of loopback: a change in the store and a value growing
// old are notified at once to a COV subscriber; a write is answered by the
// outcome the queue gives it, or by a timeout after write_timeout_ms.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "gateway/bacnet/apdu.h"
#include "gateway/bacnet/envelope.h"
#include "gateway/bacnet_front.h"
#include "tests/bacnet/hex.h"

namespace zulgate {
namespace {

using bacnet::ObjectId;
using bacnet::ObjectType;
using bacnet::Writer;
using bacnet_test::HexOf;
using std::chrono::milliseconds;

constexpr ObjectId Supply{ObjectType::AnalogInput, 10000};
constexpr ObjectId Setpoint{ObjectType::AnalogValue, 10000};
constexpr ObjectId Count{ObjectType::AnalogValue, 10001};
constexpr auto StaleAfter = milliseconds(300);
constexpr auto WriteTimeout = milliseconds(300);

// What the client hears: a confirmed request's answer, or a notification.
struct Heard {
    bacnet::PduType type{};
    std::string apdu; // in hex
};

class BacnetFront : public testing::Test {
protected:
    void SetUp() override {
        std::vector<PointRow> rows;
        Diagnostics d;
        ASSERT_TRUE(
            ParsePointList("name,address,table,register,access,scale,min,max,cov\n"
                           "supply,W01A2F3,input,0,r,0.1,,,0.5\n"
                           "setpoint,W000100,holding,0,rw,0.1,15,35,\n"
                           "count,W000102,holding,1,rw,,,,\n",
                           "p.csv", rows, d));
        AddressChecker check = [](const std::string& text) -> std::optional<zulclient::Point> {
            return zulclient::Point{'W', std::stoi(text.substr(1), nullptr, 16), NoBit};
        };
        ASSERT_TRUE(BuildPanelMap(rows, "p.csv", check, map_, d));
        store_ = std::make_unique<PointStore>(std::vector<std::size_t>{map_.ValueCount()},
                                              std::vector<Clock::duration>{StaleAfter});
        std::vector<ValueMeaning> meanings;
        for (const MappedPoint& p : map_.Points()) meanings.push_back(p.Meaning());
        store_->SetMeanings(0, meanings);
        checked_.config.bacnet.enabled = true;
        checked_.config.bacnet.deviceInstance = 77;
        checked_.config.bacnet.listen = ListenAddress{"127.0.0.1", 0};
        checked_.config.panels.resize(1);
        front_ = std::make_unique<BacnetFrontEnd>(checked_,
                                                  std::vector<ServedPanel>{{0, 1, "ahu1", &map_, WriteTimeout}},
                                                  *store_, queue_, log_);
        std::string error;
        ASSERT_TRUE(front_->Start(error)) << error;
        client_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(client_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    void TearDown() override {
        front_->Stop();
        close(client_);
    }

    void Ask(std::uint8_t invoke, bacnet::ConfirmedService service, const bacnet::Bytes& parameters) {
        // Confirmed, unsegmented, answers of up to 1476 octets taken.
        bacnet::Bytes apdu(4 + parameters.size());
        apdu[0] = 0x00;
        apdu[1] = 0x05;
        apdu[2] = invoke;
        apdu[3] = static_cast<std::uint8_t>(service);
        std::copy(parameters.begin(), parameters.end(), apdu.begin() + 4);
        bacnet::Bytes datagram = bacnet::Wrap(apdu, bacnet::Reach::Unicast);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(front_->Local().port);
        to.sin_addr.s_addr = htonl(front_->Local().address);
        sendto(client_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    void Subscribe(const ObjectId& object) {
        bacnet::Bytes p;
        Writer w(p);
        w.ContextUnsigned(0, 1);
        w.ContextObject(1, object);
        w.Context(2, false); // unconfirmed notifications
        w.ContextUnsigned(3, 60);
        Ask(1, bacnet::ConfirmedService::SubscribeCov, p);
    }
    void Write(std::uint8_t invoke, const ObjectId& object, float value) {
        bacnet::Bytes p;
        Writer w(p);
        w.ContextObject(0, object);
        w.ContextEnumerated(1, static_cast<std::uint32_t>(bacnet::Property::PresentValue));
        w.Open(3);
        w.Real(value);
        w.Close(3);
        w.ContextUnsigned(4, 8);
        Ask(invoke, bacnet::ConfirmedService::WriteProperty, p);
    }
    // The next datagram's APDU within `wait`; type 0xFF when none came.
    Heard Next(milliseconds wait = milliseconds(2000)) {
        pollfd p{client_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(wait.count())) != 1) return {static_cast<bacnet::PduType>(0xFF), ""};
        std::uint8_t buffer[1600];
        ssize_t n = recv(client_, buffer, sizeof buffer, 0);
        if (n < 6) return {static_cast<bacnet::PduType>(0xFF), ""};
        bacnet::Bytes apdu(buffer + 6, buffer + n); // past BVLC and a local NPDU
        return {static_cast<bacnet::PduType>(apdu[0] >> 4), HexOf(apdu)};
    }
    // The ticket a panel's worker would run next: dispatched and begun, as
    // the gateway hands a write on; null when none may run.
    std::shared_ptr<WriteTicket> Take() {
        while (std::shared_ptr<WriteTicket> t = queue_.Dispatch()) {
            if (WriteQueue::Begin(*t)) return t;
        }
        return nullptr;
    }
    // The same, waited for a while.
    std::shared_ptr<WriteTicket> Taken() {
        for (auto until = Clock::now() + milliseconds(2000); Clock::now() < until;) {
            if (std::shared_ptr<WriteTicket> t = Take()) return t;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return nullptr;
    }

    PanelMap map_;
    std::unique_ptr<PointStore> store_;
    WriteQueue queue_;
    CheckedConfig checked_;
    Log log_{Level::Error};
    std::unique_ptr<BacnetFrontEnd> front_;
    int client_ = -1;
};

// A notification's values: Present_Value (REAL 21.0 is 44 41 A8 00 00), then
// Status_Flags (82 04 00 normal, 82 04 40 fault).
TEST_F(BacnetFront, NotifiesAStoreChangeAtOnceAndAValueGrowingOld) {
    Subscribe(Supply);
    EXPECT_EQ(Next().type, bacnet::PduType::SimpleAck);
    Heard first = Next(); // never read: 0, fault
    EXPECT_NE(first.apdu.find("2E 44 00 00 00 00 2F 09 6F 2E 82 04 40 2F"), std::string::npos) << first.apdu;
    auto stored = Clock::now();
    store_->Store(0, {{0, 210}}, stored);
    Heard now = Next();
    EXPECT_NE(now.apdu.find("2E 44 41 A8 00 00 2F 09 6F 2E 82 04 00 2F"), std::string::npos) << now.apdu;
    // Nothing more is stored: the value grows old after stale_ms, and that is news.
    Heard old = Next();
    EXPECT_NE(old.apdu.find("2E 44 41 A8 00 00 2F 09 6F 2E 82 04 40 2F"), std::string::npos) << old.apdu;
    EXPECT_GE(Clock::now() - stored, StaleAfter);
}

TEST_F(BacnetFront, AWriteIsAnsweredByTheOutcomeItsTicketGets) {
    struct Row {
        const char* what;
        WriteOutcome outcome;
        std::string answer;
    } rows[] = {
        {"written", WriteOutcome::Written, "20 03 0F"},
        {"refused", WriteOutcome::Refused, "50 03 0F 91 02 91 28"},      // property, write-access-denied
        {"no answer", WriteOutcome::NoAnswer, "50 03 0F 91 07 91 1E"},   // communication, timeout
        {"panel away", WriteOutcome::PanelAway, "50 03 0F 91 00 91 19"}, // device, operational-problem
    };
    for (const Row& r : rows) {
        Write(3, Setpoint, 21.5f);
        std::shared_ptr<WriteTicket> ticket = Taken();
        ASSERT_TRUE(ticket) << r.what;
        const WriteRequest& request = WriteQueue::RequestOf(*ticket);
        ASSERT_EQ(request.writes.size(), 1u);
        EXPECT_EQ(request.writes[0].values, std::vector<std::uint32_t>{215}) << r.what;
        WriteQueue::Finish(*ticket, r.outcome);
        EXPECT_EQ(Next().apdu, r.answer) << r.what;
    }
}

TEST_F(BacnetFront, AWriteNotTakenWithinItsTimeIsAnErrorAndNeverMade) {
    auto asked = Clock::now();
    Write(4, Setpoint, 30);
    EXPECT_EQ(Next().apdu, "50 04 0F 91 07 91 1E"); // communication, timeout
    EXPECT_GE(Clock::now() - asked, WriteTimeout);
    EXPECT_EQ(Take(), nullptr); // abandoned
}

TEST_F(BacnetFront, WhatThePointCannotHoldIsOutOfRangeAndNotQueued) {
    Write(5, Count, 70000);                         // a word holds 0 to 65535; no min or max given
    EXPECT_EQ(Next().apdu, "50 05 0F 91 02 91 25"); // property, value-out-of-range
    Write(6, Count, -1);
    EXPECT_EQ(Next().apdu, "50 06 0F 91 02 91 25");
    EXPECT_EQ(Take(), nullptr);
    queue_.Stop(); // the gateway stops: a write is refused at once
    Write(7, Count, 12);
    EXPECT_EQ(Next().apdu, "50 07 0F 91 00 91 03"); // device, device-busy
}

} // namespace
} // namespace zulgate
