// The Wireshark dissector in real tshark, on captures of the simulator made
// as zulsim --pcap makes them: every field asserted from `tshark -T fields`.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "sim/panel_sim.h"
#include "tests/trace/cut_off_cases.h"
#include "tests/sim/raw_client.h"

namespace {

using simtest::Bytes;
using simtest::H;

// One row per record: the fields asked for, in order.
using Rows = std::vector<std::vector<std::string>>;

Rows Tshark(const std::string& capture, const std::vector<std::string>& fields) {
    std::string command = "tshark -2 -n -X lua_script:" ZULTRK_DISSECTOR " -r " + capture +
                          " -T fields -E separator=/t -E occurrence=a -E aggregator=,";
    for (const std::string& f : fields) command += " -e " + f;
    command += " 2>/dev/null";
    Rows rows;
    std::FILE* out = popen(command.c_str(), "r");
    if (!out) return rows;
    char line[4096];
    while (std::fgets(line, sizeof line, out)) {
        std::string text = line;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        std::vector<std::string> row;
        std::stringstream in(text);
        for (std::string cell; std::getline(in, cell, '\t');) row.push_back(cell);
        row.resize(fields.size());
        rows.push_back(row);
    }
    pclose(out);
    return rows;
}

// A session with the simulator, the line captured: the handshake, a read of
// two words at 01A2F3 and a write there.
std::string Capture(const std::function<void(zulsim::Options&)>& mode) {
    char path[] = "/tmp/zuldissect.XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    zultrace::PcapWriter pcap;
    std::string error;
    EXPECT_TRUE(pcap.Open(path, &error)) << error;
    zulsim::Options o;
    o.enqIdleMs = 40;
    o.enqRepeatMs = 1000;
    o.lineTap = [&pcap](zultrace::Direction d, const std::uint8_t* b, std::size_t n) { pcap.Record(d, b, n); };
    mode(o);
    {
        zulsim::PanelSim sim(o);
        sim.SetBytes(0x01A2F3, {0x34, 0x12, 0x78, 0x56});
        EXPECT_TRUE(sim.Start(&error)) << error;
        simtest::RawClient client(sim.DevicePath());
        std::this_thread::sleep_for(std::chrono::milliseconds(80)); // one announcement
        for (const char* request : {"10 02 31 10 03 B4 BD", "10 02 F0 10 03 F2 ED", "10 02 50 01 A2 F3 04 10 03 55 90",
                                    "10 02 60 01 A2 F3 02 AA BB 10 03 0C 53"}) {
            client.Exchange(H(request), 200, 80);
            client.Send({0x06});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sim.Stop();
    }
    pcap.Close();
    return path;
}

// One field over the whole capture, item by item ('|' between them; a
// record that holds several items gives them all).
std::string Column(const Rows& rows, std::size_t field) {
    std::string all;
    for (const auto& r : rows) {
        if (!r[field].empty()) all += (all.empty() ? "" : "|") + r[field];
    }
    return all;
}
std::string Items(const Rows& rows, std::size_t field) {
    std::string all = Column(rows, field);
    for (char& c : all) c = c == ',' ? '|' : c;
    return all;
}

const std::vector<std::string> Fields = {
    "frame.number",      "zultrk.type",        "zultrk.address",          "zultrk.count",
    "zultrk.value",      "zultrk.crc.status",  "zultrk.status",           "_ws.expert",
    "zultrk.request_in", "zultrk.response_in", "zultrk.version_accepted", "zultrk.begun_in",
    "_ws.col.Info"};
enum { Number, Type, Address, Count, Value, Crc, Status, Expert, RequestIn, ResponseIn, Accepted, BegunIn, Info };

TEST(Dissector, NamesACleanSessionAndLinksRepliesWithoutWarnings) {
    ASSERT_EQ(system("command -v tshark >/dev/null"), 0) << "tshark is missing (bash scripts/setup.sh installs it)";
    std::string capture = Capture([](zulsim::Options&) {});
    Rows rows = Tshark(capture, Fields);
    unlink(capture.c_str());
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(Items(rows, Type),
              "enq|wake|ack|ack|version_request|version_id|ack|read_request|read_reply|ack|write_request|status|ack");
    EXPECT_EQ(Column(rows, Address), "0x01a2f3|0x01a2f3");
    EXPECT_EQ(Column(rows, Count), "4|2");
    EXPECT_EQ(Column(rows, Value), "4660,22136");
    EXPECT_EQ(Items(rows, Crc), "good|good|good|good|good|good|good");
    EXPECT_EQ(Column(rows, Status), "0");
    EXPECT_EQ(Column(rows, Accepted), "1");
    EXPECT_EQ(Column(rows, Expert), "") << "a clean capture raises no expert warning";
    // Each reply points at its request and each request at its reply.
    std::map<std::string, std::string> requestOf, responseOf;
    for (const auto& r : rows) {
        if (!r[RequestIn].empty()) requestOf[r[Number]] = r[RequestIn];
        if (!r[ResponseIn].empty()) responseOf[r[Number]] = r[ResponseIn];
    }
    EXPECT_EQ(requestOf.size(), 4u);
    for (const auto& [reply, request] : requestOf) EXPECT_EQ(responseOf[request], reply);
}

TEST(Dissector, FaultModes) {
    ASSERT_EQ(system("command -v tshark >/dev/null"), 0) << "tshark is missing (bash scripts/setup.sh installs it)";
    struct Case {
        const char* name;
        std::function<void(zulsim::Options&)> mode;
        std::size_t field;
        const char* expected;
        bool warned;
    };
    const Case cases[] = {
        {"damaged CRC", [](zulsim::Options& o) { o.damageCrc = true; }, Crc, "good|good|bad|good|bad|good|bad", true},
        {"NAK", [](zulsim::Options& o) { o.nakAll = true; }, Type,
         "enq|wake|nak|ack|version_request|nak|ack|read_request|nak|ack|write_request|nak|ack", true},
        {"status 5", [](zulsim::Options& o) { o.statusReply = 5; }, Status, "5|5|5", true},
        {"split reply", [](zulsim::Options& o) { o.splitGapMs = 30; }, Value, "4660,22136", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string capture = Capture(c.mode);
        Rows rows = Tshark(capture, Fields);
        unlink(capture.c_str());
        EXPECT_EQ(c.field == Value ? Column(rows, c.field) : Items(rows, c.field), c.expected);
        EXPECT_EQ(!Column(rows, Expert).empty(), c.warned) << Column(rows, Expert);
        EXPECT_EQ(Column(rows, Info).find("] ["), std::string::npos) << "each verdict once: " << Column(rows, Info);
        if (std::string(c.name) == "split reply") {
            EXPECT_NE(Column(rows, BegunIn), "") << "a frame from two records names where it began";
        }
    }
}

TEST(Dissector, ACutOffFrameEndsWhereTheLineSaysItEnds) {
    ASSERT_EQ(system("command -v tshark >/dev/null"), 0) << "tshark is missing (bash scripts/setup.sh installs it)";
    for (const cutoff::Case& c : cutoff::Cases()) {
        SCOPED_TRACE(c.name);
        char path[] = "/tmp/zulcutoff.XXXXXX";
        close(mkstemp(path));
        zultrace::PcapWriter pcap;
        std::string error;
        ASSERT_TRUE(pcap.Open(path, &error)) << error;
        for (const zultrace::Chunk& chunk : cutoff::Chunks(c)) {
            pcap.Record(chunk.direction, chunk.bytes.data(), chunk.bytes.size(), chunk.time);
        }
        pcap.Close();
        Rows rows = Tshark(path, {"zultrk.type"});
        unlink(path);
        EXPECT_EQ(Items(rows, 0), c.types);
    }
}

} // namespace
