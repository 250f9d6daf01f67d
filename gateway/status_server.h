// The status server, one HTTP listener ([http] listen) for people and for
// monitoring: "/" the status page, which polls "/api/state" (the panels and
// their points, values as a person reads them), "/metrics" (Prometheus text
// format) and "/health" (200 while every panel has been read within its
// stale_ms, 503 with the reasons otherwise). Read only: nothing here
// writes to a panel.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "gateway/config.h"
#include "gateway/log.h"
#include "gateway/metrics.h"
#include "gateway/point_map.h"
#include "gateway/point_store.h"

namespace httplib {
class Server;
}

namespace zulgate {

struct CheckedConfig;

// The documents, apart from the server, at one instant.
nlohmann::json StateJson(const CheckedConfig& checked, const PointStore& store, const Metrics& metrics,
                         Clock::time_point now);
// ok, and the per-panel reasons.
nlohmann::json HealthJson(const CheckedConfig& checked, const PointStore& store, Clock::time_point now, bool& ok);

extern const char* const StatusPage; // the page's HTML, embedded at build time

class StatusServer {
public:
    StatusServer(const CheckedConfig& checked, const PointStore& store, Metrics& metrics, Log& log);
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Binds and listens; false with a message.
    bool Listen(std::string& error);
    void Start();
    // No new request; those being answered end, their connections close.
    void Stop();

private:
    const CheckedConfig& checked_;
    const PointStore& store_;
    Metrics& metrics_;
    Log& log_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
};

} // namespace zulgate
