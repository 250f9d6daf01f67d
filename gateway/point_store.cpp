#include "gateway/point_store.h"

#include <algorithm>

namespace zulgate {

const char* QualityName(Quality quality) {
    switch (quality) {
    case Quality::NeverRead:
        return "never read";
    case Quality::Good:
        return "good";
    case Quality::ReadFailed:
        return "last read failed";
    case Quality::PanelAway:
        return "panel away";
    case Quality::WrittenNear:
        return "changed by a write, not read since";
    }
    return "?";
}

const char* PanelStateName(PanelState state) {
    switch (state) {
    case PanelState::Starting:
        return "starting";
    case PanelState::Up:
        return "up";
    case PanelState::Silent:
        return "silent";
    case PanelState::Gone:
        return "device gone";
    case PanelState::Stopped:
        return "stopped";
    }
    return "?";
}

PointStore::PointStore(const std::vector<std::size_t>& valueCounts, const std::vector<Clock::duration>& staleAfter) {
    for (std::size_t i = 0; i < valueCounts.size(); ++i) {
        auto panel = std::make_unique<Panel>();
        panel->values.resize(valueCounts[i]);
        panel->staleAfter = staleAfter[i];
        panel->status.since = Clock::now();
        panels_.push_back(std::move(panel));
    }
}

void PointStore::SetMeanings(std::size_t panel, std::vector<ValueMeaning> meanings) {
    Panel& p = *panels_[panel];
    std::lock_guard<std::mutex> lock(p.mutex);
    p.meanings = std::move(meanings);
}

void PointStore::Decode(const Panel& panel, std::size_t value, StoredValue& stored) {
    if (value >= panel.meanings.size() || panel.meanings[value].type == nullptr) {
        stored.value = stored.raw;
        stored.state = nullptr;
        return;
    }
    const ValueMeaning& meaning = panel.meanings[value];
    stored.value = meaning.Value(stored.raw);
    stored.state = meaning.State(stored.raw);
}

void PointStore::Watch(ChangeNotice& notice) const {
    std::lock_guard<std::mutex> lock(watchersMutex_);
    watchers_.push_back(&notice);
}

void PointStore::Unwatch(ChangeNotice& notice) const {
    std::lock_guard<std::mutex> lock(watchersMutex_);
    watchers_.erase(std::remove(watchers_.begin(), watchers_.end(), &notice), watchers_.end());
}

void PointStore::Changed() {
    std::lock_guard<std::mutex> lock(watchersMutex_);
    for (ChangeNotice* notice : watchers_) notice->Raise();
}

void PointStore::Store(std::size_t panel, const std::vector<Update>& updates, Clock::time_point at) {
    Panel& p = *panels_[panel];
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        for (const Update& u : updates) {
            StoredValue& v = p.values[u.value];
            // A value that was not current (never read, failed, or too old) is news even when its number is not.
            changed = changed || v.raw != u.raw || v.quality != Quality::Good || at - v.readAt > p.staleAfter;
            v.raw = u.raw;
            v.readAt = at;
            v.quality = Quality::Good;
            Decode(p, u.value, v);
        }
    }
    if (changed) Changed();
}

void PointStore::Revise(std::size_t panel, const std::vector<Update>& updates) {
    Panel& p = *panels_[panel];
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        for (const Update& u : updates) {
            changed = changed || p.values[u.value].raw != u.raw;
            p.values[u.value].raw = u.raw;
            Decode(p, u.value, p.values[u.value]);
        }
    }
    if (changed) Changed();
}

void PointStore::MarkFailed(std::size_t panel, const std::vector<std::size_t>& values, Quality why) {
    Panel& p = *panels_[panel];
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        for (std::size_t v : values) {
            changed = changed || p.values[v].quality != why;
            p.values[v].quality = why;
        }
    }
    if (changed) Changed();
}

void PointStore::MarkAll(std::size_t panel, Quality why) {
    Panel& p = *panels_[panel];
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        for (StoredValue& v : p.values) {
            changed = changed || v.quality != why;
            v.quality = why;
        }
    }
    if (changed) Changed();
}

void PointStore::SetState(std::size_t panel, PanelState state, const std::string& detail, Clock::time_point at) {
    Panel& p = *panels_[panel];
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        changed = p.status.state != state;
        if (changed) p.status.since = at;
        p.status.state = state;
        p.status.detail = detail;
    }
    if (changed) Changed();
}

void PointStore::SetCycle(std::size_t panel, const CycleStats& cycle) {
    Panel& p = *panels_[panel];
    std::lock_guard<std::mutex> lock(p.mutex);
    p.status.cycle = cycle;
}

void PointStore::Read(std::size_t panel, const std::vector<std::size_t>& values, std::vector<StoredValue>& out) const {
    const Panel& p = *panels_[panel];
    out.clear();
    std::lock_guard<std::mutex> lock(p.mutex);
    for (std::size_t v : values) out.push_back(p.values[v]);
}

bool PointStore::Current(std::size_t panel, const StoredValue& value, Clock::time_point now) const {
    return value.quality == Quality::Good && now - value.readAt <= panels_[panel]->staleAfter;
}

PanelStatus PointStore::Status(std::size_t panel) const {
    const Panel& p = *panels_[panel];
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.status;
}

PanelSnapshot PointStore::Snapshot(std::size_t panel) const {
    const Panel& p = *panels_[panel];
    std::lock_guard<std::mutex> lock(p.mutex);
    return PanelSnapshot{p.status, p.values};
}

} // namespace zulgate
