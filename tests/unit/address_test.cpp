// Point addresses: syntax, the host's data-type check, byte counts.
#include <cstring>
#include <string>

#include "panel/address.h"
#include "tests/unit/driver_fixture.h"

namespace test {
namespace {

class AddressTest : public DriverTest {
protected:
    AddressDefinition Check(const char* text, std::int32_t type, std::int32_t code = CheckAddressCode) {
        AddressDefinition d;
        std::memset(&d, 0x77, sizeof d);
        d.AddressText = text;
        d.HostDataType = type;
        result = Call(code, &d);
        return d;
    }
    std::int32_t result = -1;
};

TEST_F(AddressTest, ParsedFields) {
    struct Case {
        const char* text;
        char letter;
        std::int32_t address;
        std::int32_t bit;
    };
    const Case cases[] = {
        {"W01A2F3", 'W', 0x01A2F3, 255}, {"b0040027", 'B', 0x004002, 7},  {"L10000A", 'L', 0x10000A, 255},
        {"L10000A1", 'L', 0x10000A, 1},  {"d123456", 'D', 0x123456, 255}, {"WFFFFFFF", 'W', 0xFFFFFF, 15},
        {"WFFFFFF", 'W', 0xFFFFFF, 255}, {"e000000a", 'E', 0, 10},        {"m00ff00", 'M', 0x00FF00, 255},
        {"TabcdefB", 'T', 0xABCDEF, 11}, {"F7F00FF", 'F', 0x7F00FF, 255},
    };
    for (const auto& c : cases) {
        AddressDefinition d = Check(c.text, 7);
        EXPECT_EQ(result, 0) << c.text;
        EXPECT_EQ(d.TypeLetter, c.letter) << c.text;
        EXPECT_EQ(d.PointAddress, c.address) << c.text;
        EXPECT_EQ(d.BitNumber, c.bit) << c.text;
        EXPECT_EQ(d.ElementLength, 32);
        EXPECT_EQ(d.Cleared16, 0);
        EXPECT_EQ(d.Unused4, 0x77777777) << "words the driver does not use stay";
        EXPECT_EQ(d.Unused12, 0x77777777);
    }
}

// Which host data types accept each example address (codes 0 to 9, and -1).
TEST_F(AddressTest, TypeCheckTable) {
    struct Case {
        const char* text;
        const char* accepted; // one character per type 0..9, then -1
    };
    const Case cases[] = {
        {"W01A2F3", "yyynnnnyyyy"},  {"b0040027", "yyynnnyyyyy"}, {"L10000A", "nnnyyynyyyy"},
        {"L10000A1", "nnnnnnnyyyy"}, {"d123456", "yyyyyynyyyy"},  {"WFFFFFFF", "yyynnnyyyyy"},
        {"T000000", "yyynnnnyyyy"},  {"T0000001", "yyynnnnyyyy"}, {"E000000", "yyynnnnyyyy"},
        {"M0000003", "yyynnnnyyyy"}, {"F000000", "nnnyyynyyyy"},  {"F0000002", "nnnnnnnyyyy"},
        {"B000000", "yyynnnnyyyy"},  {"D0000001", "yyynnnnyyyy"},
    };
    const std::int32_t types[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1};
    for (const auto& c : cases) {
        for (std::size_t i = 0; i < std::strlen(c.accepted); ++i) {
            AddressDefinition d = Check(c.text, types[i]);
            EXPECT_EQ(result, c.accepted[i] == 'y' ? 0 : 1) << c.text << " type " << types[i];
            EXPECT_NE(d.PointAddress, 0x77777777) << "parsed fields are kept after a type refusal";
        }
    }
}

TEST_F(AddressTest, RefusedWhateverTheType) {
    std::string longText(40, 'W');
    const char* texts[] = {"X000000", "W00000",     "W000000 ",    "W0000000A",      "W0G0000",
                           "",        "W0000000 x", "W 000000",    "+W000000",       "W-00000",
                           "0x00000", "W00000\xE7", "W000000\xE1", longText.c_str(), "W0000000 "};
    for (const char* text : texts) {
        for (std::int32_t type : {0, 3, 6, 7}) {
            AddressDefinition d = Check(text, type);
            EXPECT_EQ(result, 1) << text;
            EXPECT_EQ(d.TypeLetter, 0) << text;
            EXPECT_EQ(d.BitNumber, 255) << text;
            EXPECT_EQ(d.ElementLength, 32) << text;
            EXPECT_EQ(d.PointAddress, 0x77777777) << "not written: " << text;
        }
    }
}

TEST_F(AddressTest, LongTextNeverWritesBeyondTheWorkingCopy) {
    std::string text(33, 'w');
    Check(text.c_str(), 7);
    EXPECT_EQ(result, 1);
    char out[AddressWorkingSize + 8];
    std::memset(out, '#', sizeof out);
    EXPECT_FALSE(NameToUpper(text.c_str(), out));
    for (char c : out) EXPECT_EQ(c, '#') << "a refused text is not copied at all";
    std::string exact(32, 'w');
    EXPECT_TRUE(NameToUpper(exact.c_str(), out));
    EXPECT_EQ(out[31], 'W');
    EXPECT_EQ(out[32], '#');
    EXPECT_FALSE(NameToUpper("", out));
}

TEST_F(AddressTest, UpperCasingRule) {
    char out[4] = {};
    EXPECT_TRUE(NameToUpper("a{\xE1", out));
    EXPECT_EQ(out[0], 'A');
    EXPECT_EQ(out[1], '[');
    EXPECT_EQ(static_cast<unsigned char>(out[2]), 0xC1);
}

TEST_F(AddressTest, SyntaxCheckSkipsTheTypeTest) {
    AddressDefinition d = Check("L10000A1", 3, CheckAddressSyntaxCode);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(d.TypeLetter, 'L');
    Check("W01A2F3", 6, CheckAddressSyntaxCode);
    EXPECT_EQ(result, 0);
    Check("W01A2F3", 6, CheckAddressCode);
    EXPECT_EQ(result, 1) << "the flag lasts one call";

    AddressDefinition untouched = Check("W01A2F3", 7, CheckAddressSyntaxCode);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(untouched.TypeLetter, 0x77777777);
    EXPECT_EQ(untouched.BitNumber, 0x77777777);
    EXPECT_EQ(untouched.ElementLength, 0x77777777);

    Check("X000000", 1, CheckAddressSyntaxCode);
    EXPECT_EQ(result, 1);
}

TEST(DataSize, BytesPerLetterTimesCount) {
    struct Case {
        char letter;
        std::int32_t count, elementLength, size;
    };
    const Case cases[] = {
        {'W', 3, 0, 6},  {'D', 2, 0, 6}, {'F', 1, 0, 4}, {'B', 0, 0, 0},    {'Q', 5, 0, 10},    {'A', 2, 32, 64},
        {'S', 3, 5, 15}, {'E', 7, 0, 7}, {'M', 1, 0, 1}, {'L', 63, 0, 252}, {'T', 127, 0, 254},
    };
    for (const auto& c : cases) {
        PointRequest p{};
        p.TypeLetter = c.letter;
        p.ElementCount = c.count;
        p.ElementLength = c.elementLength;
        EXPECT_EQ(GetDataSize(p), c.size) << c.letter;
        EXPECT_EQ(TransferByteCount(p), c.size) << c.letter;
    }
    PointRequest huge{};
    huge.TypeLetter = 'L';
    huge.ElementCount = 0x40000001;
    EXPECT_EQ(GetDataSize(huge), 4) << "a wrapping 32-bit product";
    EXPECT_EQ(TransferByteCount(huge), -1);
    huge.ElementCount = -1;
    EXPECT_EQ(TransferByteCount(huge), -1);
    huge.ElementCount = 64;
    EXPECT_EQ(TransferByteCount(huge), -1) << "256 bytes do not fit the count byte";
}

} // namespace
} // namespace test
