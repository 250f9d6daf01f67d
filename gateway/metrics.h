// The gateway's counters, gauges and histograms, in a prometheus-cpp
// registry that /metrics writes out. The parts that count (each panel's
// link, the Modbus server, MQTT) are handed this by reference; every method
// may be called from any thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

namespace zulgate {

// What became of one driver request.
enum class RequestResult { Ok, Refused, NoAnswer };
// The kinds of driver request a link makes, as the metrics name them.
constexpr std::array<const char*, 4> RequestKinds{"coldstart", "read", "probe", "write"};
const char* RequestResultName(RequestResult result);

// A panel's request figures for the status page (the registry's are for
// Prometheus; these are kept beside them so the page needs no parsing).
struct RequestFigures {
    std::uint64_t requests = 0;
    std::uint64_t failed = 0; // refused or not answered
    std::chrono::steady_clock::duration last{}, total{};
};

class Metrics {
public:
    explicit Metrics(const std::vector<std::string>& panelNames);
    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;

    // kind: "coldstart", "read", "probe" or "write".
    void DriverRequest(std::size_t panel, const char* kind, RequestResult result,
                       std::chrono::steady_clock::duration took);
    void PollCycle(std::size_t panel, std::chrono::steady_clock::duration took);
    void PointsStale(std::size_t panel, std::size_t count);

    void ModbusClient(bool connected); // one more, or one fewer
    void ModbusRequest();              // one answered

    void MqttConnected(bool connected);
    void MqttMessage(bool outgoing);

    RequestFigures Figures(std::size_t panel) const;
    // The Prometheus text format.
    std::string Text() const;

private:
    struct Panel {
        std::string name;
        prometheus::Histogram* cycle = nullptr;
        prometheus::Gauge* stale = nullptr;
        RequestFigures figures;
    };
    prometheus::Counter& RequestCounter(std::size_t panel, const char* kind, RequestResult result);
    prometheus::Histogram& RequestHistogram(std::size_t panel, const char* kind);

    std::shared_ptr<prometheus::Registry> registry_;
    prometheus::Family<prometheus::Counter>& requests_;
    prometheus::Family<prometheus::Histogram>& requestSeconds_;
    prometheus::Family<prometheus::Histogram>& cycleSeconds_;
    prometheus::Family<prometheus::Gauge>& stale_;
    prometheus::Gauge& modbusClients_;
    prometheus::Counter& modbusRequests_;
    prometheus::Gauge& mqttConnected_;
    prometheus::Counter& mqttIn_;
    prometheus::Counter& mqttOut_;
    mutable std::mutex mutex_; // figures_; the families lock themselves
    std::vector<Panel> panels_;
};

} // namespace zulgate
