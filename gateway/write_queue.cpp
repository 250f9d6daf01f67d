#include "gateway/write_queue.h"

namespace zulgate {

const char* WriteOutcomeName(WriteOutcome outcome) {
    switch (outcome) {
    case WriteOutcome::Written:
        return "written";
    case WriteOutcome::Refused:
        return "refused by the panel";
    case WriteOutcome::NoAnswer:
        return "no usable answer from the panel";
    case WriteOutcome::PanelAway:
        return "the panel is away";
    case WriteOutcome::TimedOut:
        return "not answered in time";
    case WriteOutcome::Stopping:
        return "the gateway is stopping";
    }
    return "?";
}

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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            queued_.push_back(ticket);
            arrived_.notify_all();
            return ticket;
        }
    }
    Finish(*ticket, WriteOutcome::Stopping);
    return ticket;
}

std::shared_ptr<WriteTicket> WriteQueue::Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!queued_.empty()) {
        std::shared_ptr<WriteTicket> ticket = std::move(queued_.front());
        queued_.pop_front();
        std::lock_guard<std::mutex> ticketLock(ticket->mutex_);
        if (ticket->stage_ == WriteTicket::Stage::Queued) {
            ticket->stage_ = WriteTicket::Stage::Running;
            return ticket;
        }
    }
    return nullptr;
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

void WriteQueue::WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_until(lock, deadline, [this] { return !queued_.empty() || stopping_; });
}

void WriteQueue::Stop() {
    std::deque<std::shared_ptr<WriteTicket>> refused;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        refused.swap(queued_);
        arrived_.notify_all();
    }
    for (auto& ticket : refused) Finish(*ticket, WriteOutcome::Stopping);
}

} // namespace zulgate
