#include "gateway/bacnet/server.h"

#include <algorithm>

#include "gateway/bacnet/apdu.h"
#include "gateway/bacnet/discovery.h"
#include "gateway/bacnet/read_services.h"

namespace zulgate::bacnet {

// Called under the lock, so that once SetWake(nullptr) returns no wake-up
// is still on its way to what the old function named (a closed eventfd).
void Server::Inbox::Wake() {
    std::lock_guard<std::mutex> lock(mutex);
    if (wake) wake();
}

Server::Server(ObjectTable table, ValueSource& source, ServerOptions options)
    : table_(std::move(table)),
      source_(source),
      options_(options),
      cov_(options.maxSubscriptions),
      inbox_(std::make_shared<Inbox>()) {}

Server::~Server() {
    std::lock_guard<std::mutex> lock(inbox_->mutex);
    inbox_->wake = nullptr;
}

void Server::SetWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(inbox_->mutex);
    inbox_->wake = std::move(wake);
}

void Server::ValuesChanged() {
    changed_ = true;
    inbox_->Wake();
}

void Server::Receive(const std::uint8_t* data, std::size_t size, Endpoint sender, Clock::time_point now,
                     std::vector<Outgoing>& out) {
    Incoming incoming;
    std::uint16_t nak = 0;
    switch (Unwrap(data, size, sender, incoming, nak)) {
    case Unwrapped::Nak:
        out.push_back({Reach::Unicast, sender, BvlcResult(nak)});
        return;
    case Unwrapped::Dropped:
        return;
    case Unwrapped::Apdu:
        break;
    }
    Request request;
    if (!ParseRequest(incoming.apdu, incoming.apduSize, request)) return; // answers: it asked nothing
    if (request.type == PduType::ConfirmedRequest) {
        Confirmed(request, incoming.from, now, out);
    } else {
        Unconfirmed(request, incoming, out);
    }
}

void Server::Send(const Peer& to, const Bytes& apdu, std::vector<Outgoing>& out) {
    out.push_back({Reach::Unicast, to.via, Wrap(apdu, Reach::Unicast, to.remote)});
}

void Server::Confirmed(const Request& request, const Peer& from, Clock::time_point now, std::vector<Outgoing>& out) {
    std::size_t limit = std::min<std::size_t>(request.maxApdu, MaxApduAccepted);
    Reader body(request.body, request.bodySize);
    std::vector<Notification> first;
    Answer answer;
    if (request.segmented) {
        answer = Answer::Stop(AbortReason::SegmentationNotSupported);
    } else {
        switch (static_cast<ConfirmedService>(request.service)) {
        case ConfirmedService::ReadProperty:
            answer = ServeReadProperty(table_, source_, body);
            break;
        case ConfirmedService::ReadPropertyMultiple:
            answer = ServeReadPropertyMultiple(table_, source_, body, limit);
            break;
        case ConfirmedService::WriteProperty:
            answer = WriteProperty(request, from, now, out);
            break;
        case ConfirmedService::SubscribeCov:
            answer = cov_.Subscribe(table_, source_, body, from, now, first);
            break;
        default:
            answer = Answer::Refuse(RejectReason::UnrecognizedService);
            break;
        }
    }
    if (answer.kind == Answer::Kind::Later) return;
    Bytes apdu = EncodeAnswer(answer, request.invokeId, request.service);
    if (apdu.size() > limit) {
        apdu = EncodeAnswer(Answer::Stop(AbortReason::SegmentationNotSupported), request.invokeId, request.service);
    }
    Send(from, apdu, out);
    for (const Notification& n : first) Send(n.to, n.apdu, out);
}

void Server::Unconfirmed(const Request& request, const Incoming& incoming, std::vector<Outgoing>& out) {
    Reader body(request.body, request.bodySize);
    std::optional<Bytes> answer;
    switch (static_cast<UnconfirmedService>(request.service)) {
    case UnconfirmedService::WhoIs:
        answer = AnswerWhoIs(table_, body);
        break;
    case UnconfirmedService::WhoHas:
        answer = AnswerWhoHas(table_, body);
        break;
    default:
        return;
    }
    if (!answer) return;
    // Asked in person, answered in person; asked by broadcast, answered by
    // broadcast (to every network when the asker is behind a router).
    if (!incoming.broadcast) return Send(incoming.from, *answer, out);
    Reach reach = incoming.from.remote ? Reach::GlobalBroadcast : Reach::LocalBroadcast;
    out.push_back({reach, {}, Wrap(*answer, reach)});
}

Answer Server::WriteProperty(const Request& request, const Peer& from, Clock::time_point now,
                             std::vector<Outgoing>& out) {
    std::variant<Command, Answer> taken = TakeWriteProperty(table_, Reader(request.body, request.bodySize));
    if (Answer* answer = std::get_if<Answer>(&taken)) return *answer;
    const Command& command = std::get<Command>(taken);
    // A request sent again while its write waits is answered once, when it is done.
    for (const auto& [object, queue] : writes_) {
        for (const PendingWrite& w : queue) {
            if (w.asker == from && w.invokeId == request.invokeId) return Answer::Pending();
        }
    }
    if (Pending() >= options_.maxPendingWrites) return Answer::Fail({ErrorClass::Device, ErrorCode::DeviceBusy});
    std::deque<PendingWrite>& queue = writes_[command.object.Raw()];
    PendingWrite w;
    w.token = nextToken_++;
    w.asker = from;
    w.invokeId = request.invokeId;
    w.command = command;
    queue.push_back(std::move(w));
    if (queue.size() == 1) Advance(queue, now, out);
    return Answer::Pending();
}

void Server::Advance(std::deque<PendingWrite>& queue, Clock::time_point now, std::vector<Outgoing>& out) {
    while (!queue.empty() && !queue.front().started) {
        PendingWrite& w = queue.front();
        Object* object = table_.Find(w.command.object);
        w.plan = PlanCommand(object->priority, w.command);
        if (!w.plan.write) { // only the slots change
            Finish(queue, WriteOutcome::Written, out);
            continue;
        }
        w.started = true;
        w.deadline = now + options_.writeWait;
        std::shared_ptr<Inbox> inbox = inbox_;
        std::uint64_t token = w.token;
        source_.Write(w.command.object, *w.plan.write, [inbox, token](WriteOutcome outcome) {
            std::lock_guard<std::mutex> lock(inbox->mutex);
            inbox->completions.push_back({token, outcome});
            if (inbox->wake) inbox->wake();
        });
    }
}

void Server::Finish(std::deque<PendingWrite>& queue, WriteOutcome outcome, std::vector<Outgoing>& out) {
    PendingWrite& w = queue.front();
    if (outcome == WriteOutcome::Written) table_.Find(w.command.object)->priority = w.plan.after;
    Send(w.asker,
         EncodeAnswer(AnswerFor(outcome), w.invokeId, static_cast<std::uint8_t>(ConfirmedService::WriteProperty)), out);
    queue.pop_front();
    changed_ = true; // what the panel holds may have moved: Present_Value's subscribers learn it now
}

std::size_t Server::Pending() const {
    std::size_t n = 0;
    for (const auto& [object, queue] : writes_) n += queue.size();
    return n;
}

void Server::Service(Clock::time_point now, std::vector<Outgoing>& out) {
    std::vector<Completion> done;
    {
        std::lock_guard<std::mutex> lock(inbox_->mutex);
        done.swap(inbox_->completions);
    }
    for (const Completion& c : done) {
        for (auto& [object, queue] : writes_) {
            if (!queue.empty() && queue.front().started && queue.front().token == c.token) {
                Finish(queue, c.outcome, out);
                Advance(queue, now, out);
                break;
            }
        }
    }
    // A write whose outcome does not come in time is answered all the same;
    // should it come later, it finds no one waiting.
    for (auto& [object, queue] : writes_) {
        while (!queue.empty() && queue.front().started && queue.front().deadline <= now) {
            Finish(queue, WriteOutcome::TimedOut, out);
            Advance(queue, now, out);
        }
    }
    for (auto it = writes_.begin(); it != writes_.end();) it = it->second.empty() ? writes_.erase(it) : std::next(it);

    std::vector<Notification> notifications;
    cov_.Check(table_, source_, changed_.exchange(false), now, notifications);
    for (const Notification& n : notifications) Send(n.to, n.apdu, out);
}

std::optional<Clock::time_point> Server::NextDeadline() const {
    std::optional<Clock::time_point> next = cov_.NextExpiry();
    for (const auto& [object, queue] : writes_) {
        if (!queue.empty() && queue.front().started && (!next || queue.front().deadline < *next))
            next = queue.front().deadline;
    }
    return next;
}

} // namespace zulgate::bacnet
