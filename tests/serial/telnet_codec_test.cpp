// The Telnet codec's answers to a device server's negotiation, and what it
// takes from the server's COM-PORT-CONTROL reports, as a table: after the
// opening offers (WILL COM-PORT-OPTION, WILL BINARY, DO BINARY).
#include <gtest/gtest.h>

#include <vector>

#include "platform/linux/telnet_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace telnet;

struct Case {
    const char* what;
    Bytes received;
    Bytes answer;
    Bytes data;
};

TEST(TelnetCodec, AnswersAndDataAsTheTableSays) {
    const Case cases[] = {
        {"an option it does not want, offered", {IAC, WILL, 1}, {IAC, DONT, 1}, {}},
        {"an option it does not want, asked for", {IAC, DO, 24}, {IAC, WONT, 24}, {}},
        {"suppress-go-ahead, offered unasked",
         {IAC, WILL, OptionSuppressGoAhead},
         {IAC, DO, OptionSuppressGoAhead},
         {}},
        {"the answers to its offers", {IAC, DO, OptionComPort, IAC, DO, OptionBinary, IAC, WILL, OptionBinary}, {}, {}},
        {"a withdrawal of what was never on", {IAC, WONT, 5, IAC, DONT, 6}, {}, {}},
        {"one-byte commands among data", {0x10, IAC, 241, 0x02, IAC, 249, 0x03}, {}, {0x10, 0x02, 0x03}},
        {"IAC doubled is 0xFF", {IAC, IAC, 0x10, IAC, IAC}, {}, {0xFF, 0x10, 0xFF}},
        {"a report among data", {0x06, IAC, SB, OptionComPort, 101, 0, 0, 0x4B, 0, IAC, SE, 0x15}, {}, {0x06, 0x15}},
    };
    for (const Case& c : cases) {
        Session s;
        std::uint8_t offer[16];
        Offer(s, true, offer, sizeof offer);
        std::uint8_t out[64];
        std::size_t n = Receive(s, c.received.data(), c.received.size(), out, sizeof out);
        EXPECT_EQ(Bytes(out, out + n), c.data) << c.what;
        std::uint8_t replies[64];
        std::size_t r = TakeReplies(s, replies, sizeof replies);
        EXPECT_EQ(Bytes(replies, replies + r), c.answer) << c.what;
    }
}

TEST(TelnetCodec, TheServersAnswersAreKept) {
    Session s;
    std::uint8_t offer[16];
    ASSERT_EQ(Offer(s, true, offer, sizeof offer), 9u);
    const Bytes refused{IAC, DONT, OptionComPort};
    std::uint8_t out[16];
    Receive(s, refused.data(), refused.size(), out, sizeof out);
    EXPECT_TRUE(s.comPortRefused);
    EXPECT_EQ(s.comPort, OptionState::No);

    // 9600 as a baud rate holds no 0xFF; 0x0000FF00 (65280) does, doubled on the way.
    std::uint8_t command[14];
    std::size_t n = ComPortBaud(65280, command);
    EXPECT_EQ(Bytes(command, command + n), (Bytes{IAC, SB, OptionComPort, SetBaudRate, 0, 0, IAC, IAC, 0, IAC, SE}));
    Bytes report{IAC, SB, OptionComPort, 101, 0, 0, IAC, IAC, 0, IAC, SE, IAC, SB, OptionComPort, 102, 7, IAC, SE};
    Receive(s, report.data(), report.size(), out, sizeof out);
    EXPECT_EQ(s.reports[SetBaudRate].value, 65280u);
    EXPECT_EQ(s.reports[SetDataSize].value, 7u);
    EXPECT_EQ(s.reportCount, 2u);
}

} // namespace
