// zulhost's commands that need no panel: info, check, the command line, and
// the failures of loading the driver or opening a port.
#include <gtest/gtest.h>

#include <cctype>

#include "driver/zultrk.h"
#include "tests/tool/run_tool.h"

using zulhost_test::RunTool;
using zulhost_test::ToolRun;

namespace {

TEST(ZulhostInfo, JsonCarriesTheDriverInfoFieldsAndTheBannerAsUtf8) {
    ToolRun run = RunTool({"info", "--json"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0) << run.err;
    nlohmann::json j = run.Json();
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["version"], 70);
    EXPECT_EQ(j["versionText"], "7.0");
    EXPECT_EQ(j["deviceName"], "Trane Tracker panel");
    EXPECT_EQ(j["contextSize"], static_cast<int>(sizeof(ChannelContext)));
    EXPECT_EQ(j["hostValueA"], 4);
    EXPECT_EQ(j["hostValueB"], 3);
    EXPECT_EQ(j["defaultLine"]["baud"], 9600);
    EXPECT_EQ(j["defaultLine"]["dataBits"], 8);
    EXPECT_EQ(j["defaultLine"]["parity"], "none");
    EXPECT_EQ(j["defaultLine"]["stopBits"], "1");
    std::string banner = j["banner"];
    EXPECT_NE(banner.find("Z U L T R K"), std::string::npos);
    EXPECT_NE(banner.find("\u250C"), std::string::npos); // top-left corner, 0xDA in code page 437
    EXPECT_NE(banner.find("\u2502"), std::string::npos); // vertical bar, 0xB3
    EXPECT_NE(banner.find("\u2588"), std::string::npos); // full block, 0xDB
}

TEST(ZulhostInfo, TextShowsNameVersionDefaultsAndAConvertedBanner) {
    ToolRun run = RunTool({"info"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Trane Tracker panel, driver version 7.0"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("9600 baud, 8 data bits, parity none"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\u2514"), std::string::npos); // bottom-left corner, 0xC0
    EXPECT_EQ(run.out.find('\xB3'), std::string::npos) << "a code page 437 byte reached the terminal";
}

TEST(ZulhostCheck, AcceptedAddressReportsItsParsedFields) {
    ToolRun run = RunTool({"check", "W01A2F3", "--json"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0) << run.err;
    nlohmann::json j = run.Json();
    EXPECT_EQ(j["accepted"], true);
    EXPECT_EQ(j["code"], 3);
    EXPECT_EQ(j["hostDataType"], 7);
    EXPECT_EQ(j["typeLetter"], "W");
    EXPECT_EQ(j["pointAddress"], "01A2F3");
    EXPECT_EQ(j["pointAddressValue"], 0x01A2F3);
    EXPECT_TRUE(j["bitNumber"].is_null());
    EXPECT_EQ(j["elementLength"], 32);
}

TEST(ZulhostCheck, LowerCaseBitAddressFitsDataTypeSix) {
    ToolRun run = RunTool({"check", "b0040027", "--type", "6", "--json"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0) << run.err;
    nlohmann::json j = run.Json();
    EXPECT_EQ(j["typeLetter"], "B");
    EXPECT_EQ(j["pointAddress"], "004002");
    EXPECT_EQ(j["bitNumber"], 7);
}

TEST(ZulhostCheck, TypeRefusalExitsWithTheResultAndSaysWhy) {
    ToolRun run = RunTool({"check", "W01A2F3", "--type", "6", "--json"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("check W01A2F3: CheckAddress failed with 1: the address is refused"), std::string::npos)
        << run.err;
    nlohmann::json j = run.Json();
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["accepted"], false);
    EXPECT_EQ(j["failedRequest"], "CheckAddress");
    EXPECT_EQ(j["result"], 1);
    EXPECT_EQ(j["typeLetter"], "W") << "a type refusal leaves the parsed letter";
    EXPECT_NE(j["reason"].get<std::string>().find("host data type 6"), std::string::npos);
}

TEST(ZulhostCheck, SyntaxRefusalLeavesNoParsedFields) {
    ToolRun run = RunTool({"check", "X000000", "--json"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1);
    nlohmann::json j = run.Json();
    EXPECT_FALSE(j.contains("typeLetter"));
    EXPECT_FALSE(j.contains("pointAddress"));
    EXPECT_NE(j["reason"].get<std::string>().find("not a point address"), std::string::npos);
}

TEST(ZulhostCheck, SyntaxOnlySkipsTheTypeCheckButRefusesTypeSeven) {
    ToolRun withBit = RunTool({"check", "L10000A1", "--syntax", "--type", "3"});
    ASSERT_TRUE(withBit.exited);
    EXPECT_EQ(withBit.status, 0) << withBit.err;
    EXPECT_NE(withBit.out.find("accepted by CheckAddressSyntax"), std::string::npos) << withBit.out;

    ToolRun typeSeven = RunTool({"check", "W01A2F3", "--syntax", "--json"});
    ASSERT_TRUE(typeSeven.exited);
    EXPECT_EQ(typeSeven.status, 1);
    nlohmann::json j = typeSeven.Json();
    EXPECT_EQ(j["code"], 4);
    EXPECT_EQ(j["failedRequest"], "CheckAddressSyntax");
}

struct BadLine {
    std::vector<std::string> args;
    const char* expected; // in stderr
};

void PrintTo(const BadLine& line, std::ostream* os) {
    for (const std::string& arg : line.args) *os << arg << ' ';
}

class ZulhostBadCommandLine : public testing::TestWithParam<BadLine> {};

TEST_P(ZulhostBadCommandLine, GivesUsageAndExitStatus64) {
    ToolRun run = RunTool(GetParam().args);
    ASSERT_TRUE(run.exited) << "zulhost died by a signal";
    EXPECT_EQ(run.status, 64) << run.err;
    EXPECT_NE(run.err.find(GetParam().expected), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ZulhostBadCommandLine,
    testing::Values(
        BadLine{{}, "a subcommand is required"}, BadLine{{"--frobnicate", "info"}, "--frobnicate"},
        BadLine{{"bogus"}, "not expected: bogus"}, BadLine{{"info", "check"}, "not expected: check"},
        BadLine{{"read"}, "ADDRESS is required"}, BadLine{{"check", "W01A2F3", "--type", "x"}, "usage"},
        BadLine{{"--baud", "0", "info"}, "not in range"}, BadLine{{"--parity", "sideways", "info"}, "usage"},
        BadLine{{"--port", "/dev/ttyUSB1234", "read", "W01A2F3"}, "more than 11 characters"},
        BadLine{{"--port", "/dev/ttyS0", "--trace", "start"}, "--trace"},
        BadLine{{"poll", "W01A2F3"}, "--interval is required"}, BadLine{{"write", "W01A2F3"}, "VALUE is required"},
        BadLine{{"write", "B004000", "300"}, "a byte takes 0..255"},
        BadLine{{"write", "E002000", "16"}, "a nibble takes 0..15"},
        BadLine{{"write", "B0040027", "2"}, "a bit takes 0 or 1"},
        BadLine{{"write", "E002000", "1", "2"}, "exactly one value"}, BadLine{{"write", "D123456", "1"}, "read-only"},
        BadLine{{"write", "F003000", "warm"}, "a float takes"},
        BadLine{{"read", "W01A2F3", "128"}, "at most 127 W elements"},
        BadLine{{"--port", "/dev/ttyS0", "demo"}, "--allow-panel-writes"}),
    [](const testing::TestParamInfo<BadLine>& param) {
        std::string name;
        for (const std::string& arg : param.param.args) name += arg + " ";
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        return std::to_string(param.index) + "_" + name;
    });

TEST(ZulhostHelp, PrintsUsageAndSucceeds) {
    ToolRun run = RunTool({"--help"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("Usage: zulhost"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("demo"), std::string::npos);
}

TEST(ZulhostLibrary, MissingLibraryIsReportedWith69) {
    ToolRun run = RunTool({"--lib", "/nonexistent/libzultrk.so", "info"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 69);
    EXPECT_NE(run.err.find("cannot load /nonexistent/libzultrk.so"), std::string::npos) << run.err;
}

TEST(ZulhostLibrary, LibraryWithoutZulMainIsRefused) {
    ToolRun run = RunTool({"--lib", KORVAN_LIBRARY, "--json", "info"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 69);
    EXPECT_NE(run.err.find("has no export ZulMain"), std::string::npos) << run.err;
    EXPECT_EQ(run.Json()["ok"], false);
}

TEST(ZulhostPort, UnopenablePortFailsColdStartWith2AndShowsTheDriverLine) {
    ToolRun run = RunTool({"--port", "/dev/nozul", "read", "W01A2F3"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("[32] ZUL01: TRK: ERROR ColdStart(): Fail to open /dev/nozul"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("read W01A2F3: ColdStart failed with 2: the serial port could not be opened"),
              std::string::npos)
        << run.err;
}

TEST(ZulhostPort, QuietHidesTheDriverLinesButJsonKeepsThem) {
    ToolRun run = RunTool({"--port", "/dev/nozul", "--quiet", "--json", "start"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.find("[32]"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("start: ColdStart failed with 2"), std::string::npos) << run.err;
    nlohmann::json j = run.Json();
    EXPECT_EQ(j["failedRequest"], "ColdStart");
    ASSERT_EQ(j["log"].size(), 1u);
    EXPECT_EQ(j["log"][0]["level"], 32);
    EXPECT_EQ(j["log"][0]["text"], "ZUL01: TRK: ERROR ColdStart(): Fail to open /dev/nozul");
}

TEST(ZulhostPort, ABadAddressIsRefusedBeforeThePortIsTouched) {
    ToolRun run = RunTool({"--port", "/dev/nozul", "read", "W0G0000"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("read W0G0000: CheckAddress failed with 1"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("ColdStart"), std::string::npos) << run.err;
}

} // namespace
