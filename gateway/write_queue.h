// Writes on their way from a front end to the panel's worker. A request
// names its panel and the elements of its points with the values to write;
// the front end waits for its outcome a bounded time. A request whose
// front end stopped waiting before it was taken to run is never run: a
// write that lands after its client was told it failed would surprise.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "gateway/change_notice.h"

namespace zulgate {

struct PointWrite {
    std::size_t point = 0; // in the panel's map
    int firstElement = 0;
    std::vector<std::uint32_t> values; // one per element, as the store keeps them
};

struct WriteRequest {
    std::size_t panel = 0;
    std::vector<PointWrite> writes; // done in this order; the first failure ends the request
};

enum class WriteOutcome {
    Written,   // the driver's write returned 0 for every part
    Refused,   // the panel refused it (the driver's 1)
    NoAnswer,  // the exchange failed: no usable answer (the driver's 2)
    PanelAway, // its panel is not up: nothing sent
    TimedOut,  // not answered within the front end's wait (it may still be running)
    Stopping,  // the gateway stops: nothing sent
};
const char* WriteOutcomeName(WriteOutcome outcome); // "refused by the panel", for the log
const char* WriteOutcomeTold(WriteOutcome outcome); // "ok", or why not: what a client that asked is told

class WriteTicket {
public:
    // The outcome, or TimedOut after `wait`; a write not yet taken is then
    // abandoned and never runs.
    WriteOutcome Wait(std::chrono::milliseconds wait);
    // Without waiting: the outcome once done; with giveUp, a write not yet
    // taken is abandoned (TimedOut), while one on the line is left to finish.
    std::optional<WriteOutcome> Check(bool giveUp);

private:
    friend class WriteQueue;
    enum class Stage { Queued, Running, Done, Abandoned };
    std::mutex mutex_;
    std::condition_variable done_;
    Stage stage_ = Stage::Queued;
    WriteOutcome outcome_ = WriteOutcome::TimedOut;
    WriteRequest request_;
    ChangeNotice* notice_ = nullptr; // raised when it is done
};

class WriteQueue {
public:
    // `done`, if given, is raised when the outcome is there, for a front end
    // that does not block on the ticket (it must outlive the queue's worker).
    std::shared_ptr<WriteTicket> Submit(WriteRequest request, ChangeNotice* done = nullptr);

    static const WriteRequest& RequestOf(const WriteTicket& ticket) { return ticket.request_; }
    static void Finish(WriteTicket& ticket, WriteOutcome outcome);

    // Called after a request is queued (not under the queue's lock), so
    // that the side that hands each request to its panel's worker wakes.
    void OnArrival(std::function<void()> hook);
    // The next request, out of the queue but not running yet: its front
    // end may still stop waiting, until Begin.
    std::shared_ptr<WriteTicket> Dispatch();
    // Marks a dispatched request running; false when its front end has
    // stopped waiting (it is never to run) or it was answered already.
    static bool Begin(WriteTicket& ticket);

    // Every queued request is answered Stopping, and so is every later one.
    void Stop();

private:
    std::mutex mutex_;
    std::deque<std::shared_ptr<WriteTicket>> queued_;
    bool stopping_ = false;
    std::function<void()> arrival_;
};

} // namespace zulgate
