// zulhost against a panel: the built-in one (no --port), and a simulator
// that the test serves itself and hands to zulhost with --port, so that a
// write in one zulhost run can be read back in the next and in the panel's
// own memory.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>

#include "sim/panel_sim.h"
#include "tests/tool/run_tool.h"

using zulhost_test::RunTool;
using zulhost_test::ToolRun;

namespace {

// Local midnight of a date, as the driver's D points give it.
long LocalMidnight(int year, int month, int day) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_isdst = -1;
    return static_cast<long>(std::mktime(&t));
}

TEST(ZulhostBuiltInPanel, ReadsTwoWordsAndNamesThePanel) {
    ToolRun run = RunTool({"read", "W01A2F3", "2", "--json"});
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.err;
    nlohmann::json j = run.Json();
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["builtInPanel"], true);
    EXPECT_EQ(j["panelId"], "0xF5");
    EXPECT_EQ(j["values"], nlohmann::json::array({0x1234, 0x5678}));
    EXPECT_EQ(j["line"]["baud"], 9600);
    EXPECT_EQ(j["line"]["timeout"], 100);
    EXPECT_EQ(j["log"][0]["text"], "ZUL01: TRK: TRACKER Ver.ID = 0xF5h");
}

struct ReadCase {
    std::vector<std::string> args;
    nlohmann::json values;
};

void PrintTo(const ReadCase& read, std::ostream* os) {
    for (const std::string& arg : read.args) *os << arg << ' ';
}

class ZulhostReadsByLetter : public testing::TestWithParam<ReadCase> {};

TEST_P(ZulhostReadsByLetter, DecodesTheDemonstrationMemory) {
    std::vector<std::string> args{"--json", "read"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    ToolRun run = RunTool(args);
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.Json()["values"], GetParam().values);
}

INSTANTIATE_TEST_SUITE_P(
    Letters, ZulhostReadsByLetter,
    testing::Values(ReadCase{{"B004000", "4"}, {65, 16, 165, 8}}, ReadCase{{"b0040027", "2"}, {1, 0}},
                    ReadCase{{"E002000"}, {3}}, ReadCase{{"M002000"}, {10}}, ReadCase{{"T000100"}, {0x0F00}},
                    ReadCase{{"L10000A"}, {0x12345678}}, ReadCase{{"F003000"}, {10000.0}},
                    ReadCase{{"D123456", "3"},
                             {LocalMidnight(2000, 1, 1), LocalMidnight(2024, 6, 15), LocalMidnight(1977, 1, 1)}}),
    [](const testing::TestParamInfo<ReadCase>& param) { return param.param.args[0]; });

TEST(ZulhostBuiltInPanel, DatesPrintAsLocalMidnight) {
    ToolRun run = RunTool({"read", "D123459"});
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("D123459  2024-06-15 00:00:00"), std::string::npos) << run.out;
}

TEST(ZulhostBuiltInPanel, StartReportsTheIdentifierFromTheDriversLog) {
    ToolRun run = RunTool({"start"});
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("panel version identifier 0xF5"), std::string::npos) << run.out;
}

TEST(ZulhostBuiltInPanel, PollGivesOneJsonLinePerSampleAndASummary) {
    ToolRun run = RunTool({"--json", "poll", "W01A2F3", "2", "--interval", "20", "--times", "3"});
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<nlohmann::json> lines = run.JsonLines();
    ASSERT_EQ(lines.size(), 4u) << run.out;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i]["sample"], i + 1);
        EXPECT_EQ(lines[i]["result"], 0);
        EXPECT_EQ(lines[i]["values"], nlohmann::json::array({0x1234, 0x5678}));
    }
    EXPECT_EQ(lines[3]["samples"], 3);
    EXPECT_EQ(lines[3]["failedSamples"], 0);
    EXPECT_EQ(lines[3]["ok"], true);
}

TEST(ZulhostBuiltInPanel, TraceShowsThePanelsSideOfTheLine) {
    ToolRun run = RunTool({"--trace", "read", "W01A2F3", "2"});
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("panel: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("10 02 50 01 A2 F3 04 10 03 55 90"), std::string::npos) << "the read request frame\n"
                                                                                   << run.err;
}

TEST(ZulhostDemo, EveryStepPassesAgainstTheBuiltInPanel) {
    ToolRun run = RunTool({"demo", "--json"});
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    nlohmann::json j = run.Json();
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["failed"], 0);
    EXPECT_EQ(j["mismatches"], 0);
    EXPECT_EQ(j["passed"], j["steps"].size());
    std::string names;
    for (const auto& step : j["steps"]) names += step["step"].get<std::string>() + ";";
    for (const char* expected :
         {"get-info;", "cold-start;", "write+read B004001;", "write+read E002000;", "write+read M002000;",
          "write+read T000100;", "write+read W01A2F3;", "write+read L10000A;", "write+read F003000;",
          "write+read B0040037;", "read D123456 x3;", "poll W01A2F3", "close;"}) {
        EXPECT_NE(names.find(expected), std::string::npos) << expected << " missing from " << names;
    }
    EXPECT_EQ(j["summary"].get<std::string>().rfind("demo: all ", 0), 0u) << j["summary"];
}

TEST(ZulhostDemo, TextEndsWithTheOneLineSummary) {
    ToolRun run = RunTool({"demo"});
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.err;
    std::string last = run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1);
    EXPECT_EQ(last.rfind("demo: all ", 0), 0u) << last;
    EXPECT_NE(last.find("every read-back matched"), std::string::npos) << last;
    EXPECT_EQ(run.out.find("FAIL"), std::string::npos) << run.out;
}

// A simulated panel served by the test itself.
class ZulhostOwnPanel : public testing::Test {
protected:
    void Serve(zulsim::Options options = {}) {
        sim_ = std::make_unique<zulsim::PanelSim>(std::move(options));
        sim_->SetBytes(0x000200, {0x11, 0x22, 0x33, 0x44});
        sim_->SetBytes(0x000300, {0xA3, 0x08});
        std::string error;
        ASSERT_TRUE(sim_->Start(&error)) << error;
        ASSERT_LE(sim_->DevicePath().size(), 11u);
    }
    ToolRun Tool(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", sim_->DevicePath()});
        return RunTool(args);
    }
    std::vector<std::uint8_t> Memory(std::uint32_t address, std::size_t count) {
        return sim_->GetBytes(address, count);
    }
    std::unique_ptr<zulsim::PanelSim> sim_;
};

TEST_F(ZulhostOwnPanel, WordWriteReadsBackInTheNextRunAndSitsInThePanel) {
    Serve();
    ToolRun write = Tool({"--json", "write", "W000200", "0xBEEF", "4660"});
    ASSERT_TRUE(write.exited);
    ASSERT_EQ(write.status, 0) << write.err;
    nlohmann::json w = write.Json();
    EXPECT_EQ(w["builtInPanel"], false);
    EXPECT_EQ(w["values"], nlohmann::json::array({0xBEEF, 0x1234}));
    EXPECT_EQ(Memory(0x000200, 4), (std::vector<std::uint8_t>{0xEF, 0xBE, 0x34, 0x12}));

    ToolRun read = Tool({"--json", "read", "W000200", "2"});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.Json()["values"], nlohmann::json::array({0xBEEF, 0x1234}));
}

TEST_F(ZulhostOwnPanel, LongWriteTakesHexAndNegativeValues) {
    Serve();
    ASSERT_EQ(Tool({"write", "L000200", "--", "-2"}).status, 0);
    EXPECT_EQ(Memory(0x000200, 4), (std::vector<std::uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));
    ToolRun read = Tool({"--json", "read", "L000200"});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.Json()["values"], nlohmann::json::array({-2}));
}

TEST_F(ZulhostOwnPanel, NibbleAndBitWritesMergeIntoThePanelsByte) {
    Serve();
    ASSERT_EQ(Tool({"write", "E000300", "7"}).status, 0);
    EXPECT_EQ(Memory(0x000300, 1), std::vector<std::uint8_t>{0xA7});
    ASSERT_EQ(Tool({"write", "M000300", "0x5"}).status, 0);
    EXPECT_EQ(Memory(0x000300, 1), std::vector<std::uint8_t>{0x57});
    ASSERT_EQ(Tool({"write", "B0003017", "1"}).status, 0);
    EXPECT_EQ(Memory(0x000301, 1), std::vector<std::uint8_t>{0x88});
    ToolRun read = Tool({"--json", "read", "B0003017"});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.Json()["values"], nlohmann::json::array({1}));
}

TEST_F(ZulhostOwnPanel, FloatWriteSendsTheHostsFourBytes) {
    Serve();
    ASSERT_EQ(Tool({"write", "F000200", "1.0"}).status, 0);
    EXPECT_EQ(Memory(0x000200, 4), (std::vector<std::uint8_t>{0x00, 0x00, 0x80, 0x3F}));
}

TEST_F(ZulhostOwnPanel, UnacceptedIdentifierFailsTheHandshake) {
    zulsim::Options options;
    options.versionId = 0xF3;
    Serve(options);
    ToolRun run = Tool({"start"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("start: the panel handshake of ColdStart failed with 1"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("[32] ZUL01: TRK: TRACKER Ver.ID ERROR"), std::string::npos) << run.err;
}

TEST_F(ZulhostOwnPanel, RefusedReadRepliesFailTheReadAndTheNibbleWrite) {
    zulsim::Options options;
    options.shortValueArea = true;
    Serve(options);
    ToolRun read = Tool({"--json", "read", "W000200"});
    ASSERT_TRUE(read.exited);
    EXPECT_EQ(read.status, 2);
    EXPECT_NE(read.err.find("read W000200: BlockRead failed with 2: no usable exchange with the panel"),
              std::string::npos)
        << read.err;
    EXPECT_NE(read.err.find("[64] ZUL01: TRK: ERROR BlockRead(): Fail rc = 2"), std::string::npos) << read.err;
    EXPECT_FALSE(read.Json().contains("values"));

    ToolRun write = Tool({"write", "E000300", "7"});
    EXPECT_EQ(write.status, 2);
    EXPECT_NE(write.err.find("write E000300: BlockWrite failed with 2"), std::string::npos) << write.err;
    EXPECT_EQ(Memory(0x000300, 1), std::vector<std::uint8_t>{0xA3}) << "nothing may be written";
}

TEST_F(ZulhostOwnPanel, DemoNeedsConsentBeforeWritingToANamedPort) {
    Serve();
    ToolRun refused = Tool({"demo"});
    EXPECT_EQ(refused.status, 64);
    ToolRun run = Tool({"--json", "demo", "--allow-panel-writes"});
    ASSERT_TRUE(run.exited);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.Json()["failed"], 0);
}

} // namespace
