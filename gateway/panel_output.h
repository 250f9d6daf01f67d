// Everything a panel's link tells the rest of the gateway, and the one
// thing it reads back: the point store's mutations (the store's own API,
// so that whatever the store does with them, it does), the metrics'
// events, its log lines, and the request it is about to put on the line.
// LocalOutput applies them in the same process; a panel's worker sends them
// to the gateway, which applies them to the one store every front end reads.
#pragma once

#include <string>
#include <vector>

#include "gateway/log.h"
#include "gateway/metrics.h"
#include "gateway/point_store.h"

namespace zulgate {

class PanelOutput {
public:
    virtual ~PanelOutput() = default;

    // The point store's mutations.
    virtual void Store(std::size_t panel, const std::vector<PointStore::Update>& updates, Clock::time_point at) = 0;
    virtual void Revise(std::size_t panel, const std::vector<PointStore::Update>& updates) = 0;
    virtual void MarkFailed(std::size_t panel, const std::vector<std::size_t>& values, Quality why) = 0;
    virtual void MarkAll(std::size_t panel, Quality why) = 0;
    virtual void SetState(std::size_t panel, PanelState state, const std::string& detail, Clock::time_point at) = 0;
    virtual void SetCycle(std::size_t panel, const CycleStats& cycle) = 0;
    // The panel's values as the store holds them now.
    virtual void Read(std::size_t panel, const std::vector<std::size_t>& values,
                      std::vector<StoredValue>& out) const = 0;

    // The metrics' events; kind is one of RequestKinds.
    virtual void DriverRequest(std::size_t panel, const char* kind, RequestResult result, Clock::duration took) = 0;
    virtual void PollCycle(std::size_t panel, Clock::duration took) = 0;

    // A request of this kind goes on the line now (its DriverRequest says
    // when it is done): what a stop needs to know to abandon it or not.
    virtual void Asking(std::size_t panel, const char* kind) = 0;

    virtual void Say(Level level, const std::string& who, const std::string& text) = 0;
    void SayDriverLines(Level level, const std::string& who, const std::vector<DriverLine>& lines) {
        for (const DriverLine& l : lines) Say(level, who, "driver [" + std::to_string(l.level) + "] " + l.text);
    }
};

// In the gateway's own process: straight into its store, metrics and log.
class LocalOutput : public PanelOutput {
public:
    LocalOutput(PointStore& store, Metrics& metrics, Log& log) : store_(store), metrics_(metrics), log_(log) {}

    void Store(std::size_t panel, const std::vector<PointStore::Update>& updates, Clock::time_point at) override {
        store_.Store(panel, updates, at);
    }
    void Revise(std::size_t panel, const std::vector<PointStore::Update>& updates) override {
        store_.Revise(panel, updates);
    }
    void MarkFailed(std::size_t panel, const std::vector<std::size_t>& values, Quality why) override {
        store_.MarkFailed(panel, values, why);
    }
    void MarkAll(std::size_t panel, Quality why) override { store_.MarkAll(panel, why); }
    void SetState(std::size_t panel, PanelState state, const std::string& detail, Clock::time_point at) override {
        store_.SetState(panel, state, detail, at);
    }
    void SetCycle(std::size_t panel, const CycleStats& cycle) override { store_.SetCycle(panel, cycle); }
    void Read(std::size_t panel, const std::vector<std::size_t>& values, std::vector<StoredValue>& out) const override {
        store_.Read(panel, values, out);
    }
    void DriverRequest(std::size_t panel, const char* kind, RequestResult result, Clock::duration took) override {
        metrics_.DriverRequest(panel, kind, result, took);
    }
    void PollCycle(std::size_t panel, Clock::duration took) override { metrics_.PollCycle(panel, took); }
    void Asking(std::size_t, const char*) override {}
    void Say(Level level, const std::string& who, const std::string& text) override { log_.Say(level, who, text); }

private:
    PointStore& store_;
    Metrics& metrics_;
    Log& log_;
};

} // namespace zulgate
