// The encoding rules, as tables of values and the octets they make: each
// application tag both ways, context and constructed tags, what a decoder
// must refuse, and the BACnet/IP envelope around an APDU.
#include <gtest/gtest.h>

#include <functional>

#include "gateway/bacnet/envelope.h"
#include "tests/bacnet/hex.h"

using namespace zulgate::bacnet;
using bacnet_test::Hex;
using bacnet_test::HexOf;

namespace {

const ObjectId Device260001{ObjectType::Device, 260001};

TEST(BacnetCodec, ApplicationTagsBothWays) {
    const struct {
        AppValue value;
        const char* octets;
    } table[] = {
        {Null{}, "00"},
        {false, "10"},
        {true, "11"},
        {std::uint64_t{0}, "21 00"},
        {std::uint64_t{255}, "21 FF"},
        {std::uint64_t{256}, "22 01 00"},
        {std::uint64_t{65536}, "23 01 00 00"},
        {std::uint64_t{0xFFFFFFFF}, "24 FF FF FF FF"},
        {std::uint64_t{0x100000000}, "25 05 01 00 00 00 00"}, // five octets: the length follows the tag
        {std::int64_t{0}, "31 00"},
        {std::int64_t{-1}, "31 FF"},
        {std::int64_t{127}, "31 7F"},
        {std::int64_t{128}, "32 00 80"},
        {std::int64_t{-128}, "31 80"},
        {std::int64_t{-129}, "32 FF 7F"},
        {std::int64_t{-8388609}, "34 FF 7F FF FF"},
        {72.5f, "44 42 91 00 00"},
        {-2.0f, "44 C0 00 00 00"},
        {1.0, "55 08 3F F0 00 00 00 00 00 00"},
        {OctetString{}, "60"},
        {OctetString{{0x01, 0x02}}, "62 01 02"},
        {CharacterString{""}, "71 00"},
        {CharacterString{"ahu"}, "74 00 61 68 75"},
        {CharacterString{"abcd"}, "75 05 00 61 62 63 64"},
        {BitString{}, "81 00"},
        {BitString{{false, true, false, false}}, "82 04 40"},
        {BitString{std::vector<bool>(9, true)}, "83 07 FF 80"},
        {Enumerated{0}, "91 00"},
        {Enumerated{117}, "91 75"},
        {Enumerated{371}, "92 01 73"},
        {Date{126, 12, 10, 4}, "A4 7E 0C 0A 04"},
        {Time{13, 45, 30, 0}, "B4 0D 2D 1E 00"},
        {Device260001, "C4 02 03 F7 A1"},
        {ObjectId{ObjectType::AnalogInput, 1}, "C4 00 00 00 01"},
    };
    for (const auto& row : table) {
        Bytes out;
        Writer(out).Application(row.value);
        EXPECT_EQ(HexOf(out), row.octets);
        Bytes in = Hex(row.octets);
        Reader reader(in.data(), in.size());
        EXPECT_TRUE(reader.Application() == row.value) << row.octets;
        EXPECT_FALSE(reader.Failed()) << row.octets;
        EXPECT_TRUE(reader.AtEnd()) << row.octets;
    }
}

TEST(BacnetCodec, LongLengthsTakeTwoOrFourOctets) {
    for (const auto& [length, header] : {std::pair<std::size_t, const char*>{253, "75 FE 00 FE 00"},
                                         {300, "75 FE 01 2D 00"},
                                         {70000, "75 FF 00 01 11 71 00"}}) {
        Bytes out;
        Writer(out).Text(std::string(length, 'a'));
        Bytes expected = Hex(header);
        ASSERT_GE(out.size(), expected.size());
        EXPECT_EQ(HexOf(Bytes(out.begin(), out.begin() + static_cast<long>(expected.size()))), header);
        Reader reader(out.data(), out.size());
        EXPECT_EQ(std::get<CharacterString>(reader.Application()).text.size(), length);
        EXPECT_TRUE(reader.AtEnd());
    }
}

TEST(BacnetCodec, ContextAndConstructedTags) {
    const struct {
        std::function<void(Writer&)> write;
        const char* octets;
    } table[] = {
        {[](Writer& w) { w.ContextUnsigned(0, 7); }, "09 07"},
        {[](Writer& w) { w.ContextEnumerated(1, 85); }, "19 55"},
        {[](Writer& w) { w.ContextUnsigned(3, 300); }, "3A 01 2C"},
        {[](Writer& w) { w.Context(2, true); }, "29 01"},
        {[](Writer& w) { w.ContextObject(1, Device260001); }, "1C 02 03 F7 A1"},
        {[](Writer& w) { w.Context(4, CharacterString{"ab"}); }, "4B 00 61 62"},
        {[](Writer& w) { w.ContextUnsigned(15, 1); }, "F9 0F 01"}, // tag numbers from 15 in the next octet
        {[](Writer& w) { w.Open(3), w.Close(3); }, "3E 3F"},
        {[](Writer& w) { w.Open(30), w.Close(30); }, "FE 1E FF 1E"},
    };
    for (const auto& row : table) {
        Bytes out;
        Writer w(out);
        row.write(w);
        EXPECT_EQ(HexOf(out), row.octets);
    }
    Bytes in = Hex("09 07 19 55 29 01 1C 02 03 F7 A1 4B 00 61 62 3E 4E 21 01 4F 3F F9 0F 01");
    Reader r(in.data(), in.size());
    EXPECT_EQ(r.ContextUnsigned(0), 7u);
    EXPECT_EQ(r.ContextEnumerated(1), 85u);
    EXPECT_TRUE(r.ContextBoolean(2));
    EXPECT_EQ(r.ContextObject(1), Device260001);
    EXPECT_EQ(r.ContextText(4), "ab");
    EXPECT_TRUE(r.NextIsOpening(3));
    r.Skip(); // [3] holding [4] holding 1
    EXPECT_EQ(r.ContextUnsigned(15), 1u);
    EXPECT_TRUE(r.AtEnd());
    EXPECT_FALSE(r.Failed());
}

TEST(BacnetCodec, WhatCannotBeTakenFailsWithItsFault) {
    const struct {
        const char* octets;
        Fault fault;
    } table[] = {
        {"", Fault::Missing},
        {"43 00 00 00", Fault::InvalidTag},       // a REAL of three octets
        {"22 01", Fault::InvalidTag},             // shorter than its length
        {"20", Fault::InvalidTag},                // an Unsigned of no octets
        {"95 00 00 00 00 00", Fault::InvalidTag}, // an ENUMERATED of five
        {"D1 00", Fault::InvalidTag},             // application tag 13 is reserved
        {"12", Fault::InvalidTag},                // a BOOLEAN is 0 or 1
        {"65 10 00", Fault::InvalidTag},          // an extended length beyond the end
        {"65 FF FF FF FF FF", Fault::InvalidTag},
        {"72 04 41", Fault::Unsupported}, // character set 4
        {"82 08 00", Fault::InvalidTag},  // eight unused bits
        {"81 03", Fault::InvalidTag},     // unused bits in no octet
        {"06", Fault::InvalidTag},        // opening tags are context tags
        {"09 07", Fault::InvalidTag},     // a context tag where an application tag belongs
        {"3E", Fault::Missing},           // a constructed value where a primitive one belongs
    };
    for (const auto& row : table) {
        Bytes in = Hex(row.octets);
        Reader reader(in.data(), in.size());
        reader.Application();
        EXPECT_EQ(reader.GetFault(), row.fault) << row.octets;
    }
    Bytes unclosed = Hex("3E 21 01");
    Reader r(unclosed.data(), unclosed.size());
    r.Skip();
    EXPECT_EQ(r.GetFault(), Fault::InvalidTag);
}

TEST(BacnetEnvelope, TakesWhatIsForThisDevice) {
    const Endpoint sender{0x7F000001, 47809};
    const struct {
        const char* name;
        const char* datagram;
        Unwrapped result;
        bool broadcast;
        const char* apdu;
    } table[] = {
        {"unicast", "81 0A 00 08 01 00 10 08", Unwrapped::Apdu, false, "10 08"},
        {"broadcast", "81 0B 00 08 01 00 10 08", Unwrapped::Apdu, true, "10 08"},
        {"to every network", "81 0B 00 0C 01 20 FF FF 00 FF 10 08", Unwrapped::Apdu, true, "10 08"},
        {"from another network", "81 0A 00 0C 01 08 00 05 01 2A 10 08", Unwrapped::Apdu, false, "10 08"},
        {"forwarded", "81 04 00 0E C0 A8 01 05 BA C0 01 00 10 08", Unwrapped::Apdu, true, "10 08"},
        {"to another network", "81 0A 00 0C 01 20 00 07 00 FF 10 08", Unwrapped::Dropped, false, ""},
        {"a network layer message", "81 0B 00 07 01 80 00", Unwrapped::Dropped, false, ""},
        {"wrong length", "81 0A 00 09 01 00 10 08", Unwrapped::Dropped, false, ""},
        {"not BACnet/IP", "82 0A 00 08 01 00 10 08", Unwrapped::Dropped, false, ""},
        {"NPDU version 2", "81 0A 00 08 02 00 10 08", Unwrapped::Dropped, false, ""},
        {"source address of no octets", "81 0A 00 0B 01 08 00 05 00 10 08", Unwrapped::Dropped, false, ""},
        {"no APDU", "81 0A 00 06 01 00", Unwrapped::Dropped, false, ""},
        {"a BVLC result", "81 00 00 06 00 00", Unwrapped::Dropped, false, ""},
        {"register as a foreign device", "81 05 00 06 00 3C", Unwrapped::Nak, false, ""},
    };
    for (const auto& row : table) {
        Bytes in = Hex(row.datagram);
        Incoming incoming;
        std::uint16_t nak = 0;
        EXPECT_EQ(Unwrap(in.data(), in.size(), sender, incoming, nak), row.result) << row.name;
        if (row.result == Unwrapped::Nak) {
            EXPECT_EQ(nak, 0x0030);
        }
        if (row.result != Unwrapped::Apdu) continue;
        EXPECT_EQ(incoming.broadcast, row.broadcast) << row.name;
        EXPECT_EQ(HexOf(Bytes(incoming.apdu, incoming.apdu + incoming.apduSize)), row.apdu) << row.name;
    }
    Bytes routed = Hex("81 0A 00 0C 01 08 00 05 01 2A 10 08");
    Incoming incoming;
    std::uint16_t nak = 0;
    Unwrap(routed.data(), routed.size(), sender, incoming, nak);
    ASSERT_TRUE(incoming.from.remote.has_value());
    EXPECT_EQ(incoming.from.remote->network, 5);
    EXPECT_EQ(HexOf(incoming.from.remote->address), "2A");
    Bytes forwarded = Hex("81 04 00 0E C0 A8 01 05 BA C0 01 00 10 08");
    Unwrap(forwarded.data(), forwarded.size(), sender, incoming, nak);
    EXPECT_EQ(incoming.from.via, (Endpoint{0xC0A80105, 47808}));
}

TEST(BacnetEnvelope, WrapsAnswersForEachReach) {
    Bytes apdu = Hex("20 01 0F");
    EXPECT_EQ(HexOf(Wrap(apdu, Reach::Unicast)), "81 0A 00 09 01 00 20 01 0F");
    EXPECT_EQ(HexOf(Wrap(apdu, Reach::LocalBroadcast)), "81 0B 00 09 01 00 20 01 0F");
    EXPECT_EQ(HexOf(Wrap(apdu, Reach::GlobalBroadcast)), "81 0B 00 0D 01 20 FF FF 00 FF 20 01 0F");
    EXPECT_EQ(HexOf(Wrap(apdu, Reach::Unicast, RemoteStation{5, {0x2A}})), "81 0A 00 0E 01 20 00 05 01 2A FF 20 01 0F");
    EXPECT_EQ(HexOf(BvlcResult(0x0030)), "81 00 00 06 00 30");
}

} // namespace
