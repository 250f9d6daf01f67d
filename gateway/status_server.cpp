#include "gateway/status_server.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <sys/socket.h>

#include "gateway/gateway.h"

namespace zulgate {
namespace {

using nlohmann::json;

double SecondsOf(Clock::duration d) { return std::chrono::duration<double>(d).count(); }
double MsOf(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
// Three decimals are all a person or a graph needs.
double Round3(double v) { return std::round(v * 1000) / 1000; }

// A value as the panel means it: B/E/M/T/W unsigned, L and D signed 32-bit
// (D is seconds since 1970), F the IEEE float of its 32 bits, bits 0/1.
json Decoded(const zulclient::Point& point, std::uint32_t raw) {
    if (point.HasBit()) return raw & 1u;
    switch (point.letter) {
    case 'L':
    case 'D':
        return static_cast<std::int32_t>(raw);
    case 'F': {
        float f;
        std::memcpy(&f, &raw, sizeof f);
        if (!std::isfinite(f)) return nullptr; // JSON has no NaN or infinity
        return static_cast<double>(f);
    }
    default:
        return raw;
    }
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

// Whether a panel counts as read (fresh), and why not.
bool Fresh(const PanelConfig& config, const PanelSnapshot& s, Clock::time_point now, std::string& reason) {
    std::optional<Clock::time_point> last = LastRead(s.values);
    std::string read = last ? "last read " + DurationText(now - *last) + " ago" : "never read";
    bool recent = last && now - *last <= config.stale;
    if (s.status.state != PanelState::Up) {
        reason = std::string(PanelStateName(s.status.state)) +
                 (s.status.detail.empty() ? std::string() : ": " + s.status.detail) + "; " + read;
        return false;
    }
    if (!recent) {
        reason = read + ", longer ago than stale_ms (" + std::to_string(config.stale.count()) + " ms)";
        return false;
    }
    reason = read;
    return true;
}

} // namespace

json StateJson(const CheckedConfig& checked, const PointStore& store, const Metrics& metrics, Clock::time_point now) {
    json panels = json::array();
    for (std::size_t i = 0; i < checked.config.panels.size(); ++i) {
        const PanelConfig& config = checked.config.panels[i];
        PanelSnapshot s = store.Snapshot(i);
        RequestFigures f = metrics.Figures(i);
        std::string reason;
        bool fresh = Fresh(config, s, now, reason);
        const CycleStats& c = s.status.cycle;
        json points = json::array();
        std::size_t staleValues = 0;
        for (const MappedPoint& p : checked.maps[i].Points()) {
            json values = json::array();
            Mark worst = Mark::Ok;
            std::optional<Clock::time_point> oldest;
            bool current = true;
            for (int k = 0; k < p.count; ++k) {
                const StoredValue& v = s.values[p.firstValue + static_cast<std::size_t>(k)];
                bool cur = store.Current(i, v, now);
                current = current && cur;
                if (!cur) ++staleValues;
                worst = std::max(worst, MarkOf(v, cur));
                values.push_back(NeverRead(v) ? json(nullptr) : Decoded(p.point, v.raw));
                if (v.readAt != Clock::time_point{} && (!oldest || v.readAt < *oldest)) oldest = v.readAt;
            }
            const StoredValue& first = s.values[p.firstValue];
            points.push_back({{"name", p.name},
                              {"address", zulclient::PointText(p.point)},
                              {"table", TableName(p.table)},
                              {"register", p.firstRegister},
                              {"count", p.count},
                              {"access", p.writable ? "rw" : "r"},
                              {"value", p.count == 1 ? values.front() : values},
                              {"quality", QualityName(first.quality)},
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
        bool fresh = Fresh(checked.config.panels[i], store.Snapshot(i), now, reason);
        ok = ok && fresh;
        panels.push_back({{"name", checked.config.panels[i].name}, {"ok", fresh}, {"reason", reason}});
    }
    return {{"ok", ok}, {"panels", panels}};
}

StatusServer::StatusServer(const CheckedConfig& checked, const PointStore& store, Metrics& metrics, Log& log)
    : checked_(checked), store_(store), metrics_(metrics), log_(log), server_(std::make_unique<httplib::Server>()) {
    // SO_REUSEADDR only: httplib's SO_REUSEPORT would let a second gateway
    // share the address instead of failing to start.
    server_->set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // A stop waits for every connection's thread: an idle browser's, or a
    // request that stopped halfway, must not hold it up for long.
    server_->set_keep_alive_timeout(1);
    server_->set_read_timeout(2, 0);
    server_->set_write_timeout(5, 0);
    server_->Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(StatusPage, "text/html; charset=utf-8");
    });
    server_->Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(StateJson(checked_, store_, metrics_, Clock::now()).dump(), "application/json");
    });
    server_->Get("/health", [this](const httplib::Request&, httplib::Response& res) {
        bool ok = false;
        json health = HealthJson(checked_, store_, Clock::now(), ok);
        res.status = ok ? 200 : 503;
        res.set_header("Cache-Control", "no-store");
        res.set_content(health.dump(), "application/json");
    });
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        // Values go stale between two reads, so their count is taken now.
        Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < store_.Panels(); ++i) {
            PanelSnapshot s = store_.Snapshot(i);
            std::size_t stale = 0;
            for (const StoredValue& v : s.values) stale += store_.Current(i, v, now) ? 0 : 1;
            metrics_.PointsStale(i, stale);
        }
        res.set_content(metrics_.Text(), "text/plain; version=0.0.4; charset=utf-8");
    });
}

StatusServer::~StatusServer() { Stop(); }

bool StatusServer::Listen(std::string& error) {
    const ListenAddress& at = checked_.config.http.listen;
    errno = 0;
    if (!server_->bind_to_port(at.host, at.port)) {
        error = "cannot listen on " + at.Text() + " for [http]: " +
                (errno ? std::string(std::strerror(errno)) : std::string("not an address of this machine"));
        return false;
    }
    return true;
}

void StatusServer::Start() {
    log_.Say(Level::Info, "http", "status page, /metrics and /health on http://" + checked_.config.http.listen.Text());
    thread_ = std::thread([this] {
        if (!server_->listen_after_bind()) log_.Say(Level::Error, "http", "the status server stopped");
    });
}

void StatusServer::Stop() {
    if (!thread_.joinable()) return;
    // stop() does nothing before the listening loop has begun.
    for (int i = 0; i < 2000 && !server_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_->stop();
    thread_.join();
}

} // namespace zulgate
