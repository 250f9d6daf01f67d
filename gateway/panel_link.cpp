#include "gateway/panel_link.h"

#include <algorithm>
#include <cstdio>

#include "gateway/panel_bits.h"
#include "host/client/slots.h"

namespace zulgate {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds WatchEvery{200}; // a look at a gone device's path costs no request
constexpr auto LongestStartWait = std::chrono::minutes(5);

std::string Hex2(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

std::string ReadResult(const zulclient::Result& r) {
    if (r.outcome == zulclient::Outcome::Refused)
        return "refused by the panel or not runnable (rc " + std::to_string(r.code) + ")";
    return "no usable reply from the panel (rc " + std::to_string(r.code) + ")";
}

RequestResult ResultOf(const zulclient::Result& r) {
    switch (r.outcome) {
    case zulclient::Outcome::Ok:
        return RequestResult::Ok;
    case zulclient::Outcome::Refused:
        return RequestResult::Refused;
    default:
        return RequestResult::NoAnswer;
    }
}

// A lost exchange reads like this where no read's words are at hand.
const std::string NoReplyText = "no usable reply from the panel (rc 2)";

} // namespace

PanelLink::PanelLink(const PanelSetup& setup, ZulMainFunction entry, PanelOutput& out)
    : index_(setup.index),
      config_(*setup.config),
      port_(setup.port.empty() ? setup.config->port : setup.port),
      map_(*setup.map),
      line_(setup.line),
      client_(entry, static_cast<std::int32_t>(setup.index + 1)),
      out_(out),
      due_(Clock::now()),
      reread_(setup.map->ValueCount(), 0) {
    plan_ = PlanReads(map_, MaxGapBytes(zulclient::CharacterTime(line_)));
}

void PanelLink::Say(Level level, const std::string& text, const std::vector<DriverLine>& lines) {
    out_.Say(level, config_.name, text);
    out_.SayDriverLines(level, config_.name, lines);
}

void PanelLink::Step(Clock::time_point now) {
    switch (phase_) {
    case Phase::Start:
        StartChannel(now);
        break;
    case Phase::Poll:
        PollStep(now);
        break;
    case Phase::Confirm:
    case Phase::Probe:
        ProbeStep(now);
        break;
    case Phase::Watch:
        WatchStep(now);
        break;
    }
}

void PanelLink::StartChannel(Clock::time_point now) {
    DeviceIdentity id = LookUpDevice(port_);
    if (!id.present) {
        GoGone(id);
        return;
    }
    if (client_.PortOpen()) client_.ClosePort(); // its lock would keep the new open out
    out_.Asking(index_, "coldstart");
    Clock::time_point asked = Clock::now();
    zulclient::StartResult start = client_.ColdStart(port_, line_);
    const std::vector<DriverLine>& lines = start.lines;
    ++stats_.requests;
    now = Clock::now();
    out_.DriverRequest(index_, "coldstart", start.Started() ? RequestResult::Ok : RequestResult::NoAnswer, now - asked);
    if (!start.PortOpened() && id.deviceServer) {
        // Refused or unreachable: watched with a connect at the probe interval.
        Say(Level::Debug, "ColdStart could not connect to " + id.path, lines);
        GoGone(DeviceIdentity{});
        return;
    }
    if (!start.PortOpened()) {
        std::string why = "the port " + config_.port + " (" + id.path +
                          ") could not be opened: held by another program, or no permission";
        if (episodes_.Failed("panel", why, now))
            Say(Level::Error, why + "; trying again every " + std::to_string(config_.probe.count()) + " ms", lines);
        out_.MarkAll(index_, Quality::PanelAway);
        out_.SetState(index_, PanelState::Gone, why, now);
        due_ = now + config_.probe;
        return;
    }
    opened_ = id;
    if (start.handshakeFailure) {
        ++failedStarts_;
        auto wait = failedStarts_ <= 1
                        ? Clock::duration::zero()
                        : std::min<Clock::duration>(config_.probe * (1 << std::min(failedStarts_ - 1, 10)),
                                                    LongestStartWait);
        nextStartAllowed_ = now + wait;
        GoSilent("the panel did not take the start (handshake result " + std::to_string(*start.handshakeFailure) + ")",
                 lines);
        return;
    }
    failedStarts_ = 0;
    std::string who = start.panelId ? ", panel identifier " + Hex2(*start.panelId) : std::string();
    std::optional<Episodes::Ended> back = episodes_.Succeeded("panel", now);
    if (back) {
        Say(Level::Info,
            "back after " + DurationText(back->lasted) + " (" + back->reason + "); started on " + config_.port + who,
            lines);
    } else {
        Say(Level::Info,
            std::string(everStarted_ ? "started again" : "started") + " on " + config_.port +
                (id.path != config_.port ? " (" + id.path + ")" : std::string()) + who + ": " +
                std::to_string(map_.Points().size()) + " points in " + std::to_string(plan_.size()) +
                " block reads a cycle",
            lines);
    }
    everStarted_ = true;
    out_.SetState(index_, PanelState::Up, "", now);
    phase_ = Phase::Poll;
    inCycle_ = false;
    nextCycle_ = now;
    due_ = now;
}

bool PanelLink::CheckDevice() {
    DeviceIdentity id = LookUpDevice(port_);
    if (!id.present) {
        GoGone(id);
        return false;
    }
    if (!id.Same(opened_)) {
        // Gone and back between two looks: the open port is the old device's.
        Clock::time_point now = Clock::now();
        std::string why = "the device behind " + config_.port + " was replaced";
        episodes_.Failed("panel", why, now);
        Say(Level::Warning, why + " (" + id.path + "): starting again");
        out_.MarkAll(index_, Quality::PanelAway);
        out_.SetState(index_, PanelState::Starting, why, now);
        failedStarts_ = 0;
        phase_ = Phase::Start;
        due_ = now;
        return false;
    }
    return true;
}

void PanelLink::GoSilent(const std::string& why, const std::vector<DriverLine>& lines) {
    Clock::time_point now = Clock::now();
    if (episodes_.Failed("panel", why, now)) {
        Say(Level::Warning,
            why + ": its points are not served; probing with one read every " + std::to_string(config_.probe.count()) +
                " ms",
            lines);
    }
    out_.MarkAll(index_, Quality::PanelAway);
    out_.SetState(index_, PanelState::Silent, why, now);
    inCycle_ = false;
    phase_ = Phase::Probe;
    due_ = now + config_.probe;
}

bool PanelLink::Vanished(const zulclient::Result& request, DeviceIdentity& id) const {
    id = LookUpDevice(port_);
    if (!id.present) return true;
    return id.deviceServer && request.portFailed;
}

void PanelLink::GoGone(const DeviceIdentity& id) {
    Clock::time_point now = Clock::now();
    std::string why = "the device of port " + config_.port +
                      (id.path != config_.port ? " (" + (id.path.empty() ? "no path" : id.path) + ")" : std::string()) +
                      " does not exist";
    if (DeviceIdentity server = LookUpDevice(port_); server.deviceServer) {
        why = "the device server of port " + config_.port +
              (server.path != config_.port ? " (" + server.path + ")" : std::string()) +
              " does not accept a connection, or its connection dropped";
    }
    if (episodes_.Failed("panel", why, now)) Say(Level::Warning, why + ": its points are not served until it is back");
    if (client_.PortOpen()) client_.ClosePort();
    out_.MarkAll(index_, Quality::PanelAway);
    out_.SetState(index_, PanelState::Gone, why, now);
    inCycle_ = false;
    failedStarts_ = 0;
    phase_ = Phase::Watch;
    due_ = now + WatchEvery;
}

void PanelLink::WatchStep(Clock::time_point now) {
    DeviceIdentity id = LookUpDevice(port_);
    if (id.deviceServer) {
        // Present while a connect succeeds (closed at once), tried at the
        // probe interval; then ColdStart connects for good.
        zulclient::ServerAnswer answer = id.present
                                             ? zulclient::ProbeDeviceServer(id.path, zulclient::DeviceServerConnectWait(
                                                                                         config_.responseTimeout))
                                             : zulclient::ServerAnswer{};
        if (answer.accepts) {
            out_.Say(Level::Info, config_.name, "the device server " + id.path + " accepts again: starting");
            phase_ = Phase::Start;
            due_ = now;
        } else {
            due_ = Clock::now() + config_.probe;
        }
        return;
    }
    if (id.present) {
        phase_ = Phase::Start;
        due_ = now;
    } else {
        due_ = now + WatchEvery;
    }
}

void PanelLink::ProbeStep(Clock::time_point now) {
    if (!CheckDevice()) return;
    // The first element of the first block: the cheapest read there is.
    zulclient::Point probe;
    probe.letter = plan_.front().letter;
    probe.address = plan_.front().address;
    std::vector<zulclient::Slot> slot(1);
    out_.Asking(index_, "probe");
    Clock::time_point asked = Clock::now();
    zulclient::Result read = client_.BlockRead(probe, slot);
    ++stats_.requests;
    now = Clock::now();
    out_.DriverRequest(index_, "probe", ResultOf(read), now - asked);
    // A refusal is an answer too.
    bool answers = read.Ok() || read.outcome == zulclient::Outcome::Refused;
    DeviceIdentity id;
    if (!answers && Vanished(read, id)) {
        GoGone(id);
        return;
    }
    if (phase_ == Phase::Confirm) {
        if (answers) {
            // One lost exchange (or a block the panel never answers well);
            // the panel is there, and the cycle goes on past that block.
            if (!pendingRead_.empty() && episodes_.Failed("read " + pendingRead_, NoReplyText, now)) {
                Say(Level::Warning, "read of " + pendingRead_ + " failed: " + NoReplyText + "; the panel answers",
                    pendingLines_);
            }
            phase_ = Phase::Poll;
            due_ = now;
            if (pendingInCycle_ && inCycle_ && ++next_ >= plan_.size()) EndCycle(now);
        } else {
            GoSilent("the panel does not answer (two reads without a usable reply)", pendingLines_);
        }
        pendingLines_.clear();
        return;
    }
    if (!answers) {
        due_ = now + config_.probe;
        return;
    }
    if (now < nextStartAllowed_) {
        due_ = std::min(nextStartAllowed_, now + config_.probe);
        return;
    }
    out_.Say(Level::Info, config_.name, "the panel answers again: starting it");
    phase_ = Phase::Start;
    due_ = now;
}

void PanelLink::PollStep(Clock::time_point now) {
    // Blocks whose values a write changed go first, in a cycle or between two.
    for (std::size_t i = 0; i < plan_.size(); ++i) {
        const BlockRead& b = plan_[i];
        bool changed = std::any_of(b.targets.begin(), b.targets.end(),
                                   [&](const ReadTarget& t) { return reread_[t.value] != 0; });
        if (!changed) continue;
        if (!CheckDevice()) return;
        if (ReadBlock(b, i, false)) due_ = inCycle_ ? Clock::now() : std::min(nextCycle_, Clock::now());
        return;
    }
    if (!inCycle_) {
        if (now < nextCycle_) {
            due_ = nextCycle_;
            return;
        }
        if (!CheckDevice()) return;
        inCycle_ = true;
        next_ = 0;
        cycleStart_ = now;
        cycleRequests_ = cycleFailed_ = 0;
        nextCycle_ = cycleStart_ + config_.poll;
    }
    if (!ReadBlock(plan_[next_], next_, true)) return;
    if (phase_ != Phase::Poll) return; // a Confirm probe is next
    ++next_;
    if (next_ >= plan_.size()) {
        EndCycle(Clock::now());
    } else {
        due_ = Clock::now();
    }
}

void PanelLink::EndCycle(Clock::time_point now) {
    inCycle_ = false;
    ++stats_.cycles;
    stats_.lastDuration = now - cycleStart_;
    stats_.lastRequests = cycleRequests_;
    stats_.lastFailed = cycleFailed_;
    stats_.lastEnd = now;
    out_.SetCycle(index_, stats_);
    out_.PollCycle(index_, stats_.lastDuration);
    if (stats_.lastDuration > config_.stale) {
        if (episodes_.Failed("cycle", "longer than stale_ms", now)) {
            Say(Level::Warning, "a poll cycle takes " + DurationText(stats_.lastDuration) + ", longer than stale_ms (" +
                                    std::to_string(config_.stale.count()) +
                                    " ms): values expire before they are read again (fewer points, a faster line, "
                                    "or a longer stale_ms)");
        }
    } else if (episodes_.Succeeded("cycle", now)) {
        Say(Level::Info, "poll cycles within stale_ms again (" + DurationText(stats_.lastDuration) + ")");
    }
    nextCycle_ = std::max(nextCycle_, now);
    due_ = nextCycle_;
}

bool PanelLink::ReadBlock(const BlockRead& block, std::size_t planIndex, bool inCycle) {
    zulclient::Point first;
    first.letter = block.letter;
    first.address = block.address;
    std::vector<zulclient::Slot> slots(static_cast<std::size_t>(block.count));
    out_.Asking(index_, "read");
    Clock::time_point asked = Clock::now();
    zulclient::Result read = client_.BlockRead(first, slots);
    const std::vector<DriverLine>& lines = read.lines;
    Clock::time_point now = Clock::now();
    ++stats_.requests;
    out_.DriverRequest(index_, "read", ResultOf(read), now - asked);
    if (inCycle) ++cycleRequests_;
    const std::string key = "read " + block.Text();

    if (read.Ok()) {
        std::vector<PointStore::Update> updates;
        updates.reserve(block.targets.size());
        for (const ReadTarget& t : block.targets) {
            updates.push_back({t.value, zulclient::SlotValueOf(first, slots[static_cast<std::size_t>(t.slot)], t.bit)});
            reread_[t.value] = 0;
        }
        out_.Store(index_, updates, now);
        if (std::optional<Episodes::Ended> ended = episodes_.Succeeded(key, now)) {
            Say(Level::Info, "read of " + block.Text() + " works again, after " + std::to_string(ended->failures) +
                                 " failed over " + DurationText(ended->lasted));
        } else {
            out_.SayDriverLines(Level::Debug, config_.name, lines); // retries that ended well
        }
        return true;
    }

    std::vector<std::size_t> values;
    for (const ReadTarget& t : block.targets) values.push_back(t.value);
    out_.MarkFailed(index_, values, Quality::ReadFailed);
    for (const ReadTarget& t : block.targets) reread_[t.value] = 0; // the next cycle reads them
    if (inCycle) ++cycleFailed_;

    if (read.outcome == zulclient::Outcome::Refused) {
        std::vector<BlockRead> runs = SplitAtGaps(block);
        if (runs.size() > 1) {
            // A panel may refuse to read bytes it does not have: read the
            // points' own bytes only, from now on.
            Say(Level::Warning,
                "the panel refuses the read of " + block.Text() + ", which spans unread bytes: reading it as " +
                    std::to_string(runs.size()) + " blocks from now on",
                lines);
            plan_.erase(plan_.begin() + static_cast<std::ptrdiff_t>(planIndex));
            plan_.insert(plan_.begin() + static_cast<std::ptrdiff_t>(planIndex), runs.begin(), runs.end());
            if (inCycle) --next_; // the first run is read next, in this cycle
            return true;
        }
        if (episodes_.Failed(key, ReadResult(read), now)) {
            Say(Level::Warning, "read of " + block.Text() + " failed: " + ReadResult(read), lines);
        }
        return true;
    }

    // No usable reply: the device gone, one lost exchange, or a silent panel.
    DeviceIdentity id;
    if (Vanished(read, id)) {
        GoGone(id);
        return false;
    }
    pendingRead_ = block.Text();
    pendingLines_ = lines;
    pendingInCycle_ = inCycle;
    phase_ = Phase::Confirm;
    due_ = now;
    return true;
}

void PanelLink::CarryToNeighbours(const PointWrite& pw, int firstElement, int elements) {
    const MappedPoint& w = map_.Points()[pw.point];
    PanelChanges changes;
    int bit = w.point.HasBit() ? w.point.bitNumber : -1;
    for (int k = 0; k < elements; ++k) {
        AddWrite(w.point.letter, w.ElementAddress(firstElement + k), bit,
                 pw.values[static_cast<std::size_t>(firstElement - pw.firstElement + k)], changes);
    }
    std::vector<std::size_t> touched;
    for (std::size_t i = 0; i < map_.Points().size(); ++i) {
        const MappedPoint& p = map_.Points()[i];
        for (int k = 0; k < p.count; ++k) {
            bool itself = i == pw.point && k >= firstElement && k < firstElement + elements;
            if (!itself && Touches(p.point.letter, p.ElementAddress(k), changes)) {
                touched.push_back(p.firstValue + static_cast<std::size_t>(k));
            }
        }
    }
    if (touched.empty()) return;
    std::vector<StoredValue> old;
    out_.Read(index_, touched, old);
    std::vector<PointStore::Update> revised;
    std::vector<std::size_t> unknown;
    for (std::size_t n = 0; n < touched.size(); ++n) {
        std::size_t v = touched[n];
        // The point and element of value v.
        const MappedPoint* p = nullptr;
        for (const MappedPoint& m : map_.Points()) {
            if (v >= m.firstValue && v < m.firstValue + static_cast<std::size_t>(m.count)) p = &m;
        }
        int k = static_cast<int>(v - p->firstValue);
        std::optional<std::uint32_t> after = AfterChanges(p->point.letter, p->ElementAddress(k),
                                                          p->point.HasBit() ? p->point.bitNumber : -1, old[n].raw,
                                                          changes);
        if (after && old[n].quality == Quality::Good) {
            revised.push_back({v, *after});
        } else {
            // Read again before it is served.
            unknown.push_back(v);
            reread_[v] = 1;
        }
    }
    out_.Revise(index_, revised);
    if (!unknown.empty()) {
        out_.MarkFailed(index_, unknown, Quality::WrittenNear);
        due_ = Clock::now();
    }
}

WriteOutcome PanelLink::Write(const WriteRequest& request) {
    if (phase_ != Phase::Poll) return WriteOutcome::PanelAway;
    for (const PointWrite& pw : request.writes) {
        const MappedPoint& p = map_.Points()[pw.point];
        const int most = zulclient::MaxElementsPerWrite(p.point);
        const int total = static_cast<int>(pw.values.size());
        for (int done = 0; done < total;) {
            int n = std::min(most, total - done);
            int element = pw.firstElement + done;
            zulclient::Point first = p.point;
            first.address = p.ElementAddress(element);
            std::vector<zulclient::Slot> slots;
            for (int k = 0; k < n; ++k) {
                slots.push_back(zulclient::SlotFor(p.point, pw.values[static_cast<std::size_t>(done + k)]));
            }
            out_.Asking(index_, "write");
            Clock::time_point asked = Clock::now();
            zulclient::Result written = client_.BlockWrite(first, slots);
            const std::vector<DriverLine>& lines = written.lines;
            ++stats_.requests;
            Clock::time_point now = Clock::now();
            out_.DriverRequest(index_, "write", ResultOf(written), now - asked);
            std::string what = "write of " + p.name + " (" + zulclient::PointText(first) +
                               (n > 1 ? " x" + std::to_string(n) : std::string()) + ")";
            if (!written.Ok()) {
                Say(Level::Warning, what + " failed: " + ReadResult(written), lines);
                if (written.outcome == zulclient::Outcome::Refused) return WriteOutcome::Refused;
                DeviceIdentity id;
                if (Vanished(written, id)) {
                    GoGone(id);
                } else {
                    pendingRead_.clear(); // said above
                    pendingLines_.clear();
                    pendingInCycle_ = false;
                    phase_ = Phase::Confirm;
                    due_ = now;
                }
                return WriteOutcome::NoAnswer;
            }
            out_.Say(Level::Debug, config_.name, what + ": written");
            out_.SayDriverLines(Level::Debug, config_.name, lines);
            std::vector<PointStore::Update> updates;
            for (int k = 0; k < n; ++k) {
                std::size_t value = p.firstValue + static_cast<std::size_t>(element + k);
                updates.push_back({value, pw.values[static_cast<std::size_t>(done + k)]});
                reread_[value] = 0;
            }
            out_.Store(index_, updates, now);
            CarryToNeighbours(pw, element, n);
            done += n;
        }
    }
    return WriteOutcome::Written;
}

void PanelLink::Close() {
    if (client_.PortOpen()) {
        zulclient::Result closed = client_.ClosePort();
        if (!closed.Ok()) Say(Level::Error, "ClosePort gave " + std::to_string(closed.code));
    }
    out_.SetState(index_, PanelState::Stopped, "", Clock::now());
    out_.MarkAll(index_, Quality::PanelAway);
}

} // namespace zulgate
