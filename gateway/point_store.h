// The last value of every point element, when it was last read well, and
// what became of its last read; and each panel's state. Written with what
// the panels' workers report, read by every front end (Modbus, MQTT, the status server),
// each panel behind its own lock so that a reader never waits for the line.
// A value is decoded here, once, as it is stored: the raw number the panel
// holds, and what it means (the engineering value, a state's text); no
// front end decodes a letter again. A front end that passes changes on
// (MQTT) watches it: a change found by a poll raises its notice in that
// poll, a write's new value as it is stored, before the write is answered.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/change_notice.h"
#include "gateway/engineering.h"

namespace zulgate {

using Clock = std::chrono::steady_clock;

enum class Quality : std::uint8_t {
    NeverRead,   // nothing read yet
    Good,        // read (or written) at readAt
    ReadFailed,  // the last read of it failed
    PanelAway,   // its panel does not answer, or its device is gone
    WrittenNear, // another point's write changed its bytes: read again before it is served
};
const char* QualityName(Quality quality);

struct StoredValue {
    std::uint32_t raw = 0;              // 16-bit value, bit (0/1), or the 32 bits of L, F and D
    double value = 0;                   // what it means: raw x scale + offset, in the point's units
    const std::string* state = nullptr; // the state's text, for a point with states
    Clock::time_point readAt{};
    Quality quality = Quality::NeverRead;
};

enum class PanelState {
    Starting, // its first ColdStart has not run yet
    Up,       // polled
    Silent,   // the device is there, the panel does not answer: probed
    Gone,     // the port's device does not exist (or cannot be opened): watched
    Stopped,
};
const char* PanelStateName(PanelState state);

struct CycleStats {
    std::uint64_t cycles = 0;       // poll cycles completed
    Clock::duration lastDuration{}; // of the last complete cycle
    int lastRequests = 0;           // block reads it made
    int lastFailed = 0;             // of which failed
    std::uint64_t requests = 0;     // every driver request for this panel
    Clock::time_point lastEnd{};
};

struct PanelStatus {
    PanelState state = PanelState::Starting;
    Clock::time_point since{};
    std::string detail; // why, in words, when it is not up
    CycleStats cycle;
};

struct PanelSnapshot {
    PanelStatus status;
    std::vector<StoredValue> values;
};

class PointStore {
public:
    // One entry per panel: how many values it keeps, and how old a value may
    // be and still be served as current.
    PointStore(const std::vector<std::size_t>& valueCounts, const std::vector<Clock::duration>& staleAfter);

    std::size_t Panels() const { return panels_.size(); }
    // What each of a panel's values means, by value; before the first Store.
    // Without it a value is its raw number.
    void SetMeanings(std::size_t panel, std::vector<ValueMeaning> meanings);

    // Raised whenever a value, its quality, whether it is current, or a
    // panel's state changes (not when a value is read again unchanged). The
    // notice is raised until Unwatch; any thread.
    void Watch(ChangeNotice& notice) const;
    void Unwatch(ChangeNotice& notice) const;

    // Driver thread.
    struct Update {
        std::size_t value;
        std::uint32_t raw;
    };
    void Store(std::size_t panel, const std::vector<Update>& updates, Clock::time_point at);
    // New values of elements whose read time and quality stay as they are
    // (a write changed some of their bits).
    void Revise(std::size_t panel, const std::vector<Update>& updates);
    void MarkFailed(std::size_t panel, const std::vector<std::size_t>& values, Quality why);
    void MarkAll(std::size_t panel, Quality why);
    void SetState(std::size_t panel, PanelState state, const std::string& detail, Clock::time_point at);
    void SetCycle(std::size_t panel, const CycleStats& cycle);

    // Front ends. Copies the values asked for (in that order).
    void Read(std::size_t panel, const std::vector<std::size_t>& values, std::vector<StoredValue>& out) const;
    // Whether a value may be served as the panel's current one.
    bool Current(std::size_t panel, const StoredValue& value, Clock::time_point now) const;
    // The moment, to the millisecond, from which the value is no longer current.
    Clock::time_point StaleAt(std::size_t panel, const StoredValue& value) const {
        return value.readAt + panels_[panel]->staleAfter + std::chrono::milliseconds(1);
    }
    PanelStatus Status(std::size_t panel) const;
    PanelSnapshot Snapshot(std::size_t panel) const;

private:
    struct Panel {
        mutable std::mutex mutex;
        std::vector<StoredValue> values;
        std::vector<ValueMeaning> meanings;
        PanelStatus status;
        Clock::duration staleAfter{};
    };
    static void Decode(const Panel& panel, std::size_t value, StoredValue& stored);
    void Changed();

    std::vector<std::unique_ptr<Panel>> panels_;
    mutable std::mutex watchersMutex_;
    mutable std::vector<ChangeNotice*> watchers_;
};

} // namespace zulgate
