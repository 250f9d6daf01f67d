#include "gateway/line_worker.h"

namespace zulgate {

void LineWorker::Start() {
    thread_ = std::thread([this] { Run(); });
}

void LineWorker::Stop() {
    stopping_ = true;
    writes_.Stop();
    if (thread_.joinable()) thread_.join();
}

void LineWorker::Run() {
    while (!stopping_) {
        if (std::shared_ptr<WriteTicket> ticket = writes_.Take()) {
            const WriteRequest& request = WriteQueue::RequestOf(*ticket);
            WriteQueue::Finish(*ticket, links_[request.panel]->Write(request));
            continue;
        }
        PanelLink* next = nullptr;
        for (auto& link : links_) {
            if (!next || link->NextDue() < next->NextDue()) next = link.get();
        }
        Clock::time_point now = Clock::now();
        if (next && next->NextDue() <= now) {
            next->Step(now);
            continue;
        }
        Clock::time_point wake = now + std::chrono::seconds(1);
        if (next && next->NextDue() < wake) wake = next->NextDue();
        writes_.WaitUntil(wake);
    }
    for (auto& link : links_) link->Close();
}

} // namespace zulgate
