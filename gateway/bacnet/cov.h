// Change-of-value subscriptions (SubscribeCOV) and their unconfirmed
// notifications: one at once when a subscription is made or renewed, then
// whenever Present_Value moves by COV_Increment or more (any change for
// binary and multi-state objects) or Status_Flags change. At most a bounded
// number of subscriptions; one that asks for confirmed notifications is
// refused (this server does not send confirmed requests).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

#include "gateway/bacnet/apdu.h"
#include "gateway/bacnet/envelope.h"
#include "gateway/bacnet/object_table.h"
#include "gateway/bacnet/properties.h"

namespace zulgate::bacnet {

using Clock = std::chrono::steady_clock;

struct Notification {
    Peer to;
    Bytes apdu;
};

class CovTable {
public:
    explicit CovTable(std::size_t bound) : bound_(bound) {}

    // Serves a SubscribeCOV; a made or renewed subscription gets its first
    // notification in `out`, to be sent after the acknowledgement.
    Answer Subscribe(const ObjectTable& table, ValueSource& source, Reader request, const Peer& from,
                     Clock::time_point now, std::vector<Notification>& out);
    // Drops what has expired; with `changed`, notifies what moved.
    void Check(const ObjectTable& table, ValueSource& source, bool changed, Clock::time_point now,
               std::vector<Notification>& out);
    std::optional<Clock::time_point> NextExpiry() const;
    std::size_t Size() const { return subscriptions_.size(); }

private:
    // What a notification says of an object.
    struct State {
        AppValue presentValue; // analog: a REAL, the engineering value
        Condition condition;
    };
    struct Subscription {
        Peer subscriber;
        std::uint32_t processId = 0;
        ObjectId object;
        std::optional<Clock::time_point> expires; // none: until cancelled
        State notified;
    };
    static State StateOf(const Object& object, ValueSource& source);
    static bool Moved(const Object& object, const State& was, const State& now);
    Notification Notify(const ObjectTable& table, Subscription& s, const State& state, Clock::time_point now);

    std::size_t bound_;
    std::vector<Subscription> subscriptions_;
};

} // namespace zulgate::bacnet
