// Modbus TCP framed by its MBAP header, written byte for byte on raw
// sockets: a frame is what its length says, a frame that contradicts its
// header (a second PDU hidden behind the first, a protocol that is not
// Modbus, a length that does not fit its function) closes the connection
// with nothing of it run, and an exception's function code as a request is
// answered as one.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/gateway/gateway_fixture.h"
#include "tests/gateway/raw_socket.h"

namespace {

using namespace gwtest;

std::string Frame(int transaction, const std::string& pdu, int unit = 1, int protocol = 0, int length = -1) {
    if (length < 0) length = static_cast<int>(pdu.size()) + 1;
    std::string f;
    for (int v : {transaction >> 8, transaction, protocol >> 8, protocol, length >> 8, length, unit})
        f += static_cast<char>(v & 0xFF);
    return f + pdu;
}
std::string Pdu(std::initializer_list<int> bytes) {
    std::string p;
    for (int b : bytes) p += static_cast<char>(b);
    return p;
}
std::string Hex(const std::string& bytes) {
    std::string h;
    char two[4];
    for (unsigned char b : bytes) {
        std::snprintf(two, sizeof two, "%s%02X", h.empty() ? "" : " ", b);
        h += two;
    }
    return h;
}

const std::string ReadTwo = Pdu({0x03, 0x00, 0x00, 0x00, 0x02});                     // holding 0 and 1
const std::string WriteBeef = Pdu({0x06, 0x00, 0x00, 0xBE, 0xEF});                   // holding 0 := 0xBEEF
const std::string WriteMany = Pdu({0x10, 0x00, 0x00, 0x00, 0x01, 0x02, 0xBE, 0xEF}); // the same, function 16

TEST_F(Gateway, ModbusFramesAreWhatTheirHeaderSays) {
    zulsim::PanelSim& panel = Sim("COM5");
    panel.SetBytes(0x000100, {0x34, 0x12, 0x78, 0x56});
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "w.csv"),
                      {{"w.csv", "name,address,table,register,access,count\nw,W000100,holding,0,rw,2\n"}}, {"ahu1"}))
        << Log();
    ASSERT_TRUE(MbpollUntil(
        1, 0, [](const std::string& out) { return out == "4660"; }, seconds(10)))
        << Log();

    const std::string answerTwo = "00 07 01 03 04 12 34 56 78"; // after the transaction id and protocol
    struct Case {
        const char* what;
        std::string bytes;
        std::string answer; // hex, "" for none
        bool closed;
    } cases[] = {
        {"a read", Frame(1, ReadTwo), "00 01 00 00 " + answerTwo, false},
        {"two frames in one segment", Frame(2, ReadTwo) + Frame(3, ReadTwo),
         "00 02 00 00 " + answerTwo + " 00 03 00 00 " + answerTwo, false},
        {"a write hidden behind a read", Frame(4, ReadTwo + WriteBeef), "", true},
        {"a length short of its PDU", Frame(5, WriteBeef, 1, 0, 3), "", true},
        {"a write in another protocol", Frame(6, WriteBeef, 1, 1), "", true},
        {"a byte count against the length", Frame(7, WriteMany.substr(0, 6) + Pdu({0xBE})), "", true},
        {"a length of nothing", Frame(8, "", 1, 0, 1), "", true},
        {"a length past any PDU", Frame(9, ReadTwo, 1, 0, 300), "", true},
        {"a byte count against the quantity", Frame(10, Pdu({0x10, 0x00, 0x00, 0x00, 0x02, 0x02, 0xBE, 0xEF})),
         "00 0A 00 00 00 03 01 90 03", false},
        {"an exception's code", Frame(11, Pdu({0x83, 0x00, 0x00, 0x00, 0x01})), "00 0B 00 00 00 03 01 83 01", false},
        {"the highest code", Frame(12, Pdu({0xFF})), "00 0C 00 00 00 03 01 FF 01", false},
        {"an exception's code for no unit", Frame(13, Pdu({0x81, 0, 0, 0, 1}), 99), "00 0D 00 00 00 03 63 81 01",
         false},
        {"a function not served", Frame(14, Pdu({0x2B, 0x0E, 0x01, 0x00})), "00 0E 00 00 00 03 01 AB 01", false},
    };
    for (const Case& c : cases) {
        RawClient client(port_);
        ASSERT_TRUE(client.Connected());
        client.Send(c.bytes);
        std::size_t expected = c.answer.empty() ? 0 : (c.answer.size() + 1) / 3;
        std::string got = client.ReceiveBytes(expected, seconds(3));
        got += client.Receive(milliseconds(c.closed ? 2000 : 300)); // nothing more, or the close
        EXPECT_EQ(Hex(got), c.answer) << c.what;
        EXPECT_EQ(client.Closed(), c.closed) << c.what;
    }
    // Nothing of a refused frame was written.
    EXPECT_EQ(panel.GetBytes(0x000100, 2), (Bytes{0x34, 0x12}));
    EXPECT_EQ(Mbpoll({"-t", "4", "-r", "0", "-c", "2", "127.0.0.1"}), "4660 22136");

    // Half a frame, then nothing: closed once the frame's time is up.
    RawClient half(port_);
    half.Send(Frame(15, ReadTwo).substr(0, 9));
    auto sent = Clock::now();
    half.Receive(seconds(5));
    EXPECT_TRUE(half.Closed());
    EXPECT_LT(Clock::now() - sent, seconds(4));
    EXPECT_NE(Log().find("not Modbus TCP, disconnected"), std::string::npos) << Log();
}

} // namespace
