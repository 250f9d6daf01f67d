// Point addresses, reads and writes through the built library against the
// simulator's memory, and the request frames exactly as they went out.
#include "tests/e2e/host.h"

namespace e2e {
namespace {

class Addresses : public HostTest {};
class Blocks : public HostTest {};

// ---- address checks -------------------------------------------------------

TEST_F(Addresses, CheckAddressOfEveryLetter) {
    struct Case {
        const char* text;
        std::int32_t hostType, rc;
        char letter;
        std::int32_t address, bit;
    } const cases[] = {
        {"B0040027", 7, 0, 'B', 0x004002, 7},
        {"b0040027", 6, 0, 'B', 0x004002, 7},
        {"D123456", 3, 0, 'D', 0x123456, 255},
        {"d123456", 0, 0, 'D', 0x123456, 255},
        {"E002000", 1, 0, 'E', 0x002000, 255},
        {"F003000", 4, 0, 'F', 0x003000, 255},
        {"L10000A", 5, 0, 'L', 0x10000A, 255},
        {"L10000A1", 7, 0, 'L', 0x10000A, 1},
        {"M00200f", 2, 0, 'M', 0x00200F, 255},
        {"T000200", 0, 0, 'T', 0x000200, 255},
        {"W01A2F3", 0, 0, 'W', 0x01A2F3, 255},
        {"WFFFFFFF", 6, 0, 'W', 0xFFFFFF, 15},
        {"W000000A", -1, 0, 'W', 0x000000, 10},
        // Refused by the type check: the parsed parts are still filled in.
        {"W01A2F3", 6, 1, 'W', 0x01A2F3, 255},
        {"L10000A1", 3, 1, 'L', 0x10000A, 1},
        {"T000200", 6, 1, 'T', 0x000200, 255},
        // Refused by the syntax: only the defaults are written.
        {"X000000", 7, 1, 0, -1, 255},
        {"W00000", 7, 1, 0, -1, 255},
        {"W000000 ", 7, 1, 0, -1, 255},
        {"W0000000A", 7, 1, 0, -1, 255},
        {"W0G0000", 7, 1, 0, -1, 255},
        {"", 7, 1, 0, -1, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.text + "\" type " + std::to_string(c.hostType));
        AddressDefinition a;
        std::memset(&a, 0xEE, sizeof a);
        a.AddressText = c.text;
        a.HostDataType = c.hostType;
        a.PointAddress = -1;
        EXPECT_EQ(Call(CheckAddressCode, &a), c.rc);
        EXPECT_EQ(a.TypeLetter, c.letter);
        EXPECT_EQ(a.PointAddress, c.address);
        EXPECT_EQ(a.BitNumber, c.bit);
        EXPECT_EQ(a.ElementLength, 32);
        EXPECT_EQ(a.Cleared16, 0);
    }
    EXPECT_TRUE(log.empty()) << "address checks log nothing";
}

TEST_F(Addresses, CheckAddressSyntaxSkipsTheTypeCheck) {
    AddressDefinition a;
    std::memset(&a, 0, sizeof a);
    a.AddressText = "W01A2F3";
    a.HostDataType = 3; // would refuse W
    EXPECT_EQ(Call(CheckAddressSyntaxCode, &a), 0);
    EXPECT_EQ(a.TypeLetter, 'W');
    EXPECT_EQ(a.PointAddress, 0x01A2F3);

    std::memset(&a, 0x33, sizeof a);
    a.AddressText = "W01A2F3";
    a.HostDataType = 7;
    EXPECT_EQ(Call(CheckAddressSyntaxCode, &a), 1);
    EXPECT_EQ(a.TypeLetter, 0x33333333) << "type 7 writes nothing";
}

// ---- writes, read back, and the panel's memory ------------------------------

struct WriteCase {
    const char* name;
    char letter;
    std::uint32_t address;
    std::int32_t bit;
    Bytes before;                        // the panel's memory at the address
    std::vector<std::uint32_t> slots;    // the host's values
    Bytes after;                         // the panel's memory after the write
    std::vector<std::string> payloads;   // the requests, unstuffed, in order
    std::vector<std::uint32_t> readBack; // a read of the same point
    std::int32_t code = BlockWriteCode;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class PointWrites : public HostTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(PointWrites, ReachThePanelAndReadBack) {
    const WriteCase& c = GetParam();
    zulsim::PanelSim& sim = Started();
    sim.SetBytes(c.address, c.before);

    EXPECT_EQ(Write(c.letter, c.address, c.slots, c.bit, c.code), 0);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(Hex(sim.GetBytes(c.address, c.after.size())), Hex(c.after));
    line.WaitForAck();
    EXPECT_EQ(line.Payloads(), c.payloads);
    // Every exchange ends with one ACK from the driver.
    EXPECT_EQ(line.Count("06"), c.payloads.size());

    std::vector<std::uint32_t> slots(c.readBack.size() + 1, Untouched);
    PointRequest p = Points(c.letter, c.address, static_cast<std::int32_t>(c.readBack.size()), slots.data(), c.bit);
    EXPECT_EQ(Call(c.code == WriteValuesCode ? ReadValuesCode : BlockReadCode, &p), 0);
    for (std::size_t i = 0; i < c.readBack.size(); ++i) {
        if (IsHalfLetter(c.letter)) {
            EXPECT_EQ(slots[i] >> 16, c.readBack[i]) << "slot " << i;
            EXPECT_EQ(slots[i] & 0xFFFF, Untouched & 0xFFFF) << "bytes 0-1 of slot " << i << " are the host's";
        } else {
            EXPECT_EQ(slots[i], c.readBack[i]) << "slot " << i;
        }
    }
    EXPECT_EQ(slots.back(), Untouched) << "no slot beyond the count";
    EXPECT_TRUE(log.empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryWritableLetter, PointWrites,
    ::testing::Values(
        WriteCase{"W", 'W', 0x01A2F3, NoBit, {0, 0}, {Half(0x1234)}, {0x34, 0x12}, {"60 01 A2 F3 02 34 12"}, {0x1234}},
        WriteCase{"T3",
                  'T',
                  0x000200,
                  NoBit,
                  Bytes(6, 0),
                  {Half(0x0001), Half(0xBEEF), Half(0x1010)},
                  {0x01, 0x00, 0xEF, 0xBE, 0x10, 0x10},
                  {"60 00 02 00 06 01 00 EF BE 10 10"},
                  {0x0001, 0xBEEF, 0x1010},
                  WriteValuesCode},
        // B sends the low 8 bits of the 16-bit value.
        WriteCase{"B2",
                  'B',
                  0x004002,
                  NoBit,
                  {0, 0},
                  {Half(0x0141), Half(0x0010)},
                  {0x41, 0x10},
                  {"60 00 40 02 02 41 10"},
                  {0x41, 0x10}},
        WriteCase{"L",
                  'L',
                  0x10000A,
                  NoBit,
                  Bytes(4, 0),
                  {0x12345678},
                  {0x78, 0x56, 0x34, 0x12},
                  {"60 10 00 0A 04 78 56 34 12"},
                  {0x12345678}},
        WriteCase{"Lnegative",
                  'L',
                  0x000400,
                  NoBit,
                  Bytes(4, 0),
                  {0xFFFFFFFE},
                  {0xFE, 0xFF, 0xFF, 0xFF},
                  {"60 00 04 00 04 FE FF FF FF"},
                  {0xFFFFFFFE},
                  WriteValuesCode},
        // F goes out as the slot's four bytes; a read takes the two low
        // bytes as a whole number, so 1.0 reads back as 0.0 ...
        WriteCase{"Fone",
                  'F',
                  0x003000,
                  NoBit,
                  Bytes(4, 0),
                  {FloatBits(1.0f)},
                  {0x00, 0x00, 0x80, 0x3F},
                  {"60 00 30 00 04 00 00 80 3F"},
                  {FloatBits(0.0f)}},
        // ... and the bytes 10 27 00 00 as 10000.0.
        WriteCase{"Fwhole",
                  'F',
                  0x003004,
                  NoBit,
                  Bytes(4, 0xFF),
                  {0x00002710},
                  {0x10, 0x27, 0x00, 0x00},
                  {"60 00 30 04 04 10 27 00 00"},
                  {FloatBits(10000.0f)}},
        // Nibbles: one preparatory read of the byte, the other nibble kept.
        WriteCase{"E", 'E', 0x002000, NoBit, {0xA3}, {Half(7)}, {0xA7}, {"50 00 20 00 01", "60 00 20 00 01 A7"}, {7}},
        WriteCase{"M",
                  'M',
                  0x002000,
                  NoBit,
                  {0xA3},
                  {Half(7)},
                  {0x73},
                  {"50 00 20 00 01", "60 00 20 00 01 73"},
                  {7},
                  WriteValuesCode},
        WriteCase{"EwideValue",
                  'E',
                  0x002001,
                  NoBit,
                  {0xA3},
                  {Half(0x5C)},
                  {0xAC},
                  {"50 00 20 01 01", "60 00 20 01 01 AC"},
                  {0xC}},
        WriteCase{"MwideValue",
                  'M',
                  0x002002,
                  NoBit,
                  {0xA3},
                  {Half(0x5C)},
                  {0xC3},
                  {"50 00 20 02 01", "60 00 20 02 01 C3"},
                  {0xC}},
        // Bits: a preparatory read of the whole value, one bit changed (bit
        // 0 of the host's value decides). A read of W ignores the bit.
        WriteCase{"Wbit5set",
                  'W',
                  0x000100,
                  5,
                  {0x00, 0x0F},
                  {Half(1)},
                  {0x20, 0x0F},
                  {"50 00 01 00 02", "60 00 01 00 02 20 0F"},
                  {0x0F20}},
        WriteCase{"Wbit5cleared",
                  'W',
                  0x000100,
                  5,
                  {0x20, 0x0F},
                  {Half(2)},
                  {0x00, 0x0F},
                  {"50 00 01 00 02", "60 00 01 00 02 00 0F"},
                  {0x0F00},
                  WriteValuesCode},
        WriteCase{"Wbit15",
                  'W',
                  0x000102,
                  15,
                  {0x00, 0x00},
                  {Half(1)},
                  {0x00, 0x80},
                  {"50 00 01 02 02", "60 00 01 02 02 00 80"},
                  {0x8000}},
        WriteCase{"Tbit0",
                  'T',
                  0x000104,
                  0,
                  {0xFE, 0xFF},
                  {Half(1)},
                  {0xFF, 0xFF},
                  {"50 00 01 04 02", "60 00 01 04 02 FF FF"},
                  {0xFFFF}},
        // A read of B with a bit gives that bit.
        WriteCase{
            "Bbit3cleared", 'B', 0x004000, 3, {0xFF}, {Half(0)}, {0xF7}, {"50 00 40 00 01", "60 00 40 00 01 F7"}, {0}},
        WriteCase{
            "Bbit3set", 'B', 0x004001, 3, {0x00}, {Half(1)}, {0x08}, {"50 00 40 01 01", "60 00 40 01 01 08"}, {1}},
        WriteCase{"Bbit9keepsTheByte",
                  'B',
                  0x004003,
                  9,
                  {0x5A},
                  {Half(1)},
                  {0x5A},
                  {"50 00 40 03 01", "60 00 40 03 01 5A"},
                  {0}},
        // A bit of a nibble: the nibble, then its byte, then the write.
        WriteCase{"Ebit2",
                  'E',
                  0x002004,
                  2,
                  {0xA3},
                  {Half(1)},
                  {0xA7},
                  {"50 00 20 04 01", "50 00 20 04 01", "60 00 20 04 01 A7"},
                  {7}},
        // On L the bit number counts in the upper 16-bit half.
        WriteCase{"Lbit0isBit16",
                  'L',
                  0x000500,
                  0,
                  Bytes(4, 0),
                  {Half(1)},
                  {0x00, 0x00, 0x01, 0x00},
                  {"50 00 05 00 04", "60 00 05 00 04 00 00 01 00"},
                  {0x00010000}}),
    [](const ::testing::TestParamInfo<WriteCase>& p) { return std::string(p.param.name); });

TEST_F(Blocks, DatesCannotBeWritten) {
    zulsim::PanelSim& sim = Started();
    sim.SetBytes(0x005000, {0x01, 0x02, 0x03});
    EXPECT_EQ(Write('D', 0x005000, {220924800}), 1);
    EXPECT_EQ(log, (Log{{64, "ZUL01: TRK: ERROR BlockWrite(): Fail rc = 1"}}));
    EXPECT_TRUE(line.Received().empty()) << "nothing is sent";
    EXPECT_EQ(Hex(sim.GetBytes(0x005000, 3)), "01 02 03");
}

// ---- reads of seeded memory -------------------------------------------------

struct ReadCase {
    const char* name;
    char letter;
    std::uint32_t address;
    std::int32_t bit;
    Bytes memory;
    std::vector<std::uint32_t> values; // 16-bit values, or whole slots for L, F, D
    std::int32_t code = BlockReadCode;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class PointReads : public HostTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(PointReads, DecodeTheSeededMemory) {
    const ReadCase& c = GetParam();
    zulsim::PanelSim& sim = Started();
    sim.SetBytes(c.address, c.memory);
    std::vector<std::uint32_t> slots(c.values.size() + 1, Untouched);
    PointRequest p = Points(c.letter, c.address, static_cast<std::int32_t>(c.values.size()), slots.data(), c.bit);
    EXPECT_EQ(Call(c.code, &p), 0);
    EXPECT_TRUE(log.empty());
    for (std::size_t i = 0; i < c.values.size(); ++i) {
        if (IsHalfLetter(c.letter)) {
            EXPECT_EQ(slots[i] >> 16, c.values[i]) << "slot " << i;
            EXPECT_EQ(slots[i] & 0xFFFF, Untouched & 0xFFFF) << "slot " << i;
        } else {
            EXPECT_EQ(static_cast<std::int32_t>(slots[i]), static_cast<std::int32_t>(c.values[i])) << "slot " << i;
        }
    }
    EXPECT_EQ(slots.back(), Untouched);
    // One request: command 50, the address high byte first, the byte count.
    char request[32];
    std::snprintf(request, sizeof request, "50 %02X %02X %02X %02X", (c.address >> 16) & 0xFF, (c.address >> 8) & 0xFF,
                  c.address & 0xFF, static_cast<unsigned>(c.memory.size()));
    line.WaitForAck();
    EXPECT_EQ(line.Payloads(), (std::vector<std::string>{request}));
}

INSTANTIATE_TEST_SUITE_P(
    EveryLetter, PointReads,
    ::testing::Values(
        ReadCase{"B", 'B', 0x004000, NoBit, {0xF7}, {247}}, ReadCase{"Bbit3of08", 'B', 0x004000, 3, {0x08}, {1}},
        ReadCase{"Bbit3ofF7", 'B', 0x004000, 3, {0xF7}, {0}, ReadValuesCode},
        ReadCase{"Bbit9", 'B', 0x004000, 9, {0xFF}, {0}}, ReadCase{"E", 'E', 0x002000, NoBit, {0xA5}, {5}},
        ReadCase{"M", 'M', 0x002000, NoBit, {0xA5}, {10}},
        ReadCase{"E3", 'E', 0x002000, NoBit, {0x1F, 0x2E, 0x3D}, {0xF, 0xE, 0xD}},
        ReadCase{"M3", 'M', 0x002000, NoBit, {0x1F, 0x2E, 0x3D}, {1, 2, 3}, ReadValuesCode},
        ReadCase{"T2", 'T', 0x000200, NoBit, {0x34, 0x12, 0x78, 0x56}, {0x1234, 0x5678}},
        ReadCase{"W2", 'W', 0x01A2F3, NoBit, {0x34, 0x12, 0x78, 0x56}, {0x1234, 0x5678}},
        ReadCase{"WatTopOfMemory", 'W', 0xFFFFFE, NoBit, {0x10, 0x10}, {0x1010}},
        ReadCase{
            "L2", 'L', 0x10000A, NoBit, {0x78, 0x56, 0x34, 0x12, 0x01, 0x00, 0x00, 0x80}, {0x12345678, 0x80000001}},
        ReadCase{"F", 'F', 0x003000, NoBit, {0x10, 0x27, 0xAA, 0xBB}, {FloatBits(10000.0f)}},
        ReadCase{"F2",
                 'F',
                 0x003000,
                 NoBit,
                 {0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x80, 0x3F},
                 {FloatBits(65535.0f), FloatBits(1.0f)},
                 ReadValuesCode},
        // Day 1 is 1 January 1977; midnights in UTC. Day 0 is the day before;
        // a day past 19 January 2038 does not fit and reads -1.
        ReadCase{"D",
                 'D',
                 0x123456,
                 NoBit,
                 {0x01, 0x00, 0xEE, 0x83, 0x04, 0xEE, 0xB5, 0x05, 0xEE, 0xD1, 0x20, 0xEE, 0x00, 0x00, 0xEE, 0x1C, 0x57,
                  0xEE},
                 {220924800u, 320630400u, 347068800u, 946684800u, 220838400u, 0xFFFFFFFFu}}),
    [](const ::testing::TestParamInfo<ReadCase>& p) { return std::string(p.param.name); });

// ---- the largest blocks --------------------------------------------------------

TEST_F(Blocks, LargestBlocksRoundTrip) {
    zulsim::PanelSim& sim = Started();
    // Every other byte a DLE: the reply is stuffed almost to double size.
    Bytes memory(255);
    for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = i % 2 ? 0x10 : static_cast<std::uint8_t>(i * 37);
    sim.SetBytes(0x020000, memory);

    std::vector<std::uint32_t> words(127 + 1, Untouched);
    PointRequest w = Points('W', 0x020000, 127, words.data());
    EXPECT_EQ(Call(BlockReadCode, &w), 0);
    for (std::size_t i = 0; i < 127; ++i) {
        EXPECT_EQ(words[i] >> 16, memory[2 * i] | (memory[2 * i + 1] << 8)) << "W " << i;
    }
    EXPECT_EQ(words[127], Untouched);

    std::vector<std::uint32_t> bytes(255 + 1, Untouched);
    PointRequest b = Points('B', 0x020000, 255, bytes.data());
    EXPECT_EQ(Call(BlockReadCode, &b), 0);
    for (std::size_t i = 0; i < 255; ++i) EXPECT_EQ(bytes[i] >> 16, memory[i]) << "B " << i;
    EXPECT_EQ(bytes[255], Untouched);
    line.WaitForAck();
    EXPECT_EQ(line.Payloads(), (std::vector<std::string>{"50 02 00 00 FE", "50 02 00 00 FF"}));

    // And back the other way: 127 words and 255 bytes written in one go each.
    std::vector<std::uint32_t> out(255);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = Half(static_cast<std::uint16_t>(0x1000 + 0x0101 * i));
    EXPECT_EQ(Write('W', 0x030000, std::vector<std::uint32_t>(out.begin(), out.begin() + 127)), 0);
    Bytes expected;
    for (std::size_t i = 0; i < 127; ++i) {
        expected.push_back(static_cast<std::uint8_t>(out[i] >> 16));
        expected.push_back(static_cast<std::uint8_t>(out[i] >> 24));
    }
    EXPECT_EQ(Hex(sim.GetBytes(0x030000, 254)), Hex(expected));
    EXPECT_EQ(Write('B', 0x040000, out), 0);
    expected.clear();
    for (std::uint32_t v : out) expected.push_back(static_cast<std::uint8_t>(v >> 16));
    EXPECT_EQ(Hex(sim.GetBytes(0x040000, 255)), Hex(expected));
    EXPECT_TRUE(log.empty());
}

// ---- the frames on the line, byte for byte ------------------------------------

TEST_F(Blocks, RequestFramesAsSent) {
    zulsim::PanelSim& sim = Started();
    sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
    std::vector<std::uint32_t> two(2, Untouched);
    EXPECT_EQ(Read('W', 0x01A2F3, two), 0);
    EXPECT_EQ(Write('W', 0x01A2F3, {Half(0x1234)}), 0);
    EXPECT_EQ(Write('L', 0x10000A, {0x12345678}), 0);             // address byte 10 doubled
    EXPECT_EQ(Write('B', 0x004002, {Half(0x41), Half(0x10)}), 0); // value byte 10 doubled
    line.WaitForAck();
    EXPECT_EQ(line.Received(), (std::vector<std::string>{"10 02 50 01 A2 F3 04 10 03 55 90", "06",
                                                         "10 02 60 01 A2 F3 02 34 12 10 03 48 80", "06",
                                                         "10 02 60 10 10 00 0A 04 78 56 34 12 10 03 26 F5", "06",
                                                         "10 02 60 00 40 02 02 41 10 10 10 03 F2 EF", "06"}));
    EXPECT_EQ(Hex(Framed(FromHex("60 10 00 0A 04 78 56 34 12"))), "10 02 60 10 10 00 0A 04 78 56 34 12 10 03 26 F5")
        << "the test's own framing agrees with the line";
}

TEST_F(Blocks, LargestBlocksOnAFieldLineAtNineThousandSixHundredBaud) {
    // Each byte takes its ten bit times both ways, the panel answers 20 ms
    // after the request, and a USB adapter hands its bytes over every 16 ms.
    zulsim::PanelSim& sim = Started(With([](zulsim::Options& o) {
        o.baud = 9600;
        o.turnaroundMs = 20;
        o.latencyTimerMs = 16;
    }));
    Bytes values(254);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint8_t>(i % 3 == 0 ? 0x10 : i);
    sim.SetBytes(0x003000, values);
    std::vector<std::uint32_t> block(127, Untouched);
    ASSERT_EQ(Read('W', 0x003000, block), 0);
    for (std::size_t i = 0; i < block.size(); ++i) {
        ASSERT_EQ(block[i] >> 16, values[2 * i] | values[2 * i + 1] << 8) << i;
    }
    std::vector<std::uint32_t> words;
    for (std::uint32_t i = 0; i < 127; ++i) words.push_back(Half(0x1010 + i));
    ASSERT_EQ(Write('W', 0x004000, words), 0) << ::testing::PrintToString(log);
    EXPECT_EQ(Hex(sim.GetBytes(0x004000 + 252, 2)), "8E 10");
    sim.SetBytes(0x01A2F3, {0x34});
    EXPECT_EQ(Write('E', 0x01A2F3, {Half(9)}), 0);
    EXPECT_EQ(Hex(sim.GetBytes(0x01A2F3, 1)), "39");
    EXPECT_TRUE(log.empty());
}

TEST_F(Blocks, ZeroElementsStillExchange) {
    Started();
    std::uint32_t untouched = Untouched;
    PointRequest r = Points('W', 0x01A2F3, 0, &untouched);
    EXPECT_EQ(Call(BlockReadCode, &r), 0);
    PointRequest w = Points('W', 0x01A2F3, 0, &untouched);
    EXPECT_EQ(Call(BlockWriteCode, &w), 0);
    EXPECT_EQ(untouched, Untouched);
    line.WaitForAck();
    EXPECT_EQ(line.Payloads(), (std::vector<std::string>{"50 01 A2 F3 00", "60 01 A2 F3 00"}));
    EXPECT_TRUE(log.empty());
}

} // namespace
} // namespace e2e
