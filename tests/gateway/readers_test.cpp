// The readers on their own: the CSV of point lists as spreadsheets write it,
// and the merging of a point list into a poll cycle's block reads, with the
// driver's own CheckAddress behind the map.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>

#include "gateway/csv.h"
#include "gateway/mqtt_payload.h"
#include "gateway/panel_bits.h"
#include "gateway/point_store.h"
#include "gateway/point_list.h"
#include "gateway/point_map.h"
#include "gateway/request_plan.h"
#include "gateway/retained_scan.h"
#include "gateway/utf8.h"
#include "host/client/library_loader.h"
#include "host/client/slots.h"

namespace zulgate {
namespace {

// One character's time at this speed and format (8N1 unless given).
std::chrono::nanoseconds Line(int baud, int dataBits = 8, int parity = 0, int stop = 0) {
    zulclient::LineSettings line;
    line.baudRate = static_cast<std::uint16_t>(baud);
    line.dataBits = static_cast<std::uint16_t>(dataBits);
    line.parityCode = static_cast<std::uint16_t>(parity);
    line.stopBitsCode = static_cast<std::uint16_t>(stop);
    return zulclient::CharacterTime(line);
}

std::string Fields(const CsvRecord& r) {
    std::string s = std::to_string(r.line) + ":";
    for (const std::string& f : r.fields) s += "[" + f + "]";
    return s;
}

TEST(Csv, ReadsWhatSpreadsheetsWrite) {
    struct Case {
        const char* text;
        std::vector<std::string> records;
    } cases[] = {
        {"a,b\n1,2\n", {"1:[a][b]", "2:[1][2]"}},
        {"\xEF\xBB\xBF"
         "a,b\r\n 1 , 2 \r\n",
         {"1:[a][b]", "2:[1][2]"}},                                                    // BOM, CRLF, blanks
        {"a,b\n\"x, y\",\"say \"\"hi\"\"\"\n", {"1:[a][b]", "2:[x, y][say \"hi\"]"}},  // quotes
        {"a,b\n\"two\nlines\",2\n3,4", {"1:[a][b]", "2:[two\nlines][2]", "4:[3][4]"}}, // a break in quotes
        {"a;b\n1,5;2\n", {"1:[a][b]", "2:[1,5][2]"}},                                  // semicolons
        {"a,b,\n,,\n", {"1:[a][b][]", "2:[][][]"}},                                    // empty fields
    };
    for (const Case& c : cases) {
        CsvResult r = ReadCsv(c.text);
        EXPECT_EQ(r.errorLine, 0) << c.text << ": " << r.error;
        std::vector<std::string> got;
        for (const CsvRecord& record : r.records) got.push_back(Fields(record));
        EXPECT_EQ(got, c.records) << c.text;
    }
    EXPECT_EQ(ReadCsv("a\n\"open\n").errorLine, 2);
    EXPECT_EQ(ReadCsv("a\nx\"y\n").errorLine, 2);
    EXPECT_EQ(ReadCsv("a\n\"x\"y\n").errorLine, 2);
}

// RFC 3629's table of well-formed sequences, at its edges.
TEST(Utf8, TakesWellFormedSequencesOnly) {
    struct Case {
        const char* what;
        std::string text;
        std::optional<std::size_t> firstBad;
    } cases[] = {
        {"ASCII", "supply air", std::nullopt},
        {"two bytes",
         "Zuluft \xC2\xB0"
         "C",
         std::nullopt},
        {"three bytes", "\xE2\x82\xAC 5", std::nullopt},
        {"four bytes", "\xF0\x9F\x8C\xA1", std::nullopt},
        {"the last code point", "\xF4\x8F\xBF\xBF", std::nullopt},
        {"Windows-1252 degree",
         "Zuluft \xB0"
         "C",
         7},
        {"a lone continuation", "a\x80", 1},
        {"C0 and C1 are overlong", "\xC1\xBF", 0},
        {"overlong three", "\xE0\x9F\xBF", 0},
        {"overlong four", "\xF0\x8F\xBF\xBF", 0},
        {"a surrogate", "x\xED\xA0\x80", 1},
        {"above U+10FFFF", "\xF4\x90\x80\x80", 0},
        {"F5 and up", "\xF5\x80\x80\x80", 0},
        {"cut short", "ok\xE2\x82", 2},
        {"a continuation missing", "\xE2\x28\xA1", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(FirstNonUtf8(c.text), c.firstBad) << c.what;
    std::optional<NonUtf8> found = FindNonUtf8(
        "name\nok,\"Zuluft \xB0"
        "C\",x\n");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->line, 2);
    EXPECT_EQ(found->what, "byte 0xB0 after 'Zuluft '");
}

// The driver's CheckAddress, as zulgate calls it.
class Merging : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(library_.Load(ZULTRK_LIBRARY, false, &error)) << error;
    }
    static std::optional<zulclient::Point> Check(const std::string& text) {
        zulclient::DriverClient client(library_.Entry(), 1);
        return client.PointOf(text);
    }
    // "W000100*10 B0040027": points with counts; bits go in coil, the rest in
    // holding, on registers one after another.
    static PanelMap Map(const std::string& points) {
        std::istringstream in(points);
        std::string csv = "name,address,table,register,access,count\n", item;
        int reg[2] = {0, 0}, n = 0;
        while (in >> item) {
            std::string address = item.substr(0, item.find('*'));
            int count = item.find('*') == std::string::npos ? 1 : std::stoi(item.substr(item.find('*') + 1));
            bool bit = address.size() == 8;
            int perElement = !bit && std::string("LFD").find(address[0]) != std::string::npos ? 2 : 1;
            csv += "p" + std::to_string(++n) + "," + address + "," + (bit ? "coil," : "holding,") +
                   std::to_string(reg[bit]) + ",r," + std::to_string(count) + "\n";
            reg[bit] += count * perElement;
        }
        Diagnostics d;
        std::vector<PointRow> rows;
        PanelMap map;
        EXPECT_TRUE(ParsePointList(csv, "t.csv", rows, d) && BuildPanelMap(rows, "t.csv", Check, map, d)) << [&] {
            std::ostringstream o;
            for (const Diagnostic& x : d.All()) o << x.Text() << "\n";
            return o.str();
        }();
        return map;
    }
    static std::vector<std::string> Texts(const std::vector<BlockRead>& blocks) {
        std::vector<std::string> texts;
        for (const BlockRead& b : blocks) texts.push_back(b.Text());
        return texts;
    }
    // Every element of every point is read exactly once, from the slot of
    // its own address.
    static void ExpectEveryElementRead(const PanelMap& map, const std::vector<BlockRead>& blocks) {
        std::vector<int> reads(map.ValueCount(), 0);
        for (const BlockRead& b : blocks) {
            EXPECT_LE(b.ValueBytes(), 255) << b.Text();
            for (const ReadTarget& t : b.targets) {
                ++reads[t.value];
                for (const MappedPoint& p : map.Points()) {
                    if (t.value < p.firstValue || t.value >= p.firstValue + static_cast<std::size_t>(p.count)) continue;
                    int k = static_cast<int>(t.value - p.firstValue);
                    EXPECT_EQ(p.point.letter, b.letter);
                    EXPECT_EQ(p.ElementAddress(k), b.address + t.slot * zulclient::BytesPerElement(b.letter));
                    EXPECT_EQ(t.bit, p.point.HasBit() ? p.point.bitNumber : -1);
                }
            }
        }
        for (std::size_t v = 0; v < reads.size(); ++v) EXPECT_EQ(reads[v], 1) << "value " << v;
    }
    static zulclient::DriverLibrary library_;
};
zulclient::DriverLibrary Merging::library_;

TEST_F(Merging, GapRuleByLineSpeed) {
    // 19 bytes of a request's own frames and 2 ms of the host's turn.
    EXPECT_EQ(MaxGapBytes(Line(9600)), 20);
    EXPECT_EQ(MaxGapBytes(Line(19200)), 22);
    EXPECT_EQ(MaxGapBytes(Line(38400)), 26);
    EXPECT_EQ(MaxGapBytes(Line(1200, 7, 2, 2)), 19); // 7E2: eleven bits a character
    EXPECT_EQ(MaxGapBytes(Line(0)), 0);
}

TEST_F(Merging, PointListsIntoBlockReads) {
    struct Case {
        const char* what;
        const char* points;
        int baud;
        std::vector<std::string> blocks;
    } cases[] = {
        {"neighbours", "W000100*10 W000114*10", 9600, {"W000100 x20"}},
        {"a gap of 20 bytes is spanned", "W000100 W000116", 9600, {"W000100 x12"}},
        {"a gap of 22 is not", "W000100 W000118", 9600, {"W000100 x1", "W000118 x1"}},
        {"a faster line spans more", "W000100 W00011A", 38400, {"W000100 x14"}},
        {"at most 255 bytes", "W000100*200", 9600, {"W000100 x127", "W0001FE x73"}},
        {"three letters of 3 bytes", "D005000*86", 9600, {"D005000 x85", "D0050FF x1"}},
        {"bits of a byte read once", "B0040020 B0040021 B0040027 B004002", 9600, {"B004002 x1"}},
        {"bits of a word with the word", "W0001005 W000100 W000102", 9600, {"W000100 x2"}},
        {"letters apart",
         "B000100 E000100 M000100 T000100",
         9600,
         {"B000100 x1", "E000100 x1", "M000100 x1", "T000100 x1"}},
        {"off the grid", "W000100 W000101 W000103", 9600, {"W000100 x1", "W000101 x2"}},
        {"the same element twice", "L003000 L003000*2", 9600, {"L003000 x2"}},
        {"in address order", "W000300 W000100", 9600, {"W000100 x1", "W000300 x1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PanelMap map = Map(c.points);
        std::vector<BlockRead> blocks = PlanReads(map, MaxGapBytes(Line(c.baud)));
        EXPECT_EQ(Texts(blocks), c.blocks);
        ExpectEveryElementRead(map, blocks);
    }
}

TEST_F(Merging, FiveHundredPointsInAFewRequests) {
    // 500 points of four letters, each letter's addresses close together.
    std::string points;
    for (int i = 0; i < 200; ++i) points += zulclient::PointText({'W', 0x1000 + 2 * i, NoBit}) + " ";
    for (int i = 0; i < 150; ++i) points += zulclient::PointText({'B', 0x2000 + i, NoBit}) + " ";
    for (int i = 0; i < 100; ++i) points += zulclient::PointText({'B', 0x3000 + i / 8, i % 8}) + " ";
    for (int i = 0; i < 50; ++i) points += zulclient::PointText({'L', 0x4000 + 8 * i, NoBit}) + " ";
    PanelMap map = Map(points);
    ASSERT_EQ(map.Points().size(), 500u);
    std::vector<BlockRead> blocks = PlanReads(map, MaxGapBytes(Line(9600)));
    EXPECT_EQ(Texts(blocks), (std::vector<std::string>{"B002000 x150", "B003000 x13", "L004000 x63", "L004100 x35",
                                                       "W001000 x127", "W0010FE x73"}));
    EXPECT_LE(blocks.size(), 50u); // a tenth of a request per point
    ExpectEveryElementRead(map, blocks);
}

TEST_F(Merging, ARefusedBlockSplitsAtItsGaps) {
    PanelMap map = Map("W000100*2 W000110 W000112 B004002");
    std::vector<BlockRead> blocks = PlanReads(map, MaxGapBytes(Line(9600)));
    ASSERT_EQ(Texts(blocks), (std::vector<std::string>{"B004002 x1", "W000100 x10"}));
    std::vector<BlockRead> runs = SplitAtGaps(blocks[1]);
    EXPECT_EQ(Texts(runs), (std::vector<std::string>{"W000100 x2", "W000110 x2"}));
    runs.push_back(blocks[0]);
    ExpectEveryElementRead(map, runs);
}

// A set message's payload against its point: the value in engineering
// units back to the panel's raw number, a state's text, a bit's true/false.
TEST(MqttSet, TakesWhatFitsThePointAndNamesWhyNot) {
    auto point = [](char letter, int bit, bool writable = true) {
        MappedPoint p;
        p.name = "p";
        p.point.letter = letter;
        p.point.bitNumber = bit;
        p.writable = writable;
        return p;
    };
    auto scaled = [&](double scale, double offset, std::optional<double> min = {}, std::optional<double> max = {}) {
        MappedPoint p = point('W', NoBit);
        p.engineering.scale = scale;
        p.engineering.offset = offset;
        p.engineering.decimals = scale == std::floor(scale) ? 0 : 1; // as the point list would write them
        p.engineering.min = min;
        p.engineering.max = max;
        return p;
    };
    MappedPoint modes = point('B', NoBit);
    modes.engineering.states = {"Off", "Auto", "On"};
    struct Case {
        MappedPoint point;
        std::string_view payload;
        std::int64_t raw; // -1: refused
        const char* why;
    };
    using namespace std::string_view_literals;
    const Case cases[] = {
        {point('B', NoBit), "255", 255, ""},
        {point('B', NoBit), "256", -1, "256 is outside what the point holds (0 to 255)"},
        {point('E', NoBit), "16", -1, "(0 to 15)"},
        {point('W', NoBit), "-1", -1, "(0 to 65535)"},
        // Rounded to the nearest raw number, halves away from zero.
        {point('W', NoBit), "1.5", 2, ""},
        {point('W', NoBit), "2.4", 2, ""},
        {point('W', NoBit), "2.0", 2, ""},
        {point('W', NoBit), "true", -1, "true/false is for bits"},
        {point('W', NoBit), "\"7\"", -1, "not a JSON number"},
        {point('L', NoBit), "-2", 0xFFFFFFFE, ""},
        {point('L', NoBit), "2147483647", 0x7FFFFFFF, ""},
        {point('L', NoBit), "4294967295", -1, "(-2147483648 to 2147483647)"},
        {point('B', 7), "true", 1, ""},
        {point('W', 15), "0", 0, ""},
        {point('W', 15), "2", -1, "(0 to 1)"},
        {point('W', NoBit, false), "1", -1, "read-only"},
        // Scaled: raw = (value - offset) / scale.
        {scaled(0.1, 0), "21.5", 215, ""},
        {scaled(0.1, 0), "21.34", 213, ""},
        {scaled(0.1, 0), "21.35", 214, ""}, // a half, whatever binary makes of 213.5
        {scaled(0.1, 0), "-0.05", -1, "(0 to 6553.5)"},
        {scaled(0.1, -40), "20", 600, ""},
        {scaled(-1, 100), "40", 60, ""},
        {scaled(0.5, 0, 15, 30), "14.5", -1, "14.5 is below min 15"},
        {scaled(0.5, 0, 15, 30), "30.5", -1, "30.5 is above max 30"},
        {scaled(0.5, 0, 15, 30), "30", 60, ""},
        // States: the text, bare or as a JSON string, or the raw number.
        {modes, "Auto", 1, ""},
        {modes, " On\n", 2, ""},
        {modes, "\"Off\"", 0, ""},
        {modes, "1", 1, ""},
        {modes, "3", -1, "3 is no state's number (0 to 2)"},
        {modes, "Heat", -1, "not one of its states (Off, Auto, On) or a number"},
        {modes, "auto", -1, "not one of its states"},
        // One complete value, white space around it and nothing else.
        {point('W', NoBit), " 12\r\n", 12, ""},
        {point('W', NoBit), "33\0 9"sv, -1, "it holds a NUL byte"},
        {point('W', NoBit), "33\0"sv, -1, "it holds a NUL byte"},
        {modes, "On\0"sv, -1, "it holds a NUL byte"},
        {point('W', NoBit), "33 9", -1, "not a JSON number"},
        {point('W', NoBit), "33,", -1, "not a JSON number"},
        {point('W', NoBit), "", -1, "not a JSON number"},
        {point('W', NoBit), "1e400", -1, "not a JSON number"},
    };
    for (const Case& c : cases) {
        std::uint32_t raw = 0;
        std::string why;
        bool ok = ParseSet(c.point, c.payload, raw, why);
        EXPECT_EQ(ok, c.raw >= 0) << c.point.point.letter << " " << c.payload << ": " << why;
        if (ok) {
            EXPECT_EQ(raw, static_cast<std::uint32_t>(c.raw)) << c.payload;
        } else {
            EXPECT_NE(why.find(c.why), std::string::npos) << c.payload << ": " << why;
        }
    }
    SetTopic t;
    EXPECT_TRUE(ParseSetTopic("zt/s", "zt/s/ahu1/low nibble/set", t) && t.point == "low nibble" && t.element == 0);
    EXPECT_TRUE(ParseSetTopic("zt/s", "zt/s/ahu1/words/3/set", t) && t.element == 3);
    for (const char* refused : {"zt/s/ahu1/set", "zt/s/ahu1/w/0/set", "zt/s/ahu1/w/x/set", "zt/sx/a/w/set"})
        EXPECT_FALSE(ParseSetTopic("zt/s", refused, t)) << refused;
}

TEST(PointStore, ServesAsCurrentOnlyAGoodValueYoungerThanStale) {
    PointStore store({3}, {std::chrono::milliseconds(1000)});
    Clock::time_point now = Clock::now();
    store.Store(0, {{0, 11}, {1, 12}}, now - std::chrono::milliseconds(1500));
    store.Store(0, {{1, 13}}, now - std::chrono::milliseconds(500));
    store.MarkFailed(0, {1}, Quality::ReadFailed);
    store.Store(0, {{2, 14}}, now);
    std::vector<StoredValue> got;
    store.Read(0, {0, 1, 2}, got);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_FALSE(store.Current(0, got[0], now)) << "read 1.5 s ago, stale after 1 s";
    EXPECT_FALSE(store.Current(0, got[1], now)) << "its last read failed";
    EXPECT_TRUE(store.Current(0, got[2], now));
    EXPECT_EQ(got[2].raw, 14u);
    store.MarkAll(0, Quality::PanelAway);
    store.Read(0, {2}, got);
    EXPECT_FALSE(store.Current(0, got[0], now)) << "its panel is away";
}

// What a front end that passes changes on is woken for: a new number, a
// quality, a value current again; not the same number read again.
TEST(PointStore, RaisesItsNoticeForAChangeAndOnlyThen) {
    using std::chrono::milliseconds;
    PointStore store({2}, {milliseconds(1000)});
    ChangeNotice notice;
    store.Watch(notice);
    Clock::time_point t = Clock::now();
    struct Step {
        const char* what;
        std::function<void()> change;
        bool raised;
    } steps[] = {
        {"a first read",
         [&] {
             store.Store(0, {{0, 11}, {1, 12}}, t);
         },
         true},
        {"the same read again",
         [&] {
             store.Store(0, {{0, 11}, {1, 12}}, t + milliseconds(500));
         },
         false},
        {"a new number",
         [&] {
             store.Store(0, {{1, 13}}, t + milliseconds(600));
         },
         true},
        {"current again after growing old",
         [&] {
             store.Store(0, {{0, 11}}, t + milliseconds(1600));
         },
         true},
        {"a failed read", [&] { store.MarkFailed(0, {0}, Quality::ReadFailed); }, true},
        {"failed again", [&] { store.MarkFailed(0, {0}, Quality::ReadFailed); }, false},
        {"a write's bits",
         [&] {
             store.Revise(0, {{1, 14}});
         },
         true},
        {"the panel away", [&] { store.SetState(0, PanelState::Silent, "silent", t); }, true},
        {"and its values", [&] { store.MarkAll(0, Quality::PanelAway); }, true},
        {"a cycle's figures", [&] { store.SetCycle(0, CycleStats{}); }, false},
    };
    for (const Step& step : steps) {
        step.change();
        EXPECT_EQ(notice.Take(), step.raised) << step.what;
    }
    store.Unwatch(notice);
    store.Store(0, {{0, 99}}, t);
    EXPECT_FALSE(notice.Take()) << "no longer watched";
}

// Which retained topics the start-up scan may clear, and when it is over.
TEST(RetainedScan, ClearsOnlyThePointTopicsItNoLongerPublishes) {
    using std::chrono::milliseconds;
    const std::string point = R"({"value":1,"quality":"good","time":null})";
    struct Case {
        const char* topic;
        std::string payload;
        bool ours;
    } cases[] = {
        {"zt/s/ahu1/w", point, true},
        {"zt/s/ahu1/w/3", point, true},
        {"zt/s/ahu1/w/0", point, false},
        {"zt/s/ahu1/w/03", point, false},
        {"zt/s/ahu1/w/x", point, false},
        {"zt/s/ahu1/w/3/4", point, false},
        {"zt/s/ahu1/w/set", point, false},
        {"zt/s/ahu1", point, false},
        {"zt/s//w", point, false},
        {"zt/sx/ahu1/w", point, false},
        {"zt/s/status", "online", false},
        {"zt/s/ahu1/w", "hello", false},
        {"zt/s/ahu1/w", R"({"value":1})", false},
    };
    OwnTopics own("zt/s");
    EXPECT_EQ(own.Filters(), std::vector<std::string>{"zt/s/#"});
    for (const Case& c : cases) EXPECT_EQ(own.Ours(c.topic, c.payload), c.ours) << c.topic << " " << c.payload;

    RetainedScan scan(own, {"zt/s/status", "zt/s/ahu1/w"});
    Clock::time_point t = Clock::now();
    EXPECT_TRUE(scan.Due());
    scan.Subscribed(t);
    EXPECT_FALSE(scan.Over(t + milliseconds(5000))) << "quiet, but not acknowledged yet";
    scan.Acknowledged(t + milliseconds(100));
    scan.Retained("zt/s/ahu1/w", point, t + milliseconds(200));
    scan.Retained("zt/s/ahu1/old", point, t + milliseconds(300));
    scan.Retained("zt/s/ahu1/note", "hello", t + milliseconds(400));
    EXPECT_FALSE(scan.Over(t + milliseconds(1300)));
    EXPECT_TRUE(scan.Over(t + milliseconds(1400))) << "a second without a retained message";
    EXPECT_EQ(scan.Finish(t + milliseconds(1400)), std::vector<std::string>{"zt/s/ahu1/old"});
    EXPECT_FALSE(scan.RanOutOfTime());
    EXPECT_TRUE(scan.Finished());

    RetainedScan unanswered(own, {});
    unanswered.Subscribed(t);
    EXPECT_TRUE(unanswered.Over(t + RetainedScan::MostTime));
    unanswered.Finish(t + RetainedScan::MostTime);
    EXPECT_TRUE(unanswered.RanOutOfTime());
    RetainedScan cut(own, {});
    cut.Subscribed(t);
    cut.Interrupted();
    EXPECT_TRUE(cut.Due()) << "a lost connection starts it again";
}

TEST(PanelBits, AWriteIsCarriedIntoThePointsOnItsBytes) {
    struct Case {
        const char* what;
        char letter; // written
        std::int32_t address;
        int bit;
        std::uint32_t value;
        char other; // a point on the same bytes
        std::int32_t otherAddress;
        int otherBit;
        std::uint32_t before;
        std::optional<std::uint32_t> after;
    } cases[] = {
        {"a nibble into its byte", 'E', 0x10, -1, 0x7, 'B', 0x10, -1, 0x3C, 0x37},
        {"the other nibble stays", 'E', 0x10, -1, 0x7, 'M', 0x10, -1, 0x3, 0x3},
        {"a byte into its nibbles", 'B', 0x10, -1, 0xA5, 'M', 0x10, -1, 0x3, 0xA},
        {"a bit into its byte", 'B', 0x10, 7, 1, 'B', 0x10, -1, 0x25, 0xA5},
        {"a byte into its bits", 'B', 0x10, -1, 0x25, 'B', 0x10, 7, 1, 0},
        {"bit 15 into its word", 'W', 0x10, 15, 1, 'W', 0x10, -1, 0x0001, 0x8001},
        {"a word into the byte of its high half", 'W', 0x10, -1, 0xBEEF, 'B', 0x11, -1, 0, 0xBE},
        {"a byte into the long around it", 'B', 0x12, -1, 0xAD, 'L', 0x10, -1, 0x11223344, 0x11AD3344},
        {"a word into an odd word half over it", 'W', 0x10, -1, 0xBEEF, 'W', 0x11, -1, 0x1234, 0x12BE},
        {"a long into F: read again", 'L', 0x10, -1, 1, 'F', 0x10, -1, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        PanelChanges changes;
        AddWrite(c.letter, c.address, c.bit, c.value, changes);
        EXPECT_TRUE(Touches(c.other, c.otherAddress, changes)) << c.what;
        EXPECT_EQ(AfterChanges(c.other, c.otherAddress, c.otherBit, c.before, changes), c.after) << c.what;
    }
    PanelChanges word;
    AddWrite('W', 0x10, -1, 1, word);
    EXPECT_FALSE(Touches('B', 0x12, word));
    EXPECT_FALSE(Touches('L', 0x0C, word));
    EXPECT_TRUE(Touches('L', 0x0D, word));
}

} // namespace
} // namespace zulgate
