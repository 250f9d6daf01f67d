// zulgate's status server, run as a program against simulated panels: the
// page in a real headless browser (Debian's chromium), /metrics through
// Debian's Prometheus parser (python3-prometheus-client), /health and
// /api/state with curl.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/gateway/gateway_fixture.h"

namespace {

using namespace gwtest;

const char* Points =
    "name,address,table,register,access,count\n"
    "supply,B004002,holding,0,rw,\n"
    "long,L003000,holding,1,rw,\n"
    "float,F003004,input,0,r,\n"
    "date,D005000,input,2,r,\n"
    "bit 7,B0040027,coil,0,rw,\n";
const char* OneWord = "name,address,table,register,access\nw,W000100,holding,0,rw\n";

// Families by "name{label=value,...}" (labels sorted), as the parser read them.
const char* ParseMetrics = R"(
import json, sys
from prometheus_client.parser import text_string_to_metric_families
out = {}
for family in text_string_to_metric_families(sys.stdin.read()):
    for s in family.samples:
        out[s.name + "{" + ",".join(k + "=" + v for k, v in sorted(s.labels.items())) + "}"] = s.value
print(json.dumps(out))
)";

class Status : public Gateway {
protected:
    bool StartWithHttp(const std::string& panels, const std::vector<std::string>& started) {
        http_ = FreePort();
        return Start(panels, {{"points.csv", Points}, {"w.csv", OneWord}}, started,
                     "[http]\nlisten = \"127.0.0.1:" + std::to_string(http_) + "\"\n");
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(http_) + path; }

    // curl: the status code and the body.
    std::pair<int, std::string> Get(const std::string& path) {
        Ran ran = RunProgram({"/usr/bin/curl", "-s", "-w", "\n%{http_code}", Url(path)}, folder_, seconds(10));
        std::size_t cut = ran.out.rfind('\n');
        if (ran.status != 0 || cut == std::string::npos) return {0, ran.err};
        return {std::atoi(ran.out.c_str() + cut + 1), ran.out.substr(0, cut)};
    }
    json State() {
        auto [code, body] = Get("/api/state");
        EXPECT_EQ(code, 200) << body;
        return code == 200 ? json::parse(body) : json();
    }
    // /api/state until `done` holds of it.
    bool StateUntil(const std::function<bool(const json&)>& done, seconds wait = seconds(10)) {
        auto until = Clock::now() + wait;
        json last;
        while (Clock::now() < until) {
            last = State();
            if (!last.is_null() && done(last)) return true;
            std::this_thread::sleep_for(milliseconds(100));
        }
        ADD_FAILURE() << "/api/state: " << last.dump(1) << "\n" << Log();
        return false;
    }
    json Metrics() {
        auto [code, body] = Get("/metrics");
        EXPECT_EQ(code, 200);
        WriteFile(folder_ + "/metrics.txt", body);
        Ran ran = RunProgram({"/usr/bin/python3", "-c", ParseMetrics}, folder_, seconds(20), folder_ + "/metrics.txt");
        EXPECT_EQ(ran.status, 0) << ran.err;
        return ran.status == 0 ? json::parse(ran.out) : json::object();
    }
    // Chromium, headless, as root in a container needs it, with `what` to do.
    std::vector<std::string> Chromium(const std::vector<std::string>& what) {
        std::vector<std::string> args{"/usr/bin/chromium",
                                      "--headless",
                                      "--no-sandbox",
                                      "--disable-gpu",
                                      "--disable-quic",
                                      "--no-first-run",
                                      "--disable-background-networking",
                                      "--disable-component-update",
                                      "--disable-sync",
                                      "--user-data-dir=" + folder_ + "/chromium"};
        args.insert(args.end(), what.begin(), what.end());
        return args;
    }
    std::string Dom() {
        Ran ran = RunProgram(Chromium({"--dump-dom", "--virtual-time-budget=3000", Url("/")}), folder_, seconds(60));
        EXPECT_EQ(ran.status, 0) << ran.err;
        return ran.out;
    }
    static json Point(const json& state, const std::string& panel, const std::string& point) {
        for (const json& p : state["panels"]) {
            if (p["name"] != panel) continue;
            for (const json& q : p["points"]) {
                if (q["name"] == point) return q;
            }
        }
        return json();
    }
    // The element's text in the dump, for the point's row.
    static std::string Cell(const std::string& dom, const std::string& point, const std::string& cls) {
        std::size_t row = dom.find("data-point=\"" + point + "\"");
        if (row == std::string::npos) return "(no row)";
        std::size_t cell = dom.find("<td class=\"" + cls, row);
        std::size_t start = dom.find('>', cell) + 1;
        return dom.substr(start, dom.find('<', start) - start);
    }
    static std::string RowClass(const std::string& dom, const std::string& point) {
        std::size_t row = dom.find("data-point=\"" + point + "\"");
        std::size_t tr = dom.rfind("<tr class=\"", row);
        if (row == std::string::npos || tr == std::string::npos) return "(no row)";
        std::size_t start = tr + 11;
        return dom.substr(start, dom.find('"', start) - start);
    }

    int http_ = 0;
};

void Memory(zulsim::PanelSim& panel) {
    panel.SetBytes(0x004002, {0xA5});
    panel.SetBytes(0x003000, {0xFE, 0xFF, 0xFF, 0xFF, 0x39, 0x30}); // L -2, then F's whole number 12345
    panel.SetBytes(0x005000, {0x40, 0x1F});                         // day 8000: 1998-11-26
}

// What a person reads: the page in a browser, its values as the panel
// holds them, following a change without a reload, a silent panel marked.
TEST_F(Status, ThePageShowsThePointsFollowsTheirChangesAndMarksASilentPanel) {
    zulsim::PanelSim& panel = Sim("COM5");
    Memory(panel);
    zulsim::Options silent;
    silent.silent = true;
    Sim("COM6", silent);
    ASSERT_TRUE(StartWithHttp(Panel("ahu1", "COM5", 1, "points.csv") +
                                  Panel("mute", "COM6", 2, "w.csv", "response_timeout_ms = 10"),
                              {"ahu1"}))
        << Log();
    ASSERT_TRUE(StateUntil([](const json& s) { return Point(s, "ahu1", "long")["value"] == -2; }));

    // The values decoded, as the page shows them.
    json state = State();
    EXPECT_EQ(Point(state, "ahu1", "supply")["value"], 165);
    EXPECT_EQ(Point(state, "ahu1", "float")["value"], 12345.0);
    EXPECT_EQ(Point(state, "ahu1", "date")["value"], 912038400);
    EXPECT_EQ(Point(state, "ahu1", "bit 7")["value"], 1);
    EXPECT_EQ(Point(state, "ahu1", "supply")["current"], true);
    EXPECT_EQ(Point(state, "mute", "w")["value"], nullptr);
    EXPECT_EQ(Point(state, "mute", "w")["current"], false);

    auto [code, body] = Get("/health");
    EXPECT_EQ(code, 503) << body;
    json health = json::parse(body);
    EXPECT_EQ(health["panels"][0]["ok"], true) << body;
    EXPECT_EQ(health["panels"][1]["ok"], false) << body;
    EXPECT_NE(health["panels"][1]["reason"].get<std::string>().find("never read"), std::string::npos) << body;

    std::string dom = Dom();
    EXPECT_EQ(Cell(dom, "supply", "value"), "165");
    EXPECT_EQ(Cell(dom, "long", "value"), "-2");
    EXPECT_EQ(Cell(dom, "float", "value"), "12345");
    EXPECT_EQ(Cell(dom, "date", "value"), "912038400 (1998-11-26 00:00:00 UTC)");
    EXPECT_EQ(Cell(dom, "supply", "mark"), "ok");
    EXPECT_EQ(RowClass(dom, "supply"), "point ok");
    // The silent panel: its section and its point marked, in words too.
    EXPECT_NE(dom.find("class=\"panel stale\" data-panel=\"mute\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("class=\"badge health stale\">stale<"), std::string::npos) << dom;
    EXPECT_EQ(RowClass(dom, "w"), "point never-read");
    // The page asked more than once in its three seconds: it polls.
    std::size_t at = dom.find("data-updates=\"");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GE(std::atoi(dom.c_str() + at + 14), 2) << dom.substr(at, 20);

    panel.SetBytes(0x004002, {0x3C});
    ASSERT_TRUE(StateUntil([](const json& s) { return Point(s, "ahu1", "supply")["value"] == 60; }));
    EXPECT_EQ(Cell(Dom(), "supply", "value"), "60");
}

// Engineering values on the page and in /api/state: the value in its
// units beside the panel's raw number, and a state by its text.
TEST_F(Status, ThePageShowsEngineeringValuesWithTheirUnitsAndStatesByName) {
    zulsim::PanelSim& panel = Sim("COM5");
    panel.SetBytes(0x000100, {0xD7, 0x00, 0x64, 0x02}); // 215, 612
    panel.SetBytes(0x004002, {0x02});
    http_ = FreePort();
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "e.csv"),
                      {{"e.csv",
                        "name,address,table,register,access,scale,offset,units,states\n"
                        "supply air,W000100,input,0,r,0.1,,degrees-celsius,\n"
                        "outdoor,W000102,input,1,r,0.1,-40,degrees-fahrenheit,\n"
                        "mode,B004002,holding,0,rw,,,,Off|Auto|On\n"}},
                      {"ahu1"}, "[http]\nlisten = \"127.0.0.1:" + std::to_string(http_) + "\"\n"))
        << Log();
    ASSERT_TRUE(StateUntil([](const json& s) { return Point(s, "ahu1", "mode")["value"] == "On"; }));
    json state = State();
    json supply = Point(state, "ahu1", "supply air");
    EXPECT_EQ(supply["value"], 21.5);
    EXPECT_EQ(supply["raw"], 215);
    EXPECT_EQ(supply["unit"], "°C");
    EXPECT_EQ(supply["kind"], "number");
    EXPECT_EQ(Point(state, "ahu1", "outdoor")["value"], 21.2);
    EXPECT_EQ(Point(state, "ahu1", "mode")["raw"], 2);
    EXPECT_EQ(Point(state, "ahu1", "mode")["kind"], "state");
    std::string dom = Dom();
    EXPECT_EQ(Cell(dom, "supply air", "value"), "21.5&nbsp;°C");
    EXPECT_EQ(Cell(dom, "outdoor", "value"), "21.2&nbsp;°F");
    EXPECT_EQ(Cell(dom, "mode", "value"), "On");
}

// What monitoring reads: counters that move, and /health following a panel
// that falls silent; and a taken address stops the start.
TEST_F(Status, MetricsCountTheRequestsAndHealthFollowsThePanel) {
    zulsim::PanelSim& panel = Sim("COM5");
    Memory(panel);
    ASSERT_TRUE(StartWithHttp(Panel("ahu1", "COM5", 1, "points.csv"), {"ahu1"})) << Log();
    ASSERT_TRUE(StateUntil([](const json& s) { return s["panels"][0]["cycles"].get<int>() >= 1; }));
    EXPECT_EQ(Get("/health").first, 200);

    const std::string reads = "zulgate_driver_requests_total{kind=read,panel=ahu1,result=ok}";
    const std::string cycles = "zulgate_poll_cycle_duration_seconds_count{panel=ahu1}";
    const std::string modbus = "zulgate_modbus_requests_total{}";
    json before = Metrics();
    ASSERT_TRUE(before.contains(reads)) << before.dump(1);
    EXPECT_GE(before[reads].get<double>(), 1);
    EXPECT_EQ(before["zulgate_driver_requests_total{kind=coldstart,panel=ahu1,result=ok}"], 1.0);
    EXPECT_EQ(before["zulgate_mqtt_connected{}"], 0.0);
    EXPECT_EQ(before["zulgate_points_stale{panel=ahu1}"], 0.0);
    EXPECT_EQ(Ask(R("read_holding", 0)), Values({0xA5}));
    // Until the polls since have been counted (and the read answered).
    json after;
    for (auto until = Clock::now() + seconds(10); Clock::now() < until;
         std::this_thread::sleep_for(milliseconds(100))) {
        after = Metrics();
        if (after[reads].get<double>() > before[reads].get<double>() &&
            after[cycles].get<double>() > before[cycles].get<double>() &&
            after[modbus].get<double>() > before[modbus].get<double>())
            break;
    }
    EXPECT_GT(after[reads].get<double>(), before[reads].get<double>());
    EXPECT_GT(after[cycles].get<double>(), before[cycles].get<double>());
    EXPECT_GT(after["zulgate_driver_request_duration_seconds_count{kind=read,panel=ahu1}"].get<double>(), 0);
    EXPECT_EQ(after[modbus].get<double>(), before[modbus].get<double>() + 1);

    // The first read that fails makes it 503 already (its values are not
    // current); the probe after it finds the panel silent.
    panel.SetSilent(true);
    auto until = Clock::now() + seconds(10);
    std::pair<int, std::string> health;
    auto silent = [&health] { return health.first == 503 && health.second.find("silent") != std::string::npos; };
    while (Clock::now() < until && (health = Get("/health"), !silent())) std::this_thread::sleep_for(milliseconds(100));
    ASSERT_EQ(health.first, 503) << health.second << Log();
    EXPECT_NE(json::parse(health.second)["panels"][0]["reason"].get<std::string>().find("silent"), std::string::npos)
        << health.second;
    json silentMetrics = Metrics();
    EXPECT_GT(silentMetrics["zulgate_driver_requests_total{kind=read,panel=ahu1,result=no_answer}"].get<double>(), 0);
    EXPECT_EQ(silentMetrics["zulgate_points_stale{panel=ahu1}"], 5.0);

    // Another gateway on the same status address does not start.
    WriteFile(folder_ + "/other.toml", "[modbus]\nlisten = \"127.0.0.1:" + std::to_string(FreePort()) +
                                           "\"\n[http]\nlisten = \"127.0.0.1:" + std::to_string(http_) + "\"\n" +
                                           Panel("ahu1", "COM5", 1, "points.csv"));
    Ran other = RunProgram({ZULGATE_PROGRAM, "--config", folder_ + "/other.toml", "--lib", ZULTRK_LIBRARY}, folder_,
                           seconds(20));
    EXPECT_NE(other.status, 0);
    EXPECT_NE(other.err.find("cannot listen on 127.0.0.1:" + std::to_string(http_)), std::string::npos) << other.err;
}

// A poll cycle longer than stale_ms (127 W at 1200 baud: 2.3 s on the line,
// stale after 1 s): the values go stale between two reads, and /health says
// so (503, with the reason); in /api/state a value is "good" exactly when
// it is current. The start warns of it. A name in UTF-8 is served as it is.
TEST_F(Status, HealthAndQualityTellTheTruthWhenACycleOutlastsStaleMs) {
    zulsim::Options slow;
    slow.baud = 1200;
    Sim("COM5", slow);
    const std::string name = "Zuluft \u00B0C \u2744";
    http_ = FreePort();
    ASSERT_TRUE(Start(Panel("ahu1", "COM5", 1, "p.csv", "baud = 1200\nstale_ms = 1000"),
                      {{"p.csv", "name,address,table,register,access,count\n" + name + ",W000100,holding,0,r,127\n"}},
                      {"ahu1"}, "[http]\nlisten = \"127.0.0.1:" + std::to_string(http_) + "\"\n"))
        << Log();
    EXPECT_NE(Log().find("warning: gateway: " + folder_ +
                         "/gw.toml:6: panel ahu1: a poll cycle of its 127 values "
                         "takes at least 2.3 s on the line at 1200 baud, longer than stale_ms (1000)"),
              std::string::npos)
        << Log();

    auto until = Clock::now() + seconds(20);
    std::pair<int, std::string> health;
    bool sawCurrent = false, sawStale = false;
    int samples = 0;
    while (Clock::now() < until && !(sawCurrent && sawStale && samples >= 20)) {
        json state = State();
        ASSERT_FALSE(state.is_null());
        json point = Point(state, "ahu1", name);
        ASSERT_FALSE(point.is_null()) << state.dump(1);
        bool current = point["current"].get<bool>();
        EXPECT_EQ(point["quality"] == "good", current) << point.dump();
        EXPECT_EQ(state["panels"][0]["fresh"].get<bool>(), current) << state["panels"][0]["reason"];
        if (point["age_s"].is_number() && !current) {
            sawStale = true;
            EXPECT_EQ(point["quality"], "older than stale_ms") << point.dump();
        }
        sawCurrent = sawCurrent || current;
        ++samples;
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_TRUE(sawCurrent && sawStale) << samples << " samples";
    // /health: 503 while they are stale, with the count and the reason.
    until = Clock::now() + seconds(10);
    while (Clock::now() < until && (health = Get("/health")).first != 503)
        std::this_thread::sleep_for(milliseconds(50));
    ASSERT_EQ(health.first, 503) << health.second;
    EXPECT_NE(health.second.find("127 of 127 values not current: 127 older than stale_ms (1000 ms)"), std::string::npos)
        << health.second;
}

// Not a test: the screenshot in the guide (scripts/status-screenshot.sh).
TEST_F(Status, Screenshot) {
    const char* out = std::getenv("ZUL_STATUS_SCREENSHOT");
    if (out == nullptr) GTEST_SKIP() << "ZUL_STATUS_SCREENSHOT names the PNG to write";
    zulsim::PanelSim& panel = Sim("COM5");
    Memory(panel);
    Sim("COM6");
    zulsim::Options silent;
    silent.silent = true;
    Sim("COM7", silent);
    // The silent one second, so that the picture shows how it is marked.
    ASSERT_TRUE(StartWithHttp(Panel("ahu1", "COM5", 1, "points.csv") +
                                  Panel("chiller", "COM7", 3, "w.csv", "response_timeout_ms = 10") +
                                  Panel("boiler", "COM6", 2, "w.csv"),
                              {"ahu1", "boiler"}))
        << Log();
    ASSERT_TRUE(StateUntil([](const json& s) { return s["panels"][2]["cycles"].get<int>() >= 2; }));
    Ran ran = RunProgram(Chromium({"--screenshot=" + std::string(out), "--window-size=1000,700", "--hide-scrollbars",
                                   "--virtual-time-budget=2000", Url("/")}),
                         folder_, seconds(60));
    EXPECT_EQ(ran.status, 0) << ran.err;
}

} // namespace
