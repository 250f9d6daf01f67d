#include "gateway/bacnet/cov.h"

#include <algorithm>
#include <cmath>

namespace zulgate::bacnet {

CovTable::State CovTable::StateOf(const Object& object, ValueSource& source) {
    Reading reading = source.Read(object.Id());
    State state;
    state.presentValue = PresentValueOf(object.spec.type, reading.value);
    state.condition = ConditionOf(object.spec, reading);
    return state;
}

bool CovTable::Moved(const Object& object, const State& was, const State& now) {
    if (!(was.condition == now.condition)) return true;
    const float* before = std::get_if<float>(&was.presentValue);
    const float* after = std::get_if<float>(&now.presentValue);
    if (!IsAnalog(object.spec.type) || !before || !after) return !(was.presentValue == now.presentValue);
    if (std::isnan(*before) || std::isnan(*after)) return std::isnan(*before) != std::isnan(*after);
    double moved = std::fabs(static_cast<double>(*after) - *before);
    return object.spec.covIncrement > 0 ? moved >= object.spec.covIncrement : moved > 0;
}

Notification CovTable::Notify(const ObjectTable& table, Subscription& s, const State& state, Clock::time_point now) {
    s.notified = state;
    std::uint64_t remaining = 0; // until cancelled
    if (s.expires) {
        auto left = std::chrono::ceil<std::chrono::seconds>(*s.expires - now).count();
        remaining = static_cast<std::uint64_t>(std::max<std::int64_t>(left, 1));
    }
    Bytes parameters;
    Writer w(parameters);
    w.ContextUnsigned(0, s.processId);
    w.ContextObject(1, table.DeviceId());
    w.ContextObject(2, s.object);
    w.ContextUnsigned(3, remaining);
    w.Open(4);
    w.ContextEnumerated(0, static_cast<std::uint32_t>(Property::PresentValue));
    w.Open(2);
    w.Application(state.presentValue);
    w.Close(2);
    w.ContextEnumerated(0, static_cast<std::uint32_t>(Property::StatusFlags));
    w.Open(2);
    w.Application(StatusFlagsOf(state.condition));
    w.Close(2);
    w.Close(4);
    return {s.subscriber, EncodeUnconfirmed(UnconfirmedService::CovNotification, parameters)};
}

Answer CovTable::Subscribe(const ObjectTable& table, ValueSource& source, Reader r, const Peer& from,
                           Clock::time_point now, std::vector<Notification>& out) {
    std::uint64_t processId = r.ContextUnsigned(0);
    ObjectId id = r.ContextObject(1);
    std::optional<bool> confirmed;
    if (r.NextIsContext(2)) confirmed = r.ContextBoolean(2);
    std::optional<std::uint64_t> lifetime;
    if (r.NextIsContext(3)) lifetime = r.ContextUnsigned(3);
    r.ExpectEnd();
    if (lifetime && !confirmed) r.Fail(Fault::Missing); // a lifetime alone is no cancellation
    if (processId > 0xFFFFFFFF || (lifetime && *lifetime > 0xFFFFFFFF)) r.Fail(Fault::OutOfRange);
    if (r.Failed()) return Answer::Refuse(RejectReasonOf(r.GetFault()));

    const Object* object = table.Find(id);
    if (!object && !table.IsDevice(id)) return Answer::Fail({ErrorClass::Object, ErrorCode::UnknownObject});
    if (!object) return Answer::Fail({ErrorClass::Object, ErrorCode::OptionalFunctionalityNotSupported});

    auto same = std::find_if(subscriptions_.begin(), subscriptions_.end(), [&](const Subscription& s) {
        return s.subscriber == from && s.processId == processId && s.object == id;
    });
    if (!confirmed) { // a cancellation: done, whether there was one or not
        if (same != subscriptions_.end()) subscriptions_.erase(same);
        return Answer::Ack();
    }
    if (*confirmed) return Answer::Fail({ErrorClass::Services, ErrorCode::OptionalFunctionalityNotSupported});
    if (same == subscriptions_.end()) {
        if (subscriptions_.size() >= bound_)
            return Answer::Fail({ErrorClass::Resources, ErrorCode::NoSpaceToAddListElement});
        Subscription s;
        s.subscriber = from;
        s.processId = static_cast<std::uint32_t>(processId);
        s.object = id;
        subscriptions_.push_back(s);
        same = subscriptions_.end() - 1;
    }
    same->expires.reset();
    if (lifetime && *lifetime > 0) same->expires = now + std::chrono::seconds(*lifetime);
    out.push_back(Notify(table, *same, StateOf(*object, source), now));
    return Answer::Ack();
}

void CovTable::Check(const ObjectTable& table, ValueSource& source, bool changed, Clock::time_point now,
                     std::vector<Notification>& out) {
    subscriptions_.erase(std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                                        [&](const Subscription& s) { return s.expires && *s.expires <= now; }),
                         subscriptions_.end());
    if (!changed) return;
    for (Subscription& s : subscriptions_) {
        const Object* object = table.Find(s.object);
        if (!object) continue;
        State state = StateOf(*object, source);
        if (Moved(*object, s.notified, state)) out.push_back(Notify(table, s, state, now));
    }
}

std::optional<Clock::time_point> CovTable::NextExpiry() const {
    std::optional<Clock::time_point> next;
    for (const Subscription& s : subscriptions_) {
        if (s.expires && (!next || *s.expires < *next)) next = s.expires;
    }
    return next;
}

} // namespace zulgate::bacnet
