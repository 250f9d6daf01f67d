#include "gateway/metrics.h"

#include <prometheus/text_serializer.h>

namespace zulgate {
namespace {

using Seconds = std::chrono::duration<double>;

// A request takes a few ms on a fast line and up to retries x timeout on a
// bad one; a cycle, from one block to many.
const prometheus::Histogram::BucketBoundaries RequestBuckets{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};
const prometheus::Histogram::BucketBoundaries CycleBuckets{0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

} // namespace

const char* RequestResultName(RequestResult result) {
    switch (result) {
    case RequestResult::Ok:
        return "ok";
    case RequestResult::Refused:
        return "refused";
    case RequestResult::NoAnswer:
        return "no_answer";
    }
    return "?";
}

Metrics::Metrics(const std::vector<std::string>& panelNames)
    : registry_(std::make_shared<prometheus::Registry>()),
      requests_(prometheus::BuildCounter()
                    .Name("zulgate_driver_requests_total")
                    .Help("Driver requests by panel, kind and result")
                    .Register(*registry_)),
      requestSeconds_(prometheus::BuildHistogram()
                          .Name("zulgate_driver_request_duration_seconds")
                          .Help("How long driver requests took, by panel and kind")
                          .Register(*registry_)),
      cycleSeconds_(prometheus::BuildHistogram()
                        .Name("zulgate_poll_cycle_duration_seconds")
                        .Help("How long complete poll cycles took, by panel")
                        .Register(*registry_)),
      stale_(prometheus::BuildGauge()
                 .Name("zulgate_points_stale")
                 .Help("Point values not current (stale, failed or never read), by panel")
                 .Register(*registry_)),
      modbusClients_(prometheus::BuildGauge()
                         .Name("zulgate_modbus_clients")
                         .Help("Modbus TCP clients connected")
                         .Register(*registry_)
                         .Add({})),
      modbusRequests_(prometheus::BuildCounter()
                          .Name("zulgate_modbus_requests_total")
                          .Help("Modbus requests answered")
                          .Register(*registry_)
                          .Add({})),
      mqttConnected_(prometheus::BuildGauge()
                         .Name("zulgate_mqtt_connected")
                         .Help("1 while connected to the MQTT broker")
                         .Register(*registry_)
                         .Add({})),
      mqttIn_(prometheus::BuildCounter()
                  .Name("zulgate_mqtt_messages_total")
                  .Help("MQTT messages, by direction")
                  .Register(*registry_)
                  .Add({{"direction", "in"}})),
      mqttOut_(prometheus::BuildCounter()
                   .Name("zulgate_mqtt_messages_total")
                   .Help("MQTT messages, by direction")
                   .Register(*registry_)
                   .Add({{"direction", "out"}})) {
    for (const std::string& name : panelNames) {
        Panel p;
        p.name = name;
        p.cycle = &cycleSeconds_.Add({{"panel", name}}, CycleBuckets);
        p.stale = &stale_.Add({{"panel", name}});
        panels_.push_back(p);
    }
    // Every panel's families appear from the first scrape on, so that a
    // rate() has a zero to start from.
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        for (const char* kind : RequestKinds) {
            RequestHistogram(i, kind);
            for (RequestResult r : {RequestResult::Ok, RequestResult::Refused, RequestResult::NoAnswer})
                RequestCounter(i, kind, r);
        }
    }
}

prometheus::Counter& Metrics::RequestCounter(std::size_t panel, const char* kind, RequestResult result) {
    return requests_.Add({{"panel", panels_[panel].name}, {"kind", kind}, {"result", RequestResultName(result)}});
}

prometheus::Histogram& Metrics::RequestHistogram(std::size_t panel, const char* kind) {
    return requestSeconds_.Add({{"panel", panels_[panel].name}, {"kind", kind}}, RequestBuckets);
}

void Metrics::DriverRequest(std::size_t panel, const char* kind, RequestResult result,
                            std::chrono::steady_clock::duration took) {
    RequestCounter(panel, kind, result).Increment();
    RequestHistogram(panel, kind).Observe(std::chrono::duration_cast<Seconds>(took).count());
    std::lock_guard<std::mutex> lock(mutex_);
    RequestFigures& f = panels_[panel].figures;
    ++f.requests;
    if (result != RequestResult::Ok) ++f.failed;
    f.last = took;
    f.total += took;
}

void Metrics::PollCycle(std::size_t panel, std::chrono::steady_clock::duration took) {
    panels_[panel].cycle->Observe(std::chrono::duration_cast<Seconds>(took).count());
}

void Metrics::PointsStale(std::size_t panel, std::size_t count) {
    panels_[panel].stale->Set(static_cast<double>(count));
}

void Metrics::ModbusClient(bool connected) {
    if (connected) {
        modbusClients_.Increment();
    } else {
        modbusClients_.Decrement();
    }
}

void Metrics::ModbusRequest() { modbusRequests_.Increment(); }

void Metrics::MqttConnected(bool connected) { mqttConnected_.Set(connected ? 1 : 0); }

void Metrics::MqttMessage(bool outgoing) { (outgoing ? mqttOut_ : mqttIn_).Increment(); }

RequestFigures Metrics::Figures(std::size_t panel) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return panels_[panel].figures;
}

std::string Metrics::Text() const { return prometheus::TextSerializer().Serialize(registry_->Collect()); }

} // namespace zulgate
