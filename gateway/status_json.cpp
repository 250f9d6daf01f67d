#include "gateway/status_json.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>

#include "gateway/checked_config.h"
#include "gateway/log.h"

namespace zulgate {
namespace {

using nlohmann::json;

double SecondsOf(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double MsOf(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
// Three decimals are all a person or a graph needs.
double Round3(double v) { return std::round(v * 1000) / 1000; }

// A number as JSON holds it: whole numbers as whole (320, not 320.0), and
// null where JSON has no number (NaN, infinity).
json NumberJson(double v) {
    if (!std::isfinite(v)) return nullptr;
    if (v == std::floor(v) && std::fabs(v) < 1e15) return static_cast<std::int64_t>(v);
    return v;
}

// How the page shows a point's values: a number in its units, a date, a
// state's text or a bit.
const char* KindOf(const MappedPoint& p) {
    if (!p.engineering.states.empty()) return "state";
    if (p.point.HasBit()) return "bit";
    return p.point.Type().kind == ValueKind::Date ? "date" : "number";
}

// How the page marks an element, worst last.
enum class Mark { Ok, Stale, NeverRead, Failed };
const char* MarkName(Mark m) {
    switch (m) {
    case Mark::Ok:
        return "ok";
    case Mark::Stale:
        return "stale";
    case Mark::NeverRead:
        return "never read";
    case Mark::Failed:
        return "failed";
    }
    return "?";
}

// Its quality tells what became of the last read; its read time whether
// there ever was a good one.
bool NeverRead(const StoredValue& v) { return v.readAt == Clock::time_point{}; }

Mark MarkOf(const StoredValue& v, bool current) {
    if (current) return Mark::Ok;
    if (NeverRead(v)) return Mark::NeverRead;
    switch (v.quality) {
    case Quality::ReadFailed:
        return Mark::Failed;
    default:
        return Mark::Stale; // old, its panel away, or changed by a write and not read since
    }
}

std::optional<Clock::time_point> LastRead(const std::vector<StoredValue>& values) {
    std::optional<Clock::time_point> last;
    for (const StoredValue& v : values) {
        if (v.readAt != Clock::time_point{} && (!last || v.readAt > *last)) last = v.readAt;
    }
    return last;
}

json Age(std::optional<Clock::time_point> at, Clock::time_point now) {
    if (!at || *at == Clock::time_point{}) return nullptr;
    return Round3(SecondsOf(now - *at));
}

// Whether a panel is fresh (up, and every value of it current: what Modbus
// serves without 0x0B), and why not, with the count of values by reason.
bool Fresh(const CheckedConfig& checked, std::size_t panel, const PanelSnapshot& s, const PointStore& store,
           Clock::time_point now, std::string& reason) {
    const PanelConfig& config = checked.config.panels[panel];
    std::optional<Clock::time_point> last = LastRead(s.values);
    std::string read = last ? "last read " + DurationText(now - *last) + " ago" : "never read";
    if (s.status.state != PanelState::Up) {
        reason = std::string(PanelStateName(s.status.state)) +
                 (s.status.detail.empty() ? std::string() : ": " + s.status.detail) + "; " + read;
        return false;
    }
    std::map<std::string, std::size_t> why; // ordered, so the reason reads the same each time
    std::size_t notCurrent = 0;
    for (const StoredValue& v : s.values) {
        bool current = store.Current(panel, v, now);
        if (current) continue;
        ++notCurrent;
        ++why[v.quality == Quality::Good ? "older than stale_ms (" + std::to_string(config.stale.count()) + " ms)"
                                         : std::string(QualityText(v, false))];
    }
    if (notCurrent == 0) {
        reason = read;
        return true;
    }
    reason = std::to_string(notCurrent) + " of " + std::to_string(s.values.size()) + " values not current:";
    const char* separator = " ";
    for (const auto& [text, count] : why) {
        reason += separator + std::to_string(count) + " " + text;
        separator = ", ";
    }
    reason += "; " + read;
    return false;
}

} // namespace

const char* QualityText(const StoredValue& value, bool current) {
    if (current) return "good";
    if (value.quality == Quality::Good) return "older than stale_ms";
    return QualityName(value.quality);
}

std::string JsonText(const json& document) { return document.dump(-1, ' ', false, json::error_handler_t::replace); }

json StateJson(const CheckedConfig& checked, const PointStore& store, const Metrics& metrics, Clock::time_point now) {
    json panels = json::array();
    for (std::size_t i = 0; i < checked.config.panels.size(); ++i) {
        const PanelConfig& config = checked.config.panels[i];
        PanelSnapshot s = store.Snapshot(i);
        RequestFigures f = metrics.Figures(i);
        std::string reason;
        bool fresh = Fresh(checked, i, s, store, now, reason);
        const CycleStats& c = s.status.cycle;
        json points = json::array();
        std::size_t staleValues = 0;
        for (const MappedPoint& p : checked.maps[i].Points()) {
            json values = json::array(), raws = json::array();
            const ValueMeaning meaning = p.Meaning();
            Mark worst = Mark::Ok;
            std::optional<Clock::time_point> oldest;
            bool current = true;
            const char* quality = "good"; // of its first element that is not current
            for (int k = 0; k < p.count; ++k) {
                const StoredValue& v = s.values[p.firstValue + static_cast<std::size_t>(k)];
                bool cur = store.Current(i, v, now);
                if (!cur && current) quality = QualityText(v, false);
                current = current && cur;
                if (!cur) ++staleValues;
                worst = std::max(worst, MarkOf(v, cur));
                if (NeverRead(v)) {
                    values.push_back(nullptr);
                    raws.push_back(nullptr);
                } else {
                    values.push_back(v.state ? json(*v.state) : NumberJson(v.value));
                    raws.push_back(NumberJson(meaning.Number(v.raw)));
                }
                if (v.readAt != Clock::time_point{} && (!oldest || v.readAt < *oldest)) oldest = v.readAt;
            }
            points.push_back({{"name", p.name},
                              {"address", zulclient::PointText(p.point)},
                              {"table", TableName(p.table)},
                              {"register", p.firstRegister},
                              {"count", p.count},
                              {"access", p.writable ? "rw" : "r"},
                              {"value", p.count == 1 ? values.front() : values},
                              {"raw", p.count == 1 ? raws.front() : raws},
                              {"unit", p.engineering.Units().symbol},
                              {"kind", KindOf(p)},
                              {"quality", quality},
                              {"age_s", Age(oldest, now)},
                              {"current", current},
                              {"mark", MarkName(worst)}});
        }
        panels.push_back({{"name", config.name},
                          {"port", config.port},
                          {"unit", config.unit},
                          {"state", PanelStateName(s.status.state)},
                          {"detail", s.status.detail},
                          {"since_s", Age(s.status.since, now)},
                          {"fresh", fresh},
                          {"reason", reason},
                          {"stale_ms", config.stale.count()},
                          {"last_read_s", Age(LastRead(s.values), now)},
                          {"last_cycle_s", Age(c.lastEnd, now)},
                          {"cycle_ms", c.cycles ? json(Round3(MsOf(c.lastDuration))) : json(nullptr)},
                          {"cycles", c.cycles},
                          {"cycle_reads", c.lastRequests},
                          {"cycle_failed", c.lastFailed},
                          {"requests", f.requests},
                          {"failed", f.failed},
                          {"request_ms_last", f.requests ? json(Round3(MsOf(f.last))) : json(nullptr)},
                          {"request_ms_mean",
                           f.requests ? json(Round3(MsOf(f.total) / static_cast<double>(f.requests))) : json(nullptr)},
                          {"values_not_current", staleValues},
                          {"points", points}});
    }
    auto wall = std::chrono::system_clock::now().time_since_epoch();
    return {{"time", Round3(SecondsOf(wall))}, {"panels", panels}};
}

json HealthJson(const CheckedConfig& checked, const PointStore& store, Clock::time_point now, bool& ok) {
    ok = true;
    json panels = json::array();
    for (std::size_t i = 0; i < checked.config.panels.size(); ++i) {
        std::string reason;
        bool fresh = Fresh(checked, i, store.Snapshot(i), store, now, reason);
        ok = ok && fresh;
        panels.push_back({{"name", checked.config.panels[i].name}, {"ok", fresh}, {"reason", reason}});
    }
    return {{"ok", ok}, {"panels", panels}};
}

} // namespace zulgate
