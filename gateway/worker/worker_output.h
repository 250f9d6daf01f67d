// A panel's link in its worker: everything it tells the gateway goes there
// as messages, and the store's mutations also into a mirror of the panel's
// values, which is where the link reads them back (a write's neighbours).
#pragma once

#include "gateway/panel_output.h"
#include "gateway/point_store.h"
#include "gateway/worker/channel.h"
#include "gateway/worker/message.h"

namespace zulgate::worker {

class WorkerOutput : public PanelOutput {
public:
    WorkerOutput(Channel& channel, std::size_t valueCount, Clock::duration stale, Level threshold);

    void Store(std::size_t panel, const std::vector<PointStore::Update>& updates, Clock::time_point at) override;
    void Revise(std::size_t panel, const std::vector<PointStore::Update>& updates) override;
    void MarkFailed(std::size_t panel, const std::vector<std::size_t>& values, Quality why) override;
    void MarkAll(std::size_t panel, Quality why) override;
    void SetState(std::size_t panel, PanelState state, const std::string& detail, Clock::time_point at) override;
    void SetCycle(std::size_t panel, const CycleStats& cycle) override;
    void Read(std::size_t panel, const std::vector<std::size_t>& values, std::vector<StoredValue>& out) const override;
    void DriverRequest(std::size_t panel, const char* kind, RequestResult result, Clock::duration took) override;
    void PollCycle(std::size_t panel, Clock::duration took) override;
    void Asking(std::size_t panel, const char* kind) override;
    void Say(Level level, const std::string& who, const std::string& text) override;

    // False once a message could not be sent: the gateway is gone.
    bool Connected() const { return connected_; }

private:
    void Send(const MessageWriter& message);

    Channel& channel_;
    PointStore mirror_; // this panel alone, as panel 0
    Level threshold_;
    bool connected_ = true;
};

} // namespace zulgate::worker
