// The status server's documents (/api/state and /health) over whatever the
// gateway may hold: panel and point names of any bytes (the readers refuse
// text that is not UTF-8, but the writer must not rely on it), any state
// and detail, any raw value of any letter, any quality and age. Their text
// must always be JSON that parses back, UTF-8 throughout; a value's quality
// is "good" exactly when it is current, a panel is fresh exactly when it is
// up and all its values are current, and /health is ok exactly when every
// panel is fresh.
#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/input_reader.h"
#include "gateway/checked_config.h"
#include "gateway/metrics.h"
#include "gateway/point_store.h"
#include "gateway/status_json.h"
#include "gateway/utf8.h"

using namespace zulgate;
using nlohmann::json;

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}
void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

constexpr char Letters[] = "BEMTWLFD";

// A panel's points, each with an address of the fuzzer's choosing that the
// stand-in for CheckAddress gives back as it is.
bool MakePanel(fuzz::InputReader& in, int index, CheckedConfig& checked) {
    PanelConfig panel;
    panel.name = in.ConsumeRandomLengthString(40);
    panel.port = in.ConsumeRandomLengthString(16);
    panel.unit = index + 1;
    panel.stale = std::chrono::milliseconds(in.ConsumeIntegralInRange<int>(100, 20000));
    std::vector<zulclient::Point> points;
    std::vector<PointRow> rows;
    int registers[TableCount] = {};
    const int count = in.ConsumeIntegralInRange<int>(1, 6);
    for (int k = 0; k < count; ++k) {
        zulclient::Point p;
        p.letter = Letters[in.ConsumeIntegralInRange<int>(0, 7)];
        p.address = in.ConsumeIntegralInRange<std::int32_t>(0, 0xFFF000);
        bool bit = (p.letter == 'B' || p.letter == 'T' || p.letter == 'W') && in.ConsumeBool();
        if (bit) p.bitNumber = in.ConsumeIntegralInRange<int>(0, p.letter == 'B' ? 7 : 15);
        PointRow row;
        row.line = k + 2;
        row.name = in.ConsumeRandomLengthString(40);
        row.address = std::to_string(k);
        row.table = bit ? Table::Coil : Table::Holding;
        row.count = in.ConsumeIntegralInRange<int>(1, 3);
        int size = bit ? 1 : (p.letter == 'L' || p.letter == 'F' || p.letter == 'D') ? 2 : 1;
        row.firstRegister = registers[static_cast<int>(row.table)];
        registers[static_cast<int>(row.table)] += size * row.count;
        points.push_back(p);
        rows.push_back(row);
    }
    PanelMap map;
    Diagnostics d;
    AddressChecker check = [&points](const std::string& text) -> std::optional<zulclient::Point> {
        return points[static_cast<std::size_t>(std::stoi(text))];
    };
    if (!BuildPanelMap(rows, "f.csv", check, map, d)) return false; // names twice, and the like
    checked.config.panels.push_back(panel);
    checked.maps.push_back(std::move(map));
    checked.lines.emplace_back();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader in(data, size);
    CheckedConfig checked;
    const int panels = in.ConsumeIntegralInRange<int>(1, 3);
    for (int i = 0; i < panels; ++i) {
        if (!MakePanel(in, i, checked)) return 0;
    }
    std::vector<std::size_t> counts;
    std::vector<Clock::duration> stale;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < checked.maps.size(); ++i) {
        counts.push_back(checked.maps[i].ValueCount());
        stale.push_back(checked.config.panels[i].stale);
        names.push_back(checked.config.panels[i].name);
    }
    PointStore store(counts, stale);
    Metrics metrics(names);
    const Clock::time_point now = Clock::now() + std::chrono::hours(1);
    for (std::size_t i = 0; i < counts.size(); ++i) {
        auto state = static_cast<PanelState>(in.ConsumeIntegralInRange<int>(0, 4));
        std::string detail = in.ConsumeRandomLengthString(60);
        auto since = std::chrono::milliseconds(in.Byte() * 100);
        store.SetState(i, state, detail, now - since);
        for (std::size_t v = 0; v < counts[i]; ++v) {
            int kind = in.ConsumeIntegralInRange<int>(0, 4); // never read, or read and then what became of it
            std::uint32_t raw = in.ConsumeIntegral<std::uint32_t>();
            auto age = std::chrono::milliseconds(in.ConsumeIntegralInRange<int>(0, 30000));
            if (kind == 0) continue;
            store.Store(i, {{v, raw}}, now - age);
            if (kind > 1) store.MarkFailed(i, {v}, static_cast<Quality>(kind));
        }
        int requests = in.ConsumeIntegralInRange<int>(0, 3);
        for (int r = 0; r < requests; ++r) {
            auto result = static_cast<RequestResult>(in.ConsumeIntegralInRange<int>(0, 2));
            auto took = std::chrono::microseconds(in.ConsumeIntegral<std::uint16_t>());
            metrics.DriverRequest(i, "read", result, took);
        }
    }

    bool ok = false;
    const std::string stateText = JsonText(StateJson(checked, store, metrics, now));
    const std::string healthText = JsonText(HealthJson(checked, store, now, ok));
    Check(!FirstNonUtf8(stateText) && !FirstNonUtf8(healthText), "a document that is not UTF-8");
    json state = json::parse(stateText, nullptr, false);
    json health = json::parse(healthText, nullptr, false);
    Check(!state.is_discarded() && !health.is_discarded(), "a document that does not parse back");
    Check(state["panels"].size() == counts.size() && health["panels"].size() == counts.size(), "panels lost");
    bool allFresh = true;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const json& panel = state["panels"][i];
        bool allCurrent = true;
        for (const json& point : panel["points"]) {
            bool current = point["current"].get<bool>();
            Check((point["quality"] == "good") == current, "quality and current disagree");
            Check((point["mark"] == "ok") == current, "mark and current disagree");
            allCurrent = allCurrent && current;
        }
        bool fresh = panel["fresh"].get<bool>();
        Check(fresh == (allCurrent && panel["state"] == "up"), "fresh is not: up, every value current");
        Check(health["panels"][i]["ok"].get<bool>() == fresh, "/health and /api/state disagree on a panel");
        Check(panel["values_not_current"].get<std::size_t>() == 0 || !fresh, "fresh with values not current");
        allFresh = allFresh && fresh;
    }
    Check(ok == allFresh && health["ok"].get<bool>() == ok, "/health ok is not: every panel fresh");
    return 0;
}
