#include "gateway/bacnet_front.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace zulgate {
namespace {

using std::chrono::milliseconds;

constexpr auto LongestWait = std::chrono::seconds(1); // between two looks at the writes, at the most
constexpr Clock::rep Never = Clock::time_point::max().time_since_epoch().count();

// The gateway's outcomes as the server answers them: an exchange that failed
// is a write not known to have been taken, as one not taken in time.
struct OutcomeRow {
    WriteOutcome gateway;
    bacnet::WriteOutcome served;
};
constexpr OutcomeRow Outcomes[] = {
    {WriteOutcome::Written, bacnet::WriteOutcome::Written},
    {WriteOutcome::Refused, bacnet::WriteOutcome::Refused},
    {WriteOutcome::NoAnswer, bacnet::WriteOutcome::TimedOut},
    {WriteOutcome::PanelAway, bacnet::WriteOutcome::PanelAway},
    {WriteOutcome::TimedOut, bacnet::WriteOutcome::TimedOut},
    {WriteOutcome::Stopping, bacnet::WriteOutcome::Stopping},
};

// A REAL as the decimal its writer meant: the shortest that reads back as
// the same float (21.3, not 21.299999237060547), so that a limit or a
// rounding half is met as it was written.
double Intended(double real) {
    char text[32];
    auto [end, ec] = std::to_chars(text, text + sizeof text, static_cast<float>(real));
    double meant = real;
    if (ec == std::errc()) std::from_chars(text, end, meant);
    return meant;
}

// What the panel takes for the value the server was asked to write (an
// engineering value, a bit, a state from 0); false, with why, when the
// point cannot hold it or its min..max refuses it.
bool RawOf(const MappedPoint& point, const bacnet::PointValue& value, std::uint32_t& raw, std::string& shown,
           std::string& why) {
    std::optional<std::uint32_t> taken;
    if (const double* real = std::get_if<double>(&value)) {
        double meant = Intended(*real);
        shown = NumberText(meant);
        taken = RawForValue(point.Meaning(), meant, why);
    } else if (const bool* bit = std::get_if<bool>(&value)) {
        shown = *bit ? "active" : "inactive";
        taken = *bit ? 1u : 0u;
    } else {
        std::uint32_t state = std::get<std::uint32_t>(value);
        shown = "state " + std::to_string(state + 1);
        ValueMeaning unscaled = point.Meaning();
        unscaled.engineering = nullptr; // a state's number is raw
        taken = RawForValue(unscaled, state, why);
        if (taken && *taken >= point.engineering.states.size()) {
            why = "no such state";
            return false;
        }
    }
    if (!taken) return false;
    raw = *taken;
    return true;
}

} // namespace

bacnet::WriteOutcome BacnetOutcomeOf(WriteOutcome outcome) {
    for (const OutcomeRow& row : Outcomes) {
        if (row.gateway == outcome) return row.served;
    }
    return bacnet::WriteOutcome::TimedOut;
}

BacnetFrontEnd::BacnetFrontEnd(const CheckedConfig& checked, const std::vector<ServedPanel>& panels,
                               const PointStore& store, WriteQueue& writes, Log& log)
    : checked_(checked), panels_(panels), store_(store), writes_(writes), log_(log), objects_(BacnetObjects(panels)) {
    for (std::size_t i = 0; i < objects_.size(); ++i) {
        byId_[bacnet::ObjectId{objects_[i].spec.type, objects_[i].spec.instance}.Raw()] = i;
    }
}

BacnetFrontEnd::~BacnetFrontEnd() { Stop(); }

bool BacnetFrontEnd::Start(std::string& error) {
    const BacnetConfig& config = checked_.config.bacnet;
    if (!notice_.Usable()) {
        error = "bacnet: cannot make an eventfd: " + std::string(std::strerror(errno));
        return false;
    }
    std::vector<bacnet::ObjectSpec> specs;
    for (const BacnetObject& o : objects_) specs.push_back(o.spec);
    bacnet::ObjectTable table;
    std::string problem;
    if (!bacnet::ObjectTable::Build(BacnetDevice(checked_), std::move(specs), table, problem)) {
        error = "bacnet: " + problem;
        return false;
    }
    // The gateway's own write_timeout_ms ends a write first; the server's
    // bound only catches one whose outcome never came.
    bacnet::ServerOptions options;
    Milliseconds longest{0};
    for (const ServedPanel& p : panels_) longest = std::max(longest, p.writeTimeout);
    options.writeWait = longest + std::chrono::seconds(1);
    bacnet::ValueSource& source = *this;
    server_ = std::make_unique<bacnet::Server>(std::move(table), source, options);
    udp_ = std::make_unique<bacnet::UdpService>(*server_);
    std::optional<std::string> broadcast;
    if (!config.broadcast.empty()) broadcast = config.broadcast;
    if (!udp_->Open(config.listen.host, static_cast<std::uint16_t>(config.listen.port), broadcast, error)) {
        error = "bacnet: " + error;
        udp_.reset();
        server_.reset();
        return false;
    }
    store_.Watch(notice_);
    udp_->Start();
    thread_ = std::thread([this] { Run(); });
    std::optional<bacnet::Endpoint> to = udp_->Broadcast();
    log_.Say(Level::Info, "bacnet",
             "listening on " + bacnet::EndpointText(udp_->Local()) + " (UDP), device " +
                 std::to_string(config.deviceInstance) + " '" + config.deviceName + "', " +
                 std::to_string(objects_.size()) + " objects, " +
                 (to ? "broadcast answers to " + bacnet::EndpointText(*to) : std::string("no broadcast answers")));
    return true;
}

void BacnetFrontEnd::Stop() {
    if (!udp_) return;
    stopping_ = true;
    notice_.Raise();
    if (thread_.joinable()) thread_.join();
    // Writes the stopped queue finished, and any other still waiting: their
    // outcome now, sent as the socket's thread's last work.
    CheckWrites(Clock::now(), true);
    udp_->Stop();
    store_.Unwatch(notice_);
    udp_.reset();
    log_.Say(Level::Info, "bacnet", "stopped");
}

const BacnetObject* BacnetFrontEnd::Find(const bacnet::ObjectId& id) const {
    auto found = byId_.find(id.Raw());
    return found == byId_.end() ? nullptr : &objects_[found->second];
}

bacnet::Reading BacnetFrontEnd::Read(const bacnet::ObjectId& id) {
    bacnet::Reading reading;
    const BacnetObject* o = Find(id);
    if (!o) return reading;
    which_[0] = o->value;
    store_.Read(o->panel, which_, scratch_);
    const StoredValue& v = scratch_.front();
    Clock::time_point now = Clock::now();
    reading.current = store_.Current(o->panel, v, now);
    switch (o->spec.type) {
    case bacnet::ObjectType::BinaryInput:
    case bacnet::ObjectType::BinaryValue:
        reading.value = v.raw != 0;
        break;
    case bacnet::ObjectType::MultiStateValue:
        reading.value = v.raw;
        break;
    default:
        reading.value = v.value;
        break;
    }
    // Nothing says when a value grows old: the moment is looked for.
    if (reading.current) {
        Clock::rep due = store_.StaleAt(o->panel, v).time_since_epoch().count();
        Clock::rep was = nextStale_.load();
        while (due < was && !nextStale_.compare_exchange_weak(was, due)) {
        }
        if (due < was) notice_.Raise();
    }
    return reading;
}

void BacnetFrontEnd::Write(const bacnet::ObjectId& id, const bacnet::PointValue& value, WriteDone done) {
    const BacnetObject* o = Find(id);
    auto panel = std::find_if(panels_.begin(), panels_.end(),
                              [&](const ServedPanel& p) { return o && p.index == o->panel; });
    if (!o || panel == panels_.end()) return done(bacnet::WriteOutcome::Refused);
    const MappedPoint& point = panel->map->Points()[o->point];
    std::uint32_t raw = 0;
    std::string shown, why;
    bool fits = RawOf(point, value, raw, shown, why);
    std::string what = o->spec.name + " = " + shown;
    if (!fits) {
        if (log_.Shows(Level::Debug)) log_.Say(Level::Debug, "bacnet", "write " + what + ": " + why + ": not written");
        return done(bacnet::WriteOutcome::OutOfRange);
    }
    WriteRequest request;
    request.panel = o->panel;
    request.writes.push_back(PointWrite{o->point, o->element, {raw}});
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        if (!closed_) {
            pending_.push_back(PendingWrite{writes_.Submit(std::move(request), &notice_),
                                            Clock::now() + panel->writeTimeout, std::move(done), std::move(what)});
            notice_.Raise(); // its deadline is looked at
            return;
        }
    }
    done(bacnet::WriteOutcome::Stopping);
}

void BacnetFrontEnd::Run() {
    while (!stopping_) {
        Clock::time_point now = Clock::now();
        Clock::time_point until = now + LongestWait;
        {
            std::lock_guard<std::mutex> lock(pendingMutex_);
            for (const PendingWrite& w : pending_) until = std::min(until, w.deadline);
        }
        until = std::min(until, Clock::time_point(Clock::duration(nextStale_.load())));
        bool raised = notice_.Wait(std::chrono::ceil<milliseconds>(std::max(until - now, Clock::duration::zero())));
        if (stopping_) break;
        now = Clock::now();
        Clock::rep due = nextStale_.load();
        bool aged = now.time_since_epoch().count() >= due && nextStale_.compare_exchange_strong(due, Never);
        if (raised || aged) server_->ValuesChanged();
        CheckWrites(now, false);
    }
}

void BacnetFrontEnd::CheckWrites(Clock::time_point now, bool giveUp) {
    struct Finished {
        PendingWrite write;
        WriteOutcome outcome;
    };
    std::vector<Finished> finished;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        closed_ = closed_ || giveUp;
        for (auto it = pending_.begin(); it != pending_.end();) {
            bool late = giveUp || now >= it->deadline;
            std::optional<WriteOutcome> outcome = it->ticket->Check(late);
            // One still on the line past its time is answered as not taken
            // in time (it may land yet; Present_Value will show it if so).
            if (!outcome && late) outcome = WriteOutcome::TimedOut;
            if (!outcome) {
                ++it;
                continue;
            }
            finished.push_back(Finished{std::move(*it), *outcome});
            it = pending_.erase(it);
        }
    }
    for (Finished& f : finished) {
        if (log_.Shows(Level::Debug))
            log_.Say(Level::Debug, "bacnet", "write " + f.write.what + ": " + WriteOutcomeName(f.outcome));
        f.write.done(BacnetOutcomeOf(f.outcome));
    }
}

} // namespace zulgate
