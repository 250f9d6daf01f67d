#include "gateway/write_queue.h"

namespace zulgate {

namespace {

// Each outcome in words: for the log, and as a client that asked is told.
struct OutcomeWords {
    WriteOutcome outcome;
    const char* name;
    const char* told;
};
constexpr OutcomeWords Words[] = {
    {WriteOutcome::Written, "written", "ok"},
    {WriteOutcome::Refused, "refused by the panel", "refused by the panel"},
    {WriteOutcome::NoAnswer, "no usable answer from the panel",
     "no usable answer from the panel: it may not have been written"},
    {WriteOutcome::PanelAway, "the panel is away", "not written: the panel is away"},
    {WriteOutcome::TimedOut, "not answered in time", "not written: not taken within write_timeout_ms"},
    {WriteOutcome::Stopping, "the gateway is stopping", "not written: the gateway is stopping"},
};

const OutcomeWords& WordsOf(WriteOutcome outcome) {
    for (const OutcomeWords& w : Words) {
        if (w.outcome == outcome) return w;
    }
    return Words[0];
}

} // namespace

const char* WriteOutcomeName(WriteOutcome outcome) { return WordsOf(outcome).name; }
const char* WriteOutcomeTold(WriteOutcome outcome) { return WordsOf(outcome).told; }

WriteOutcome WriteTicket::Wait(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait_for(lock, wait, [this] { return stage_ == Stage::Done; });
    if (stage_ == Stage::Done) return outcome_;
    if (stage_ == Stage::Queued) stage_ = Stage::Abandoned;
    return WriteOutcome::TimedOut;
}

std::optional<WriteOutcome> WriteTicket::Check(bool giveUp) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stage_ == Stage::Done) return outcome_;
    if (stage_ == Stage::Abandoned) return WriteOutcome::TimedOut;
    if (giveUp && stage_ == Stage::Queued) {
        stage_ = Stage::Abandoned;
        return WriteOutcome::TimedOut;
    }
    return std::nullopt;
}

std::shared_ptr<WriteTicket> WriteQueue::Submit(WriteRequest request, ChangeNotice* done) {
    auto ticket = std::make_shared<WriteTicket>();
    ticket->request_ = std::move(request);
    ticket->notice_ = done;
    bool queued = false;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            queued_.push_back(ticket);
            queued = true;
            hook = arrival_;
        }
    }
    if (!queued) {
        Finish(*ticket, WriteOutcome::Stopping);
    } else if (hook) {
        hook();
    }
    return ticket;
}

void WriteQueue::Finish(WriteTicket& ticket, WriteOutcome outcome) {
    ChangeNotice* notice = nullptr;
    {
        std::lock_guard<std::mutex> lock(ticket.mutex_);
        ticket.outcome_ = outcome;
        ticket.stage_ = WriteTicket::Stage::Done;
        ticket.done_.notify_all();
        notice = ticket.notice_;
    }
    if (notice) notice->Raise();
}

void WriteQueue::OnArrival(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    arrival_ = std::move(hook);
}

std::shared_ptr<WriteTicket> WriteQueue::Dispatch() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queued_.empty()) return nullptr;
    std::shared_ptr<WriteTicket> ticket = std::move(queued_.front());
    queued_.pop_front();
    return ticket;
}

bool WriteQueue::Begin(WriteTicket& ticket) {
    std::lock_guard<std::mutex> lock(ticket.mutex_);
    if (ticket.stage_ != WriteTicket::Stage::Queued) return false;
    ticket.stage_ = WriteTicket::Stage::Running;
    return true;
}

void WriteQueue::Stop() {
    std::deque<std::shared_ptr<WriteTicket>> refused;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        refused.swap(queued_);
    }
    for (auto& ticket : refused) Finish(*ticket, WriteOutcome::Stopping);
}

} // namespace zulgate
