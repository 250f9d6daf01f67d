#include "gateway/worker/worker_output.h"

#include "gateway/worker/protocol.h"

namespace zulgate::worker {

WorkerOutput::WorkerOutput(Channel& channel, std::size_t valueCount, Clock::duration stale, Level threshold)
    : channel_(channel), mirror_({valueCount}, {stale}), threshold_(threshold) {}

void WorkerOutput::Send(const MessageWriter& message) {
    if (connected_ && !channel_.Send(message.Bytes())) connected_ = false;
}

void WorkerOutput::Store(std::size_t, const std::vector<PointStore::Update>& updates, Clock::time_point at) {
    mirror_.Store(0, updates, at);
    MessageWriter m(MessageKind::Store);
    Put(m, updates);
    m.Time(at);
    Send(m);
}

void WorkerOutput::Revise(std::size_t, const std::vector<PointStore::Update>& updates) {
    mirror_.Revise(0, updates);
    MessageWriter m(MessageKind::Revise);
    Put(m, updates);
    Send(m);
}

void WorkerOutput::MarkFailed(std::size_t, const std::vector<std::size_t>& values, Quality why) {
    mirror_.MarkFailed(0, values, why);
    MessageWriter m(MessageKind::MarkFailed);
    Put(m, values);
    m.U8(static_cast<std::uint8_t>(why));
    Send(m);
}

void WorkerOutput::MarkAll(std::size_t, Quality why) {
    mirror_.MarkAll(0, why);
    Send(MessageWriter(MessageKind::MarkAll).U8(static_cast<std::uint8_t>(why)));
}

void WorkerOutput::SetState(std::size_t, PanelState state, const std::string& detail, Clock::time_point at) {
    Send(MessageWriter(MessageKind::SetState).U8(static_cast<std::uint8_t>(state)).Text(detail).Time(at));
}

void WorkerOutput::SetCycle(std::size_t, const CycleStats& cycle) {
    MessageWriter m(MessageKind::SetCycle);
    Put(m, cycle);
    Send(m);
}

void WorkerOutput::Read(std::size_t, const std::vector<std::size_t>& values, std::vector<StoredValue>& out) const {
    mirror_.Read(0, values, out);
}

void WorkerOutput::DriverRequest(std::size_t, const char* kind, RequestResult result, Clock::duration took) {
    Send(MessageWriter(MessageKind::DriverRequest)
             .U8(KindNumber(kind))
             .U8(static_cast<std::uint8_t>(result))
             .Duration(took));
}

void WorkerOutput::PollCycle(std::size_t, Clock::duration took) {
    Send(MessageWriter(MessageKind::PollCycle).Duration(took));
}

void WorkerOutput::Asking(std::size_t, const char* kind) {
    Send(MessageWriter(MessageKind::Asking).U8(KindNumber(kind)));
}

void WorkerOutput::Say(Level level, const std::string& who, const std::string& text) {
    if (level > threshold_) return; // the gateway's log would not show it
    Send(MessageWriter(MessageKind::Say).U8(static_cast<std::uint8_t>(level)).Text(who).Text(text));
}

} // namespace zulgate::worker
