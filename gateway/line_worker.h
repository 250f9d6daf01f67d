// The driver thread: the one thread that makes every ZulMain call, since the
// driver forbids overlapping calls, also across channels. It runs the
// writes first, as they come, then whichever panel's next step is due
// earliest (a step is one request), so that panels share the line thread
// request by request and a write waits at most for the request in flight.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "gateway/panel_link.h"
#include "gateway/write_queue.h"

namespace zulgate {

class LineWorker {
public:
    LineWorker(std::vector<std::unique_ptr<PanelLink>>& links, WriteQueue& writes) : links_(links), writes_(writes) {}
    ~LineWorker() { Stop(); }
    LineWorker(const LineWorker&) = delete;
    LineWorker& operator=(const LineWorker&) = delete;

    void Start();
    // Writes still queued are refused, the request in flight ends, every
    // port is closed; then the thread ends.
    void Stop();

private:
    void Run();

    std::vector<std::unique_ptr<PanelLink>>& links_;
    WriteQueue& writes_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

} // namespace zulgate
